#!/usr/bin/env bash
# Runs a window test (a test with a line "// gui") under Wine: only with a
# display, else it ends with 77, which ctest reports as skipped. scripts/test.sh
# gives the whole Windows run a virtual X server (xvfb-run); by hand:
#   xvfb-run -a ctest -L gui
#
#   gui_test.sh WINE_RUN TEST.exe [ARGS...]
set -u
if [ -z "${DISPLAY:-}" ]; then
    echo "no display (DISPLAY is unset): run ctest inside xvfb-run -a" >&2
    exit 77
fi
exec bash "$@"
