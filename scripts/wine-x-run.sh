#!/usr/bin/env bash
# Runs a Windows program that opens windows under Wine, on a virtual X display
# of its own (Xvfb through xvfb-run, large enough for the window at its
# designed size), in a prefix kept for such programs: a prefix's desktop
# process stays tied to the display it first met, so programs with and
# without a display never share one. Runs one program at a time per prefix.
#
#   WINEPREFIX  the prefix to use (default: /tmp/kelvara-wine-x-<uid>)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
export WINEPREFIX="${WINEPREFIX:-/tmp/kelvara-wine-x-$(id -u)}"
mkdir -p "$(dirname "$WINEPREFIX")"

# Inside the display: xvfb-run has set DISPLAY.
if [ "${1:-}" = "--in-display" ]; then
  shift
  status=0
  KELVARA_WINE_DISPLAY="$DISPLAY" "$here/wine-run.sh" "$@" || status=$?
  # The prefix's server and desktop outlive the program by a few seconds;
  # the display goes away with xvfb-run, so they go now.
  for server in wineserver /usr/lib/wine/wineserver; do
    if command -v "$server" >/dev/null 2>&1; then
      "$server" -k 2>/dev/null || true
      break
    fi
  done
  exit "$status"
fi

exec 9>"$WINEPREFIX.x.lock"
flock 9
exec xvfb-run -a -s "-screen 0 1920x1200x24 -nolisten tcp" "$0" --in-display "$@"
