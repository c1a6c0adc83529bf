#!/usr/bin/env bash
# Inside the X display: a warm wineserver, then ctest. A first trivial program starts Wine's
# background processes before any test reads a child's pipes (they would inherit them).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
prepare_prefix
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
wine cmd /c exit >/dev/null 2>&1 || true
ctest --test-dir "$BUILD" --no-label-summary --output-on-failure -j 4 --timeout 300 "$@"
