#!/usr/bin/env bash
# Pictures of the wizard, one PNG per page and state, into build/screenshots/:
# orv_setup.exe runs as a user meets it (no test mode) in a virtual X server
# with a small window manager, against the tests' loopback update server,
# and is stepped with key presses (xdotool). Once at 96 and once at 144 DPI
# (LogPixels in a Wine prefix of its own, build/screenshots/wineprefix).
#
#   bash scripts/screenshots.sh          # after scripts/bootstrap.sh has run once
#
# Every run installs into build/screenshots/<dpi>/ (--root, --install-dir,
# --state-dir), so nothing outside the build tree changes. The pictures are
# for looking at; nothing of them is committed.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

if [ -z "${ORV_SHOTS_IN_X:-}" ]; then
    bash scripts/bootstrap.sh >/dev/null
    cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build/win -j"$(nproc)" --target orv_setup orv_packaged_prog \
        >build/win-shots.log 2>&1 || { tail -n 60 build/win-shots.log; exit 1; }
    rm -rf build/screenshots
    mkdir -p build/screenshots
    # The rest runs inside the virtual X server.
    ORV_SHOTS_IN_X=1 exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi

out="$top/build/screenshots"
export WINEPREFIX="$out/wineprefix"
export WINEDEBUG=-all
exe=build/win/orv_setup.exe
win() { echo "Z:$(echo "$1" | tr / '\\')"; }
say() { printf 'screenshots: %s\n' "$*"; }

# The window manager draws the frames and the title bars.
openbox >/dev/null 2>&1 &
wm=$!
server="$out/server"
cleanup() {
    kill "$wm" 2>/dev/null || true
    bash tests/support/update_server.sh stop "$server" >/dev/null 2>&1 || true
    wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

# The loopback update server with the client set, signed with a new key.
bash tests/support/update_server.sh start "$server" >/dev/null
prog=$(find build/win -name packaged_prog.exe | head -n1)
key=$(python3 scripts/demo_site.py "$server/www/shots" "$prog" --client)
port=$(sed -n 's/^self=//p' "$server/server.env")
url="https://localhost:$port/shots"
faults="$server/faults/shots/alpha"
mkdir -p "$faults/pkgs"
fault() { printf '%s\n' "$2" >"$faults/$1"; }  # $1 path below alpha/, $2 "" removes
nofault() { rm -f "$faults/$1"; }

dpi_dir=
wizard_pid=
wizard_window=
# Starts the wizard with the run's places and the given options and waits for
# its window.
start_wizard() {
    scripts/wine-run.sh "$exe" --url "$url" --ca-file "$(win "$server/certs/self.pem")" \
        --public-key "$key" --root "$(win "$dpi_dir/root")" \
        --install-dir "$(win "$dpi_dir/install")" --state-dir "$(win "$dpi_dir/state")" \
        "$@" >>"$dpi_dir/wizard.log" 2>&1 &
    wizard_pid=$!
    wizard_window=$(timeout 60 xdotool search --sync --onlyvisible --name '^orvantis Setup$' | head -n1)
    [ -n "$wizard_window" ] || { say "no wizard window"; exit 1; }
    xdotool windowactivate --sync "$wizard_window" 2>/dev/null || true
}
# One picture of the screen, named after what it shows.
shot() {
    sleep "${2:-0.7}"
    import -window root "$dpi_dir/$1.png"
    say "$(basename "$dpi_dir")/$1.png"
}
# Presses keys in the wizard's window.
keys() {
    xdotool windowactivate --sync "$wizard_window" 2>/dev/null || true
    xdotool key --delay 100 "$@"
}
# Presses keys in whatever window is active (a dialog over the wizard).
keys_here() { xdotool key --delay 100 "$@"; }
# Answers the question of a message box over the wizard with Return (Yes).
answer_box() {
    local box
    sleep 0.7
    box=$(xdotool search --onlyvisible --name '^orvantis Setup$' | grep -vx "$wizard_window" | head -n1)
    [ -n "$box" ] && xdotool windowactivate --sync "$box" 2>/dev/null || true
    xdotool key Return
}
# Waits until the wizard has ended, at most $1 seconds.
wait_end() {
    local i
    for i in $(seq $(( ${1:-30} * 10 ))); do
        kill -0 "$wizard_pid" 2>/dev/null || { wait "$wizard_pid" || true; return 0; }
        sleep 0.1
    done
    say "the wizard did not end"; kill "$wizard_pid" 2>/dev/null || true
}
# Waits until the state file names an installed version (or none, for "").
wait_installed() { # $1 version or "", $2 seconds
    local i
    for i in $(seq $(( $2 * 10 ))); do
        if grep -q "^installed_version=$1\$" "$dpi_dir/state/state" 2>/dev/null; then return 0; fi
        sleep 0.1
    done
}

for dpi in 96 144; do
    dpi_dir="$out/$dpi"
    mkdir -p "$dpi_dir"
    wineserver -k 2>/dev/null || true
    scripts/wine-run.sh reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
    scripts/wine-run.sh reg add 'HKCC\Software\Fonts' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
    wineserver -w
    say "== $dpi DPI"

    # The update server refuses the catalog: the failure on the welcome page.
    fault components.json "status 404"
    start_wizard
    shot connect-failure 3
    keys Escape
    shot cancel-question
    answer_box
    wait_end 20
    nofault components.json

    # A folder of 320 characters that cannot be made: the sentence on the
    # result page holds the whole path; Escape closes the window, no question.
    long="$dpi_dir/install"
    while [ ${#long} -lt 320 ]; do long="$long/Ordner-mit-einem-recht-langen-Namen"; done
    start_wizard --install-dir "$(win "${long:0:320}")"
    sleep 3
    keys Return Return Return Return Return Return Return
    shot page9-long-path 6
    keys Escape
    wait_end 20

    # A fresh install of the client set: the catalog comes late, one package
    # is held back half-way so that the progress page shows a download.
    fault components.json "stall 3"
    fault pkgs/agent-1.0.0.pkg "stall_at 100000 6"
    start_wizard
    shot page0-connecting 0.5
    sleep 4
    shot page0-welcome
    keys Return; shot page1-choice
    # Back to the first page by keys: Back is disabled there, so the focus
    # goes to Next, and Enter goes on again.
    keys shift+Tab shift+Tab shift+Tab space; shot page0-after-back
    keys Return
    # The folder emptied: the page is refused, and after the message the
    # focus is in the field, where the folder is typed again.
    keys Tab Tab BackSpace Return; shot page1-refused
    answer_box
    xdotool type --delay 20 "$(win "$dpi_dir/install")"; shot page1-typed-after-refusal
    # Enter on the focused browse button opens the folder browser.
    keys Tab Return; shot page1-folder-browser 2
    keys_here Escape; shot page1-browse-focused
    # Enter in the folder field goes on; the next page's first control has the focus.
    keys shift+Tab Return; shot page3-updates
    keys Return; shot page4-backup-server
    keys Return; shot page5-console
    keys Return; shot page6-sharing
    keys Return; shot page7-summary
    keys Return; shot page8-download 3
    wait_installed 1.0.0 60
    shot page9-result 3
    keys Return
    wait_end 20
    nofault components.json
    nofault pkgs/agent-1.0.0.pkg

    # Modify: the maintenance choice on the welcome page, then the list.
    start_wizard
    shot page0-installed 3
    keys Return; shot page2-components
    keys Escape
    answer_box
    wait_end 20

    # Uninstall: the summary with the choice to remove the settings too.
    start_wizard --uninstall
    sleep 3
    keys Return; shot page7-uninstall
    # Removing takes a moment only: its progress page is gone before a
    # picture could be taken.
    keys Return
    wait_installed "" 60
    shot page9-uninstalled 3
    keys Return
    wait_end 20
done
say "pictures in ${out#$top/}/96 and ${out#$top/}/144"
