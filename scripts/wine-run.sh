#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's private prefix, creating the
# prefix on first use. WINEPREFIX must be set (ctest sets it for every test).
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the prefix of the build tree}"
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml,winemenubuilder.exe=d}
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=wine
if [ ! -f "$WINEPREFIX/.orv-ready" ]; then
    mkdir -p "$WINEPREFIX"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/.orv-ready" ]; then
            "$wine" wineboot -i >/dev/null 2>&1 || true
            wineserver -w || true
            touch "$WINEPREFIX/.orv-ready"
        fi
    ) 9>"$WINEPREFIX.lock"
fi
exec "$wine" "$@"
