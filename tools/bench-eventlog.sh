#!/usr/bin/env bash
# Benchmark: how many event-log entries the running service writes, in three cases, each for a
# window of MINUTES (default 10) from the service's start:
#   missing   no qrx_proxy.exe in the service's folder (every start of the companion fails);
#   nopipe    a companion that runs and never serves its pipe (the watchdog kills it again and
#             again);
#   healthy   a companion that answers 1.
# Installs brenlow as the demo does (the stand-ins as interpreter and companion), and for each case
# starts the service, counts the entries traced from its start to the end of the window, stops it
# and counts what the stop writes. Prints, per case, the entries and entries per hour (against the
# target of at most 300 an hour for the broken cases), by level, the Warnings after the first
# minute, the companion's starts, and the entries by text (a summary of left-out entries counted
# as "N entries like ..."). It asserts nothing.
# Usage: tools/bench-eventlog.sh [MINUTES] [CASE...]
# With BRENLOW_BUILD_DIR set to a build folder made earlier (for instance a copy of an older
# build's bin/, tests/standins/ and package), that build is measured as it is, in a test bed of
# its own, without building anything.
set -euo pipefail

minutes=${1:-10}
shift || true
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(missing nopipe healthy)
cd "$(dirname "$0")/.."
. tools/install-layout.sh
lay_out_install

brenlow_pid() { bed_pid 'Tevrin Agent.brenlow\.exe'; }
# The trace from byte $1 (exclusive) to byte $2 as "level<TAB>text" lines.
entries_between() {
  tail -c +$(($1 + 1)) "$trace" | head -c $(($2 - $1)) |
    sed -n -E 's/^[0-9a-f]+:[0-9a-f]+:(trace|warn|err):eventlog:ReportEventW L"(.*)"$/\1\t\2/p' |
    sed -E 's/^trace\t/Information\t/; s/^warn\t/Warning\t/; s/^err\t/Error\t/'
}
size_of() { stat -c %s "$trace"; }
companion_starts() {
  if [ -f "$install_dir/qrx_proxy.log" ]; then grep -c '^start' "$install_dir/qrx_proxy.log" || true; else echo 0; fi
}
end_companions() { wine_quiet taskkill /im qrx_proxy.exe /f /t >/dev/null 2>&1 || true; }

run_case() {
  local name=$1
  end_companions
  rm -f "$install_dir/qrx_proxy.log"
  cp "$build/tests/standins/qrx_proxy.exe" "$install_dir/"
  case $name in
    missing) rm -f "$install_dir/qrx_proxy.exe" ;;
    nopipe) echo nopipe >"$install_dir/qrx_proxy.mode" ;;
    healthy) echo reply1 >"$install_dir/qrx_proxy.mode" ;;
    *) echo "unknown case $name" >&2; exit 2 ;;
  esac
  wine_quiet "$installed_exe" --install >/dev/null
  local from minute upto stopped entries
  from=$(size_of)
  wine_quiet sc start "$service" >/dev/null
  sleep 60
  minute=$(size_of)
  sleep $((minutes * 60 - 60))
  upto=$(size_of)
  local starts
  starts=$(companion_starts)
  wine_quiet sc stop "$service" >/dev/null || true
  for _ in $(seq 1 300); do
    brenlow_pid >/dev/null || break
    sleep 0.1
  done
  stopped=$(size_of)
  wine_quiet "$installed_exe" --uninstall >/dev/null || true
  end_companions

  entries=$(entries_between "$from" "$upto")
  local total per_hour
  total=$(printf '%s' "$entries" | grep -c . || true)
  per_hour=$((total * 60 / minutes))
  echo
  echo "== case $name: ${minutes} min from the service's start"
  printf 'entries:                      %d (%d an hour' "$total" "$per_hour"
  if [ "$name" != healthy ]; then
    printf '; %d.%02d times the target of 300)\n' $((per_hour / 300)) $((per_hour * 100 / 300 % 100))
  else
    printf ')\n'
  fi
  for level in Information Warning Error; do
    printf '  %-28s%d\n' "$level:" "$(printf '%s' "$entries" | grep -c "^$level" || true)"
  done
  printf 'Warnings after the first minute: %d\n' \
    "$(entries_between "$minute" "$upto" | grep -c '^Warning' || true)"
  printf 'companion starts:             %s\n' "$starts"
  printf 'written at the stop:          %d\n' \
    "$(entries_between "$upto" "$stopped" | grep -c . || true)"
  echo "by text (count, level, text):"
  printf '%s\n' "$entries" | grep . |
    sed -E 's/\t[0-9]+ entries like /\tN entries like /; s/ in the last [0-9]+ minutes\.$/ in the last M minutes./' |
    sort | uniq -c | sort -rn | sed 's/^/  /' || true
}

uname -n | sed 's/^/machine: /'
date -u '+date: %Y-%m-%d %H:%M UTC'
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) cores)"
for name in "${cases[@]}"; do run_case "$name"; done
echo
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
