#!/usr/bin/env bash
# Runs a command (ctest of the Windows build) with the prefix's Wine server and
# its system processes (services, the desktop) started beforehand, holding none
# of the command's pipes. Wine starts them with the first program of a session
# and they keep that program's inherited output open for as long as the server
# runs: a test that happened to start them counted as running until the last
# test had ended, and would have hit its time limit in a longer run.
set -u
: "${WINEPREFIX:?WINEPREFIX must name the prefix of the build tree}"
export WINEPREFIX
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# Creates the prefix when it is new; then lets that server end, so that the
# one started next stays for the whole run.
"$here/wine-run.sh" cmd /c exit </dev/null >/dev/null 2>&1
wineserver -w
wineserver -p >/dev/null 2>&1
# Any program that asks for the desktop brings up the system processes.
"$here/wine-run.sh" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1
"$@"
rc=$?
wineserver -k 2>/dev/null
exit $rc
