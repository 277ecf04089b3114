#!/usr/bin/env bash
# The benchmark (not part of the tests): builds orv_setup.exe and three small
# Windows programs, makes signed sites of padded packages with
# scripts/demo_site.py, serves them with the tests' update server on
# 127.0.0.1, and measures, as rounds of commands run in turn:
#   - the silent install against the native pipeline of the same files (per
#     package curl, sha256sum, zstd -dc | tar -x): the yardstick with all
#     packages at once, as an administrator's script would run them, and one
#     package after the other, for each package size;
#   - the silent install and the yardstick over numbers of packages;
#   - --version against a trivial static Windows program under the same prefix;
#   - the peak memory of the setup's process at two package sizes;
#   - --list-components with a 1 MiB catalog against a small one;
# and, to show where the time goes, Wine's process start, SHA-256 under Wine,
# a plain WinHTTP download of the same packages (one after the other and all
# at once) and Wine's cost of writing that many bytes. Prints one table and
# writes it as JSON to build/bench/latest.json (and a dated copy).
#
#   scripts/bench.sh [--count N] [--sizes "MIB ..."] [--mem-sizes "MIB MIB"] [--runs R]
#                   [--scale "N ..."] [--scale-mib MIB] [--setup EXE]
#
# --setup measures another build of orv_setup.exe (an older one, say);
# --scale "" leaves the scaling out. Defaults: 4 packages of 64 MiB, memory
# at 16 and 64 MiB, scaling over 1, 2, 4 and 8 packages of 64 MiB, 5 rounds
# (six times as many for the short runs).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

count=4 sizes=64 mem_sizes="16 64" runs=5 scale="1 2 4 8" scale_mib=64
setup=$top/build/win/orv_setup.exe
while [ $# -gt 0 ]; do
    case $1 in
        --count) count=$2; shift 2 ;;
        --sizes) sizes=$2; shift 2 ;;
        --mem-sizes) mem_sizes=$2; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        --scale) scale=$2; shift 2 ;;
        --scale-mib) scale_mib=$2; shift 2 ;;
        --setup) setup=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
        *) echo "usage: scripts/bench.sh [--count N] [--sizes \"MIB ...\"] [--mem-sizes \"MIB MIB\"] [--runs R] [--scale \"N ...\"] [--scale-mib MIB] [--setup EXE]" >&2
           exit 2 ;;
    esac
done

bench=$top/build/bench
mkdir -p "$bench/bin"
bash scripts/bootstrap.sh >/dev/null
[ -f build/win/CMakeCache.txt ] ||
    cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win -j3 --target orv_setup orv_packaged_prog >"$bench/build.log" 2>&1 ||
    { tail -n 40 "$bench/build.log"; exit 1; }
cc=x86_64-w64-mingw32-gcc-posix
$cc -O2 -static -o "$bench/bin/hello.exe" scripts/bench/hello.c
$cc -O2 -static -municode -o "$bench/bin/winhttp_get.exe" scripts/bench/winhttp_get.c -lwinhttp
$cc -O2 -static -o "$bench/bin/write_speed.exe" scripts/bench/write_speed.c
$cc -O2 -static -I.cache/win64/include -o "$bench/bin/sha256_speed.exe" scripts/bench/sha256_speed.c \
    .cache/win64/lib/libcrypto.a -lws2_32 -lcrypt32 -lbcrypt -luser32 -ladvapi32

# A prefix of the benchmark's own, with its server kept running for the
# whole run so that no measured start pays for bringing it up.
export WINEPREFIX=$bench/wineprefix
export WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe=d
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=wine
scripts/wine-run.sh "$bench/bin/hello.exe" >/dev/null
wineserver -w
wineserver -p

server=$bench/server
bash tests/support/update_server.sh start "$server" >/dev/null
cleanup() {
    bash tests/support/update_server.sh stop "$server" >/dev/null 2>&1 || true
    wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
port=$(sed -n 's/^self=//p' "$server/server.env")

TOP=$top BENCH=$bench WINE=$wine SERVER=$server PORT=$port SETUP=$setup \
    PROG=$(find build/win -name packaged_prog.exe | head -n1) COUNT=$count SIZES=$sizes \
    MEM_SIZES=$mem_sizes SCALE=$scale SCALE_MIB=$scale_mib RUNS=$runs CATALOG_BYTES=1048000 python3 scripts/bench/bench.py
