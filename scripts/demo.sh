#!/usr/bin/env bash
# Builds both programs and demonstrates them under Wine on a generated sample installation:
# an update, then a silent uninstall in keep mode and one in all mode on fresh copies.
#   scripts/demo.sh           the unattended demonstration
#   scripts/demo.sh --window  also opens the uninstall window (needs a display; under xvfb-run
#                             a screenshot is saved as build/demo/window.png)
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
ensure_packages
build_all
prepare_prefix

DEMO="$BUILD/demo"
BIN="$BUILD/bin"
win() { echo "Z:${1//\//\\}"; }   # Linux path -> Windows path under Wine's Z: drive
run() { "$BUILD/wine-run.sh" "$@"; }

# A sample installation below a fresh folder, laid out as the tests lay theirs out.
make_scene() {
  local base="$1" kind="$2"
  rm -rf "$base" && mkdir -p "$base"
  run "$BIN/make_scene.exe" "$(win "$base")" "$kind"
}

show_tree() { (cd "$1" && find . -mindepth 1 | sort | sed 's/^\.\//    /'); }

# What an uninstall left: its setup log, the install folder and the local data folder.
show_uninstall_outcome() {
  local temp="$1" install="$2" data="$3"
  echo "--- setup log"
  cat "$temp/tavrio_setup.log" 2>/dev/null || echo "    (none: nothing was started)"
  echo "--- install folder afterwards"
  if [ -d "$install" ]; then show_tree "$install"; else echo "    (removed)"; fi
  echo "--- local data folder afterwards"
  if [ -d "$data/Tavrio" ]; then show_tree "$data/Tavrio"; else echo "    (removed)"; fi
}

demo_update() {
  echo "=== Update of a sample installation ==="
  local base="$DEMO/update"
  local install="$base/Tavrio 安装" stage="$base/staging"
  make_scene "$base" update
  # The running application: it starts the updater with its own process id and exits 2 s later.
  run "$install/Tavrio.exe" --run-seconds 2 &
  local app=$!
  for _ in $(seq 1 100); do grep -q '^start ' "$install/standin-record.txt" 2>/dev/null && break; sleep 0.1; done
  local pid
  pid="$(sed -n 's/^start //p' "$install/standin-record.txt" | head -n1)"
  echo "--- the application runs as process $pid; the updater waits for it"
  run "$install/tavrio-updater.exe" --pid "$pid" --app "$(win "$install")" --exe Tavrio.exe \
    --stage "$(win "$stage")" --log "$(win "$base/update.log")"
  wait "$app" || true
  # The restarted application runs on detached; its record follows the first one.
  for _ in $(seq 1 50); do [ "$(grep -cx end "$install/standin-record.txt" 2>/dev/null)" = 2 ] && break; sleep 0.1; done
  echo "--- update log"
  cat "$base/update.log"
  echo "--- install folder afterwards"
  show_tree "$install"
  echo "--- the runtime now holds: $(cat "$install/_internal/python312.dll")"
  [ -e "$stage" ] && echo "--- staging folder still there" || echo "--- staging folder removed"
  echo "--- what the application recorded: its first run, then the restart by the updater"
  cat "$install/standin-record.txt" 2>/dev/null || echo "    (not restarted)"
}

demo_uninstall() {
  local mode="$1" flag="$2"
  echo
  echo "=== Silent uninstall, $mode mode ==="
  local base="$DEMO/uninstall-$mode"   # a fresh copy, and a setup log of this run only
  local install="$base/Tavrio"
  make_scene "$base" uninstall
  local temp="$base/temp" data="$base/local" profile="$base/profile" roaming="$base/roaming"
  # Wine takes these from its own profile, so a small launcher hands them to the uninstaller.
  run "$BIN/env_launcher.exe" "TMP=$(win "$temp")" "TEMP=$(win "$temp")" \
    "LOCALAPPDATA=$(win "$data")" "USERPROFILE=$(win "$profile")" "APPDATA=$(win "$roaming")" \
    -- "$(win "$install/卸载.exe")" --silent $flag
  for _ in $(seq 1 100); do
    grep -q -e '已全部删除' -e '其他文件已保留' -e '本地资料保留' "$temp/tavrio_setup.log" 2>/dev/null &&
      break
    sleep 0.2
  done
  show_uninstall_outcome "$temp" "$install" "$data"
  echo "--- shortcuts afterwards"
  local left
  left=$(find "$profile" "$roaming" -name '*.lnk' | sed "s|^$base/|    |")
  echo "${left:-    (removed)}"
}

# The uninstall window on a sample installation, on a Wine virtual desktop: it draws the frame
# and caption whether or not the display has a window manager. The temporary, local data,
# profile and roaming folders stay inside the demo folder, as in the silent runs.
demo_window() {
  echo
  echo "=== The uninstall window ==="
  local base="$DEMO/window" install="$DEMO/window/Tavrio"
  make_scene "$base" uninstall
  local temp="$base/temp" data="$base/local"
  run "$BIN/env_launcher.exe" "TMP=$(win "$temp")" "TEMP=$(win "$temp")" \
    "LOCALAPPDATA=$(win "$data")" "USERPROFILE=$(win "$base/profile")" \
    "APPDATA=$(win "$base/roaming")" -- 'C:\windows\explorer.exe' "/desktop=TavrioDemo,800x600" \
    "$(win "$install/卸载.exe")" &
  local window_job=$!
  sleep 4
  if command -v import >/dev/null && import -window root "$DEMO/window.png" 2>/dev/null; then
    echo "screenshot: $DEMO/window.png"
  fi
  if [[ "${XAUTHORITY:-}" == */xvfb-run.* ]]; then
    # Nobody can press a button on a virtual X server: close the window as its close box would.
    echo "(under xvfb-run: the demo closes the window itself)"
    run 'C:\windows\explorer.exe' /desktop=TavrioDemo taskkill /IM 卸载.exe >/dev/null 2>&1 || true
  else
    echo "Press 卸载 (keep or delete the local data), or 取消 to keep the sample installation."
  fi
  wait "$window_job" || true
  for _ in $(seq 1 100); do
    [ -s "$temp/tavrio_setup.log" ] || break   # nothing started: nothing to wait for
    grep -q -e '已全部删除' -e '其他文件已保留' -e '本地资料保留' -e '卸载失败' \
      "$temp/tavrio_setup.log" && break
    sleep 0.2
  done
  show_uninstall_outcome "$temp" "$install" "$data"
}

mkdir -p "$DEMO"
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
demo_update
if [ -f "$BIN/uninstall.exe" ]; then
  demo_uninstall keep ""
  demo_uninstall all --delete-data
fi
if [ "${1:-}" = "--window" ] && [ -f "$BIN/uninstall.exe" ]; then
  demo_window
fi
