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
# ctest counts a test as running until its output pipe closes. A process the
# program left behind (now and then Wine's loader of a child that was ended
# while it started) inherits that pipe and would hold the test until its time
# limit, though the program itself had long ended. So the program writes
# into pipes of this script's own, which are copied on, and once the program
# has ended a writer left behind gets 5 s before the copying stops.
pipes=$(mktemp -d "${TMPDIR:-/tmp}/orv-wine-run.XXXXXX")
mkfifo "$pipes/out" "$pipes/err"
cat <"$pipes/out" &
copy_out=$!
cat <"$pipes/err" >&2 &
copy_err=$!
# A program started in the background would read /dev/null: it keeps ours.
exec 3<&0
"$wine" "$@" <&3 3<&- >"$pipes/out" 2>"$pipes/err" &
program=$!
exec 3<&-
trap 'kill -TERM $program 2>/dev/null' TERM INT HUP
# A wait broken off by a trapped signal: the program's own end still counts.
while :; do
    rc=0
    wait $program || rc=$?
    kill -0 $program 2>/dev/null || break
done
for _ in $(seq 50); do
    kill -0 $copy_out 2>/dev/null || kill -0 $copy_err 2>/dev/null || break
    sleep 0.1
done
if kill -0 $copy_out 2>/dev/null || kill -0 $copy_err 2>/dev/null; then
    echo "wine-run.sh: a process left behind by $1 still held its output 5 s after it ended" >&2
    kill $copy_out $copy_err 2>/dev/null
fi
rm -rf "$pipes"
exit $rc
