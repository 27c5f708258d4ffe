#!/usr/bin/env bash
# The operator's run of kelvara.exe under Wine, on a virtual display with a
# window manager, driven with xdotool as a person would: a portable copy on
# the Wine drive starts with --demo, lines appear, a right click on the log
# pane opens its menu, Save as opens the common dialog, a path is typed and
# Enter pressed, and the window is closed. The saved file must hold the
# header and the lines, each ended by CR LF. Then a plain start and close of
# the same copy must write the four settings beside the program.
#
#   scripts/windows-gui-e2e.sh WINDOWS_BIN_DIR [SCREENSHOT.png]
#
# WINDOWS_BIN_DIR holds kelvara.exe, offset.txt and Cousine-Regular.ttf
# (build-windows/bin). SCREENSHOT, when given, receives the window during the
# demo run. Needs Xvfb, openbox, xdotool, ImageMagick's import and wine64.
set -euo pipefail

say() { printf 'windows-gui-e2e: %s\n' "$*" >&2; }

if [ "$#" -lt 1 ] || [ "$#" -gt 2 ]; then
  say "usage: $0 WINDOWS_BIN_DIR [SCREENSHOT.png]"
  exit 2
fi
bin="$(cd "$1" && pwd)"
shot="${2:-}"
[ -z "$shot" ] || shot="$(cd "$(dirname "$shot")" && pwd)/$(basename "$shot")"
here="$(cd "$(dirname "$0")" && pwd)"
for f in kelvara.exe offset.txt Cousine-Regular.ttf; do
  [ -f "$bin/$f" ] || { say "missing $bin/$f"; exit 2; }
done

scratch="$(mktemp -d /tmp/kelvara-gui-e2e.XXXXXX)"
export WINEPREFIX="$scratch/wine"
pids=()
cleanup() {
  local status=$?
  for server in wineserver /usr/lib/wine/wineserver; do
    if command -v "$server" >/dev/null 2>&1; then
      "$server" -k 2>/dev/null || true
      break
    fi
  done
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$scratch"
  exit "$status"
}
trap cleanup EXIT

# Waits up to $2 seconds for the command in $3... to succeed.
await() {
  local what="$1" seconds="$2"
  shift 2
  for _ in $(seq $((seconds * 5))); do
    "$@" && return 0
    sleep 0.2
  done
  say "no $what within $seconds s"
  return 1
}

# A display of its own, large enough for the window, and a window manager
# that places, decorates and focuses windows and dialogs as a desktop does.
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$scratch/display" 2>"$scratch/xvfb.log" &
pids+=($!)
await "X display" 20 test -s "$scratch/display"
export DISPLAY=":$(head -n1 "$scratch/display")"
openbox --sm-disable >"$scratch/openbox.log" 2>&1 &
pids+=($!)
wine() { KELVARA_WINE_DISPLAY="$DISPLAY" "$here/wine-run.sh" "$@"; }

# A portable copy on the Wine drive: the program, the offsets and the font.
wine cmd /c exit >/dev/null 2>&1 || true
app="$WINEPREFIX/drive_c/kelvara"
mkdir -p "$app"
cp "$bin/kelvara.exe" "$bin/offset.txt" "$bin/Cousine-Regular.ttf" "$app/"

window=""
find_window() { window="$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1)" && [ -n "$window" ]; }
gone() { ! kill -0 "$1" 2>/dev/null; }
journal_lines() {
  local part
  part="$(ls "$WINEPREFIX"/drive_c/users/*/AppData/Local/kelvara/runs/demo/*.part 2>/dev/null | head -n1)"
  [ -n "$part" ] && [ "$(wc -l <"$part")" -ge "$1" ]
}

# --- The demo: lines, Save as through the dialog, close --------------------
say "wine C:\\kelvara\\kelvara.exe --demo"
wine 'C:\kelvara\kelvara.exe' --demo >"$scratch/demo.out" 2>&1 &
demo=$!
pids+=("$demo")
await "window" 60 find_window Kelvara
# The journal of the run has the header and each line as the pane gets it.
await "three lines" 60 journal_lines 4

xdotool mousemove --window "$window" 200 150 click 3
sleep 1
# The menu's last entry is Save as.
xdotool key Up Return
await "save dialog" 30 find_window "Save As"
xdotool type --delay 30 'C:\kelvara\saved'
xdotool key Return
await "saved file" 30 test -s "$app/saved.csv"
if [ -n "$shot" ]; then
  find_window Kelvara
  xdotool windowactivate --sync "$window" >/dev/null 2>&1 || true
  sleep 1
  import -frame -window "$window" "$shot"
  say "screenshot: $shot"
fi
find_window Kelvara
xdotool windowactivate --sync "$window" key alt+F4
await "end of the demo" 30 gone "$demo"

say "C:\\kelvara\\saved.csv, first bytes:"
head -c 160 "$app/saved.csv" | od -A x -t x1z -v | sed 's/^/  /' >&2
python3 - "$app/saved.csv" <<'EOF'
import re, sys
data = open(sys.argv[1], "rb").read()
lines = data.split(b"\r\n")
problems = []
if b"\n" in data.replace(b"\r\n", b"") or b"\r" in data.replace(b"\r\n", b""):
    problems.append("a line break other than CR LF")
if not data.endswith(b"\r\n"):
    problems.append("the file does not end with CR LF")
if lines[0] != b"time\tTC_1\tTC_2\tTC_3\tTC_4\tTC_5\tTC_6\tT__A":
    problems.append("header %r" % lines[0])
body = [l for l in lines[1:] if l]
if len(body) < 3:
    problems.append("%d lines, not at least 3" % len(body))
for l in body:
    if not re.fullmatch(rb"\d{4}(\t(-?\d+\.\d\d|NAN)){7}", l):
        problems.append("line %r" % l)
if problems:
    sys.exit("windows-gui-e2e: " + "; ".join(problems))
print("windows-gui-e2e: the saved log holds the header and %d lines, each ended by CR LF" % len(body), file=sys.stderr)
EOF

# --- A plain start and close writes the settings beside the program ---------
rm -f "$app/kelvara.ini"
say "wine C:\\kelvara\\kelvara.exe, then closed"
wine 'C:\kelvara\kelvara.exe' >"$scratch/plain.out" 2>&1 &
plain=$!
pids+=("$plain")
await "window" 60 find_window Kelvara
sleep 1
xdotool windowactivate --sync "$window" key alt+F4
if ! await "end of the plain start" 30 gone "$plain"; then
  # A settings file that cannot be written keeps the window open, with a
  # message box that says why.
  say "windows still open: $(xdotool search --onlyvisible --name . getwindowname %@ 2>/dev/null | tr '\n' '|')"
  exit 1
fi
expected=$'[Serial]\nbaudrate=19200\nparity=even\nport=Com22\n[Timings]\nscan_period=1'
if [ "$(tr -d '\r' <"$app/kelvara.ini" 2>/dev/null)" != "$expected" ]; then
  say "C:\\kelvara\\kelvara.ini is not the four settings:"
  cat "$app/kelvara.ini" >&2 2>/dev/null || say "(no file)"
  exit 1
fi
say "the close wrote the four settings beside the program"
