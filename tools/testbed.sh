#!/usr/bin/env bash
# The Wine test beds that tests and the demo run in. Each bed is a Wine prefix of its own, with its
# own wineserver, service manager, registry and process list, so that tests that install the
# service or start companions can run side by side in different beds. The build's wine-run* files
# name the beds (wine-run is bed 1, wine-run2 bed 2, ...); the demo and the benchmarks use bed 1.
#   tools/testbed.sh prepare [BUILD_DIR]    create every bed's prefix if needed (nothing is left
#                                           running); later beds are copies of bed 1's
#   tools/testbed.sh start [BUILD_DIR]      start bed 1: a persistent wineserver and services.exe
#                                           with the event-log trace
#   tools/testbed.sh start-all [BUILD_DIR]  start every bed
#   tools/testbed.sh stop [BUILD_DIR]       stop every bed's wineserver and all that runs in it
# BUILD_DIR defaults to build/windows. Bed N keeps its files in BUILD_DIR/testbed (bed 1) or
# BUILD_DIR/testbedN, its trace in eventlog-trace.log there.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-$root/build/windows}
export WINEDEBUG=-all

bed_dir() { if [ "$1" -eq 1 ]; then echo "$build/testbed"; else echo "$build/testbed$1"; fi; }

# The beds the build's tests use: one per wine-run* file, at least one.
beds() {
  local count
  count=$(find "$build" -maxdepth 1 -name 'wine-run*' 2>/dev/null | wc -l)
  seq 1 $((count > 0 ? count : 1))
}

# Makes bed $1's prefix if there is none yet: bed 1 with wineboot, any other as a copy of bed 1's
# (a copy takes a moment, a new prefix several seconds of both cores).
prepare_bed() {
  local bed dir first
  bed=$1 dir=$(bed_dir "$1") first=$(bed_dir 1)/wineprefix
  mkdir -p "$dir"
  [ -f "$dir/wineprefix/system.reg" ] && return 0
  if [ "$bed" -eq 1 ]; then
    # Made aside and moved into place once whole: a prefix whose making was cut short is never
    # taken for a made one.
    echo "Creating the Wine prefix $dir/wineprefix"
    rm -rf "$dir/wineprefix.new"
    WINEPREFIX=$dir/wineprefix.new wineboot -i >>"$dir/wine.log" 2>&1 </dev/null
    WINEPREFIX=$dir/wineprefix.new wineserver -w >>"$dir/wine.log" 2>&1 || true
    rm -rf "$dir/wineprefix"
    mv "$dir/wineprefix.new" "$dir/wineprefix"
  else
    rm -rf "$dir/wineprefix"
    cp -a "$first" "$dir/wineprefix"
  fi
}

start_bed() {
  local dir=$(bed_dir "$1")
  export WINEPREFIX=$dir/wineprefix
  local trace=$dir/eventlog-trace.log log=$dir/wine.log
  # A server left over from an earlier run would keep services.exe without the trace.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  prepare_bed 1
  prepare_bed "$1"
  # The persistent server and the system processes it keeps hold on to the output they were
  # started with: give them files, never the caller's terminal or pipe.
  wineserver -p >>"$log" 2>&1 </dev/null

  # services.exe, and every service it starts, trace their event-log calls into the trace file.
  # The first program under the new server starts services.exe with its own environment and
  # output, so this must come before any other wine command.
  rm -rf "$dir/stderr"
  touch "$trace"
  WINEDEBUG=-all,+eventlog,fixme+advapi,+pid wineboot >>"$trace" 2>&1 </dev/null

  # A new prefix of Debian's Wine 8 plays Windows 7 (build 7601), which the package refuses: the
  # test bed plays Windows 10, the oldest the product supports.
  wine winecfg /v win10 >>"$log" 2>&1 </dev/null

  # Wine's own taskkill does not know /t; ours does. Make the prefix prefer the native copy.
  local taskkill=$build/tests/standins/taskkill.exe
  if [ -f "$taskkill" ]; then
    cp "$taskkill" "$WINEPREFIX/drive_c/windows/system32/taskkill.exe"
    wine reg add 'HKCU\Software\Wine\DllOverrides' /v taskkill.exe /t REG_SZ /d native /f \
      >>"$log" 2>&1 </dev/null
  fi
}

stop_bed() {
  local dir=$(bed_dir "$1")
  [ -d "$dir/wineprefix" ] || return 0
  WINEPREFIX=$dir/wineprefix wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX=$dir/wineprefix wineserver -w >/dev/null 2>&1 || true
}

case "${1:-}" in
  prepare) for bed in $(beds); do prepare_bed "$bed"; done ;;
  start) start_bed 1 ;;
  # Side by side: each bed's start mostly waits for its own wineserver.
  start-all)
    for bed in $(beds); do prepare_bed "$bed"; done
    pids=()
    for bed in $(beds); do
      start_bed "$bed" &
      pids+=($!)
    done
    # Every start is waited for, also after one has failed, so that none outlives a stop.
    failed=0
    for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
    exit "$failed"
    ;;
  stop) for bed in $(beds); do stop_bed "$bed"; done ;;
  *) echo "usage: $0 prepare|start|start-all|stop [BUILD_DIR]" >&2; exit 2 ;;
esac
