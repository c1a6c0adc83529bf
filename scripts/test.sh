#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine, inside a virtual X display.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
ensure_packages
build_all
wineserver -k 2>/dev/null || true
xvfb-run -a -s "-screen 0 1280x1024x24" bash "$ROOT/scripts/run-ctest.sh" "$@"
