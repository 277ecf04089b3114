#!/usr/bin/env bash
# Sets up everything on a fresh Debian machine, builds orv_setup.exe and runs it
# under Wine in the build's private prefix.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
bash scripts/bootstrap.sh
cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win -j"$(nproc)" --target orv_setup >build/win-run.log 2>&1 || { tail -n 60 build/win-run.log; exit 1; }
export WINEPREFIX="$top/build/win/wineprefix"
exe=build/win/orv_setup.exe
if [ $# -gt 0 ]; then
    scripts/wine-run.sh "$exe" "$@"
else
    scripts/wine-run.sh "$exe" --version
    scripts/wine-run.sh "$exe" --selftest
fi
