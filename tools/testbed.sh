#!/usr/bin/env bash
# The Wine test bed that tests and the demo run in.
#   tools/testbed.sh start [BUILD_DIR]   create the prefix if needed, start a persistent
#                                        wineserver and services.exe with the event-log trace
#   tools/testbed.sh stop [BUILD_DIR]    stop the wineserver and everything running in the prefix
# BUILD_DIR defaults to build/windows. The trace goes to BUILD_DIR/testbed/eventlog-trace.log.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-$root/build/windows}
bed=$build/testbed
export WINEPREFIX=$bed/wineprefix
export WINEDEBUG=-all
trace=$bed/eventlog-trace.log
log=$bed/wine.log

start() {
  mkdir -p "$bed"
  # A server left over from an earlier run would keep services.exe without the trace.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating the Wine prefix $WINEPREFIX"
    wineboot -i >>"$log" 2>&1 </dev/null
    wineserver -w >>"$log" 2>&1 || true
  fi
  # The persistent server and the system processes it keeps hold on to the output they were
  # started with: give them files, never the caller's terminal or pipe.
  wineserver -p >>"$log" 2>&1 </dev/null

  # services.exe, and every service it starts, trace their event-log calls into the trace file.
  # The first program under the new server starts services.exe with its own environment and
  # output, so this must come before any other wine command.
  rm -rf "$bed/stderr"
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

stop() {
  [ -d "$WINEPREFIX" ] || return 0
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop [BUILD_DIR]" >&2; exit 2 ;;
esac
