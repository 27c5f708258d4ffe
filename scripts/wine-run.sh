#!/usr/bin/env bash
# Runs a Windows program under Wine, headless: no display, no debug chatter,
# in a scratch prefix made on first use. CMake's cross build runs its test
# programs through this script.
#
#   WINEPREFIX            the prefix to use (default: /tmp/kelvara-wine-<uid>)
#   KELVARA_WINE_DISPLAY  the X display for a program with windows (default: none)
#
# A new prefix gets no serial ports of its own: Wine would map COM1, COM2, ...
# to the machine's /dev/ttyS*, which a test must never open. A test that needs
# a port links one to a pseudo-terminal itself (scripts/windows-e2e.sh).
set -euo pipefail

wine=""
for candidate in wine64 /usr/lib/wine/wine64 wine; do
  if command -v "$candidate" >/dev/null 2>&1; then
    wine="$(command -v "$candidate")"
    break
  fi
done
if [ -z "$wine" ]; then
  echo "wine-run: wine64 is not installed (scripts/install-deps.sh installs it)" >&2
  exit 127
fi

export WINEPREFIX="${WINEPREFIX:-/tmp/kelvara-wine-$(id -u)}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No display: a console program needs none, and Wine must not look for one.
# A program with windows is given one in KELVARA_WINE_DISPLAY
# (scripts/wine-x-run.sh, an Xvfb of its own).
if [ -n "${KELVARA_WINE_DISPLAY:-}" ]; then
  export DISPLAY="$KELVARA_WINE_DISPLAY"
else
  unset DISPLAY
fi
unset WAYLAND_DISPLAY
# Wine's optional helpers (Mono, Gecko) are never wanted here.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # Two runs that start together must not both build the prefix.
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$wine" wineboot -i >/dev/null 2>&1 || true
      "$(dirname "$wine")/wineserver" -w 2>/dev/null || wineserver -w 2>/dev/null || true
    fi
  ) 9>"$WINEPREFIX.lock"
fi
for link in "$WINEPREFIX"/dosdevices/com[0-9]*; do
  case "$(readlink "$link" 2>/dev/null)" in /dev/ttyS*) rm -f "$link" ;; esac
done

exec "$wine" "$@"
