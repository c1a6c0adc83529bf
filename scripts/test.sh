#!/usr/bin/env bash
# Builds everything and runs the whole test suite twice, each time inside a virtual X display:
# under the machine's Wine 8 (Debian 12), then under Debian 13's Wine 10 in a root of its own
# (scripts/wine10.sh). Fails when either run fails. Extra arguments go to both ctest runs.
# TAVRIO_WINE10=0 runs Wine 8 only.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
source "$ROOT/scripts/wine10.sh"
ensure_packages
build_all

heading() { printf '\n==== %s ====\n' "$1"; }

heading "Wine 8: $(wine --version) on Debian 12"
start=$SECONDS
wineserver -k 2>/dev/null || true
wine8=0
xvfb-run -a -s "-screen 0 1280x1024x24" bash "$ROOT/scripts/run-ctest.sh" "$@" || wine8=$?
echo "Wine 8 run: $((SECONDS - start)) s, $([ "$wine8" = 0 ] && echo passed || echo FAILED)"

if [ "${TAVRIO_WINE10:-1}" = 0 ]; then
  echo "Wine 10 not run: TAVRIO_WINE10=0"
  exit "$wine8"
fi
if ! ensure_wine10_root; then
  exit "$wine8"
fi
heading "Wine 10: $(chroot "$WINE10_ROOT" dpkg-query -W -f '${Version}' wine) on Debian 13"
start=$SECONDS
wine10=0
# The checks that need no Wine (label no_wine) ran above.
run_in_wine10_root -LE no_wine "$@" || wine10=$?
echo "Wine 10 run: $((SECONDS - start)) s, $([ "$wine10" = 0 ] && echo passed || echo FAILED)"

heading "Summary"
echo "Wine 8 (Debian 12):  $([ "$wine8" = 0 ] && echo passed || echo FAILED)"
echo "Wine 10 (Debian 13): $([ "$wine10" = 0 ] && echo passed || echo FAILED)"
[ "$wine8" = 0 ] && [ "$wine10" = 0 ]
