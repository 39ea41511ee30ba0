#!/bin/bash
# Runs a command inside a Wine session of the Windows build: its own prefix (build-windows/wine,
# made on first use), a wine server that stays up between the programs the command starts, so
# that ctest does not wait on Wine's background processes, and no Wine debug output. The server
# is stopped again afterwards.
#   packaging/windows/wine-session.sh COMMAND [ARGS...]
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=${WINEPREFIX:-$HERE/../../build-windows/wine}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
WINE=/usr/lib/wine/wine64
mkdir -p "$WINEPREFIX"
WINEPREFIX=$(cd "$WINEPREFIX" && pwd)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine-session: making the Wine prefix $WINEPREFIX"
    "$WINE" wineboot -i >/dev/null 2>&1 </dev/null
fi
/usr/lib/wine/wineserver64 -p >/dev/null 2>&1 </dev/null
"$WINE" wineboot >/dev/null 2>&1 </dev/null
"$@"
rc=$?
/usr/lib/wine/wineserver64 -k >/dev/null 2>&1
exit $rc
