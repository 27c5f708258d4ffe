#!/usr/bin/env bash
# An operator's run of the Qt window through the real event loop: the window
# under Xvfb with a window manager (openbox), driven with xdotool. The demo
# runs, and Run is double-clicked again and again a few milliseconds after
# the clock's second tick of the run the previous double-click started, so
# that the release and the press land while that tick's scan is under way;
# then the window is closed. Every run's journal must hold the lines of that
# run alone: from 0001, one second after another.
#
#   scripts/qt-e2e.sh BIN_DIR [DOUBLE_CLICKS]
set -euo pipefail
bin="$(cd "$1" && pwd)"
clicks="${2:-12}"
work="$(mktemp -d /tmp/kelvara-qt-e2e.XXXXXX)"
# On a failure the window's own output goes to the log: a sanitizer's report
# or a message the program gave before it went away.
finish() {
  local status=$?
  [ "$status" -eq 0 ] || { echo "qt-e2e: the window's output:"; cat "$work/out.log" 2>/dev/null || true; }
  kill $(jobs -p) 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT
export XDG_STATE_HOME="$work/state" XDG_CONFIG_HOME="$work/config" HOME="$work"
# A display of its own: Xvfb picks a free number and writes it to fd 3, so
# that no other X server (a sibling test's, a leftover one) is driven instead.
Xvfb -displayfd 3 -screen 0 1600x900x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.2; done
[ -s "$work/display" ] || { echo "qt-e2e: no X display"; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
openbox --sm-disable >/dev/null 2>&1 &
sleep 1
cp "$bin/kelvara" "$bin/offset.txt" "$work/"
"$work/kelvara" --demo >"$work/out.log" 2>&1 &
app=$!
# The program's own window, found by its process: a window of that title
# that belongs to anything else is never the one driven.
win=""
for _ in $(seq 150); do
  win=$(xdotool search --all --onlyvisible --pid "$app" --name '^Kelvara$' 2>/dev/null | head -n 1) && [ -n "$win" ] && break
  sleep 0.2
done
[ -n "$win" ] || { echo "qt-e2e: no window"; exit 1; }
# The window manager may still be taking the window over: activate until it
# holds the focus.
for _ in $(seq 25); do xdotool windowactivate --sync "$win" 2>/dev/null && break; sleep 0.2; done
xdotool windowmove "$win" 0 0
sleep 3
# Run sits at (95, 114) in the Monitor group, which starts 81 px down the
# column at x 1024: its middle is at (1024 + 1 + 95 + 61, 1 + 81 + 114 + 17).
runX=$((1024 + 1 + 95 + 61)) runY=$((1 + 81 + 114 + 17))
# One xdotool for all the clicks, so that its own sleeps set the pace: each
# double-click's press starts a run whose second tick comes 2 s later; the
# next double-click comes 5 ms after that tick, inside the scan's 20 ms
# settle, release and press 8 ms apart.
chain=(mousemove --window "$win" "$runX" "$runY" click --repeat 2 --delay 8 1)
for _ in $(seq 2 "$clicks"); do chain+=(sleep 2.005 click --repeat 2 --delay 8 1); done
xdotool "${chain[@]}"
sleep 2.5
xdotool windowactivate --sync "$win" key alt+F4
for _ in $(seq 100); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app" 2>/dev/null && { echo "qt-e2e: the window did not close"; exit 1; }

runs="$XDG_STATE_HOME/kelvara/runs/demo"
journals=$(ls "$runs"/*.csv 2>/dev/null | wc -l)
echo "qt-e2e: $clicks double-clicks, $journals journals in $runs"
[ "$journals" -ge "$clicks" ] || { echo "qt-e2e: fewer journals than runs"; exit 1; }
bad=0
for j in "$runs"/*.csv; do
  if ! python3 - "$j" <<'PY'
import sys
lines = open(sys.argv[1], newline="").read().split("\r\n")
assert lines[-1] == "", "the last line is not whole"
body = lines[1:-1]
seconds = [int(l.split("\t")[0]) for l in body]
assert seconds == list(range(1, len(seconds) + 1)), f"seconds {seconds}"
print(f"  {sys.argv[1].rsplit('/', 1)[1]}: {len(body)} lines, 0001..{seconds[-1]:04d}" if body else "  (no line)")
PY
  then bad=$((bad + 1)); echo "qt-e2e: $j is mixed"; fi
done
[ "$bad" -eq 0 ] || exit 1
echo "qt-e2e: every run's journal holds its own lines from 0001"
