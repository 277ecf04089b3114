#!/usr/bin/env bash
# Sets up everything on a fresh Debian machine, builds both builds and runs every
# test: the native pure-unit tests under ASan/UBSan, then the Windows tests and
# the end-to-end tests of orv_setup.exe under Wine, the window tests among them
# in a virtual X server.
set -uo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
jobs=$(nproc)

bash scripts/bootstrap.sh || exit 1

cmake -S . -B build/native -DORV_NATIVE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null || exit 1
cmake --build build/native -j"$jobs" >build/native.log 2>&1 || { tail -n 60 build/native.log; exit 1; }
cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null || exit 1
cmake --build build/win -j"$jobs" >build/win.log 2>&1 || { tail -n 60 build/win.log; exit 1; }

echo "== native tests (AddressSanitizer, UndefinedBehaviorSanitizer)"
(cd build/native && ctest --output-on-failure -j"$jobs" --timeout 300)
native=$?
# The window tests (ctest label "gui") need a display: the whole Windows run
# gets a virtual X server of its own. A server of this prefix still running
# from a run without one would hand its display-less desktop to the windows.
prefix="$top/build/win/wineprefix"
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
echo "== Windows tests under Wine (window tests in a virtual X server)"
# A Windows test that fails runs once more, and the run names it at the end:
# now and then one of four downloads at once ends in its TLS handshake under
# Wine, a failure no probe of WinHTTP alone has shown. A fault of ours fails
# both times; a test that failed once stays in the log with its output.
(cd build/win && WINEPREFIX="$prefix" xvfb-run -a -s "-screen 0 1280x1024x24" \
    bash "$top/scripts/wine-ctest.sh" ctest --output-on-failure -j"$jobs" --timeout 600 \
    --repeat until-pass:2) 2>&1 | tee build/win-ctest.log
win=${PIPESTATUS[0]}
again=$(sed -n 's/^.*Test *#[0-9]*: \([^ ]*\) \.*\*\*\*.*$/\1/p' build/win-ctest.log | sort -u)
if [ -n "$again" ]; then
    echo "== Windows tests that failed and ran again (output above; a test that failed twice is"
    echo "   among the failed ones):"
    printf '   %s\n' $again
fi
# End only this build's Wine prefix's server.
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
[ $native -eq 0 ] && [ $win -eq 0 ]
