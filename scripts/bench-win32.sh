#!/usr/bin/env bash
# The Win32 window's start-up under Wine, as ROW lines for scripts/bench.sh:
# from launching `wine win32_startup_bench.exe` to the window drawn, and the
# memory of the shown window, each the median of fresh processes. One Xvfb and
# one wineserver, kept running between the starts, as on a desktop where Wine
# is already up; Wine's own start is part of the time.
#
#   scripts/bench-win32.sh WINDOWS_BIN_DIR [RUNS]
set -euo pipefail

bin="$(cd "${1:?usage: $0 WINDOWS_BIN_DIR [RUNS]}" && pwd)"
runs="${2:-9}"
here="$(cd "$(dirname "$0")" && pwd)"
scratch="$(mktemp -d /tmp/kelvara-bench-win32.XXXXXX)"
export WINEPREFIX="$scratch/wine"
server=""
for candidate in wineserver /usr/lib/wine/wineserver; do
  command -v "$candidate" >/dev/null 2>&1 && server="$(command -v "$candidate")" && break
done
xvfb=""
cleanup() {
  [ -z "$server" ] || "$server" -k 2>/dev/null || true
  [ -z "$xvfb" ] || { kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true; }
  rm -rf "$scratch"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$scratch/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 100); do [ -s "$scratch/display" ] && break; sleep 0.1; done
export KELVARA_WINE_DISPLAY=":$(head -n1 "$scratch/display")"
"$here/wine-run.sh" cmd /c exit >/dev/null 2>&1 || true
# The server stays up between the starts: the one the prefix's first program
# started is ended, and one that waits for no program takes its place.
"$server" -k 2>/dev/null || true
"$server" -w 2>/dev/null || true
"$server" -p
dir="$WINEPREFIX/drive_c/kelvara"
mkdir -p "$dir"
cp "$bin/win32_startup_bench.exe" "$bin/offset.txt" "$bin/Cousine-Regular.ttf" "$dir/"

launch=() inside=() working=()
# Start 0 only warms the caches.
for i in $(seq 0 "$runs"); do
  t0="$(date +%s%3N)"
  read -r word shown since ws _ < <("$here/wine-run.sh" 'C:\kelvara\win32_startup_bench.exe' 'C:\kelvara' 2>/dev/null)
  [ "$word" = ok ] || { echo "bench-win32: start $i failed" >&2; exit 1; }
  [ "$i" -eq 0 ] && continue
  launch+=("$(awk -v a="$shown" -v b="$t0" 'BEGIN { printf "%.1f", a - b }')")
  inside+=("$since") working+=("$ws")
done
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
worst() { printf '%s\n' "$@" | sort -g | tail -n1; }
wine_version="$("$here/wine-run.sh" --version 2>/dev/null || echo wine)"
printf 'ROW\t8c\t%s\t%s ms\t-\tn/a\t%s\n' "Start-up under Wine: launch to a drawn Win32 window (median)" \
  "$(median "${launch[@]}")" \
  "for information, beside the Qt rows; $wine_version on Xvfb, wineserver kept up, $runs fresh processes, worst $(worst "${launch[@]}") ms; of it inside the process: $(median "${inside[@]}") ms"
printf 'ROW\t8d\t%s\t%s MiB\t-\tn/a\t%s\n' "Start-up under Wine: memory of the shown Win32 window" \
  "$(awk -v k="$(median "${working[@]}")" 'BEGIN { printf "%.1f", k / 1024 }')" \
  "for information, beside the Qt rows: the working set as Wine reports it, which counts Wine's own libraries"
