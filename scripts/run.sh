#!/usr/bin/env bash
# Sets up everything on a fresh Debian machine, builds orv_setup.exe and runs it
# under Wine in the build's private prefix.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
bash scripts/bootstrap.sh
cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win -j"$(nproc)" --target orv_setup orv_packaged_prog >build/win-run.log 2>&1 || { tail -n 60 build/win-run.log; exit 1; }
export WINEPREFIX="$top/build/win/wineprefix"
exe=build/win/orv_setup.exe
if [ $# -gt 0 ]; then
    scripts/wine-run.sh "$exe" "$@"
    exit
fi

scripts/wine-run.sh "$exe" --version
scripts/wine-run.sh "$exe" --selftest

# A silent install from the project's own loopback update server into a test
# directory: a signed site with two packages, served on 127.0.0.1 with a
# self-signed certificate that the setup pins (--ca-file).
demo="$top/build/demo"
rm -rf "$demo" && mkdir -p "$demo"
bash tests/support/update_server.sh start "$demo/server" >/dev/null
trap 'bash tests/support/update_server.sh stop "$demo/server" >/dev/null 2>&1 || true' EXIT
prog=$(find build/win -name packaged_prog.exe | head -n1)
key=$(python3 scripts/demo_site.py "$demo/server/www/demo" "$prog")
port=$(sed -n 's/^self=//p' "$demo/server/server.env")
win() { echo "Z:$(echo "$1" | tr / '\\')"; }
echo "== orv_setup --silent: install core and agent from https://localhost:$port/demo"
scripts/wine-run.sh "$exe" --silent --url "https://localhost:$port/demo" \
    --ca-file "$(win "$demo/server/certs/self.pem")" --public-key "$key" \
    --root "$(win "$demo/root")" --install-dir "$(win "$demo/install")" \
    --state-dir "$(win "$demo/state")" --components core,agent \
    --no-updater-schedule --no-resume-service --no-scheduler-service
echo "== installed programs in build/demo/install/bin:"
ls "$demo/install/bin"
