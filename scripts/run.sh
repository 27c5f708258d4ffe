#!/usr/bin/env bash
# `make run`: the window in demo mode when there is a display to show it on,
# the headless logger on the simulated bus otherwise.
set -euo pipefail
build="${1:-build}"
bin="$build/bin"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$bin/kelvara" ]; then
  exec "$bin/kelvara" --demo
fi
echo "run: no display; logging from the simulated bus with kelvara-log (Ctrl-C stops)" >&2
exec "$bin/kelvara-log" --simulate
