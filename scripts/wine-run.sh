#!/usr/bin/env bash
# Runs a Windows program of the cross build under Wine, in a private Wine
# prefix inside the build folder (made on first use), with Wine's own
# diagnostics off. Usage: wine-run.sh PROGRAM.exe [ARGS...]
set -euo pipefail
exe=$1
shift
build=$(cd "$(dirname "$exe")" && pwd)
while [ "$build" != / ] && [ ! -f "$build/CMakeCache.txt" ]; do build=$(dirname "$build"); done
[ "$build" = / ] && build=$(cd "$(dirname "$exe")" && pwd)
export WINEPREFIX=${KREL_WINEPREFIX:-$build/wine-prefix}
export WINEDEBUG=-all
# The programs need no window; without a display, Wine's message boxes
# return at once instead of waiting for a click.
unset DISPLAY WAYLAND_DISPLAY
# No Mono or Gecko installer dialogs: the programs need neither.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
wine=$(command -v wine64 || command -v wine || true)
[ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64
if [ -z "$wine" ]; then
  echo "wine-run.sh: Wine fehlt (apt-get install wine64)" >&2
  exit 127
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  flock "$WINEPREFIX/.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || "$1" wineboot --init >/dev/null 2>&1' _ "$wine"
fi
exec "$wine" "$exe" "$@"
