#!/usr/bin/env bash
# Tree removal throughput: the common tree removal beside a plain DeleteFileW walk, Linux
# `rm -rf` and `wine cmd /c rd /s /q`, each on an identical 5,000-file tree, in the same run.
#   bench/tree_removal.sh [rounds]
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
ensure_packages
build_all >/dev/null
prepare_prefix
rounds="${1:-3}"
work="$BUILD/bench-trees"
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
wine cmd /c exit >/dev/null 2>&1 || true

make_tree() {  # 50 folders x 100 files of 1 KB, one of them 5 levels deep
  local root="$1"
  mkdir -p "$root"
  python3 - "$root" <<'PY'
import os, sys
root = sys.argv[1]
blob = b"x" * 1024
for d in range(50):
    sub = os.path.join(root, f"pkg{d:02d}", *(["deep"] * (d % 5)))
    os.makedirs(sub, exist_ok=True)
    for f in range(100):
        with open(os.path.join(sub, f"m{f:03d}.pyc"), "wb") as fh:
            fh.write(blob)
PY
}
win() { echo "Z:${1//\//\\}"; }
now() { date +%s.%N; }

declare -A total
for kind in ours walk rm rd; do total[$kind]=0; done
for round in $(seq 1 "$rounds"); do
  rm -rf "$work" && mkdir -p "$work"
  for kind in ours walk rm rd; do make_tree "$work/$kind"; done
  sync
  t=$("$BUILD/wine-run.sh" "$BUILD/bin/bench_tree_removal.exe" ours "$(win "$work/ours")" | tr -d "\r")
  total[ours]=$(echo "${total[ours]} + $t" | bc -l)
  t=$("$BUILD/wine-run.sh" "$BUILD/bin/bench_tree_removal.exe" walk "$(win "$work/walk")" | tr -d "\r")
  total[walk]=$(echo "${total[walk]} + $t" | bc -l)
  s=$(now); rm -rf "$work/rm"; e=$(now)
  total[rm]=$(echo "${total[rm]} + $e - $s" | bc -l)
  s=$(now); "$BUILD/wine-run.sh" cmd /c rd /s /q "$(win "$work/rd")"; e=$(now)
  total[rd]=$(echo "${total[rd]} + $e - $s" | bc -l)
  for kind in ours walk rm rd; do
    [ -e "$work/$kind" ] && echo "warning: $kind left $work/$kind behind"
  done
done
echo "5,000 files in 50 folders, mean of $rounds rounds:"
for kind in ours walk rm rd; do
  mean=$(echo "${total[$kind]} / $rounds" | bc -l)
  printf '  %-5s %7.3f s  %8.0f files/s\n' "$kind" "$mean" "$(echo "5000 / $mean" | bc -l)"
done
printf '  ours / rm -rf: %.2fx   rd /s /q / ours: %.1fx\n' \
  "$(echo "${total[ours]} / ${total[rm]}" | bc -l)" "$(echo "${total[rd]} / ${total[ours]}" | bc -l)"
rm -rf "$work"
