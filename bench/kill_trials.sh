#!/usr/bin/env bash
# Kills tavrio-updater.exe (kill -9 of its Wine process, a stand-in for a crash or a power cut)
# at random points of a real update of a generated 2,000-file runtime, runs it again with the
# same arguments, and counts what the second run left: broken installations (no runtime, or an
# executable and a runtime of different versions) and failure reports beside the new version.
#   bench/kill_trials.sh [trials]        (after a build; uses build/ and its Wine prefix)
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${TAVRIO_BUILD:-$ROOT/build}"
export WINEPREFIX="$BUILD/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
TRIALS="${1:-20}"
WORK="$BUILD/kill-trials"
UPDATER="$BUILD/bin/tavrio-updater.exe"
STANDIN="$BUILD/bin/standin_app.exe"

bundle() {  # folder version
  mkdir -p "$1/_internal"
  for d in $(seq 0 39); do
    mkdir -p "$1/_internal/pkg$d"
    for f in $(seq 0 49); do printf '%s %s %s\n' "$2" "$d" "$f" > "$1/_internal/pkg$d/m$f.pyc"; done
  done
  printf 'runtime %s\n' "$2" > "$1/_internal/python312.dll"
  printf 'stdlib %s\n' "$2" > "$1/_internal/base_library.zip"
  { cat "$STANDIN"; printf 'VERSION %s' "$2"; } > "$1/Tavrio.exe"
}

exe_version() { tail -c 1 "$1/Tavrio.exe" 2>/dev/null; }
runtime_version() { cut -d' ' -f2 "$1/_internal/python312.dll" 2>/dev/null; }

wineserver -p 2>/dev/null; wine cmd /c exit >/dev/null 2>&1
broken=0; false_reports=0; old=0; new=0; missed=0; at_end=0
for trial in $(seq 1 "$TRIALS"); do
  rm -rf "$WORK"; mkdir -p "$WORK"
  bundle "$WORK/inst" 1; bundle "$WORK/stage" 2
  echo '{}' > "$WORK/inst/update_pending.json"
  args=(--pid 0 --app "$(winepath -w "$WORK/inst")" --exe Tavrio.exe
        --stage "$(winepath -w "$WORK/stage")" --log "$(winepath -w "$WORK/update.log")")
  wine "$UPDATER" "${args[@]}" 2>/dev/null &
  sleep "0.$(printf '%03d' $((50 + RANDOM % 600)))"
  # Only a kill that found the updater still running is a trial; a run that had already ended
  # is no interruption (and its rerun, with the staging folder gone, rightly fails).
  if ! pkill -9 -f 'tavrio-updater.exe' 2>/dev/null; then
    wait 2>/dev/null; missed=$((missed + 1)); continue
  fi
  wait 2>/dev/null
  cp "$WORK/update.log" "$WORK/first-run.log" 2>/dev/null
  ls -a "$WORK/inst" > "$WORK/after-kill.txt" 2>/dev/null
  # Killed after its last step (the journal removed, the staging folder gone): the update was
  # complete, and a rerun only finds that nothing is staged any more.
  if [ ! -e "$WORK/inst/update.journal" ] && [ ! -e "$WORK/stage" ] &&
     ! ls "$WORK"/stage.*.trash >/dev/null 2>&1 && ! ls "$WORK"/inst/*.trash >/dev/null 2>&1; then
    at_end=$((at_end + 1)); continue
  fi
  wine "$UPDATER" "${args[@]}"
  sleep 0.3
  e=$(exe_version "$WORK/inst"); r=$(runtime_version "$WORK/inst")
  if [ -z "$r" ] || [ "$e" != "$r" ]; then
    broken=$((broken + 1)); echo "trial $trial: broken (exe $e, runtime ${r:-none})"
    [ -n "${STOP_AT_FAULT:-}" ] && exit 1
  elif [ "$r" = 2 ]; then
    new=$((new + 1))
    if [ -f "$WORK/inst/update_failed.txt" ]; then
      false_reports=$((false_reports + 1)); echo "trial $trial: new version, but a failure report"
      [ -n "${STOP_AT_FAULT:-}" ] && exit 1
    fi
  else
    old=$((old + 1))
  fi
done
echo "$((TRIALS - missed - at_end)) trials (of $TRIALS kills: $missed after the run had ended," \
  "$at_end after its last step): $new new version, $old previous version, $broken broken," \
  "$false_reports false failure reports"
