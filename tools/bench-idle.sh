#!/usr/bin/env bash
# Benchmark: what the running service costs a quiet host. Installs brenlow as the demo does (the
# companion answering 1), lets the start settle, then measures for SECONDS (default 60):
#   - CPU time used by brenlow.exe's own process (user + system), and per minute;
#   - CPU time used by the wineserver of the test bed's prefix, which does the system's share of
#     every call (process list, process starts, pipes, waits) for all of the prefix's processes;
#   - brenlow.exe's resident memory at the start and at the end of the window (a leak shows as
#     growth);
#   - script runs started (each is a child process; their cost is the scripts', not ours);
#   - event-log entries written (none are expected once the start has settled; with
#     --no-scripts each 3-second script writes one Warning at its fifth failed run in a row).
# With --no-scripts, brenlow.ini names no interpreter and no web root, so no script starts: what
# is left is the service's own cost (the runners still try their empty command lines on their
# periods; those attempts fail before any process exists).
# Before the service is installed, the wineserver is measured over the same window with only
# the prefix's own system processes running: the share of its figure that is not brenlow's.
# Then, with the service stopped, it measures how soon the companion launcher starts a new
# companion after the running one has been killed (companion-restart-bench.exe).
# With --against BUILD_DIR (a build made earlier, for instance a copy of the last commit's), it
# measures that build and this one in turn, each in a test bed of its own, twice (ABAB, so that
# a machine growing busier weighs on both), without the restart measurement, and prints
# brenlow.exe's CPU time of each and their ratio.
# Prints the figures; it asserts nothing.
# Usage: tools/bench-idle.sh [--no-scripts] [--against BUILD_DIR] [SECONDS]
set -euo pipefail

scripts=yes against="" restart=yes
while [ $# -gt 0 ]; do
  case $1 in
    --no-scripts) scripts=no ;;
    --against) against=$(cd "$2" && pwd) && shift ;;
    --no-restart) restart=no ;;  # used by --against for its runs
    *) break ;;
  esac
  shift
done
seconds=${1:-60}
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
cd "$(dirname "$0")/.."

if [ -n "$against" ]; then
  # This build is measured from a copy, as the other one is: each in a bed of its own, made
  # afresh, not in the bed the tests use.
  tools/setup.sh
  cmake --preset windows >/dev/null
  cmake --build --preset windows >/dev/null
  this=$PWD/build/windows/bench-idle-this
  rm -rf "$this"
  mkdir -p "$this/tests"
  cp -r build/windows/bin "$this/"
  cp -r build/windows/tests/standins "$this/tests/"
  # The newest package only, with its time: the installer picks the newest it finds.
  cp -p "$(ls -t build/windows/TevrinAgent-*-x64.msi | head -n 1)" "$this/"
  args=(--no-restart)
  [ "$scripts" = yes ] || args+=(--no-scripts)
  # brenlow.exe's CPU time in ms over the window, from a run's output.
  cpu_ms() { sed -nE 's/^brenlow\.exe CPU time: +([0-9]+) ms.*/\1/p'; }
  total_a=0 total_b=0
  for round in 1 2; do
    echo "== round $round: $against"
    out=$(BRENLOW_BUILD_DIR=$against bash "$self" "${args[@]}" "$seconds")
    echo "$out"
    a=$(cpu_ms <<<"$out")
    echo "== round $round: this build"
    out=$(BRENLOW_BUILD_DIR=$this bash "$self" "${args[@]}" "$seconds")
    echo "$out"
    b=$(cpu_ms <<<"$out")
    total_a=$((total_a + a)) total_b=$((total_b + b))
  done
  window=$((2 * seconds))
  echo
  printf 'brenlow.exe CPU, %s:  %s ms per minute\n' "$against" $((total_a * 60 / window))
  printf 'brenlow.exe CPU, this build: %s ms per minute\n' $((total_b * 60 / window))
  [ "$total_a" -gt 0 ] && printf 'this build / the other:       %d.%02d\n' \
    $((total_b / total_a)) $((total_b * 100 / total_a % 100))
  exit 0
fi

. tools/install-layout.sh

ticks=$(getconf CLK_TCK)
cpu() { awk '{print $14 + $15}' "/proc/$1/stat"; }
server=$(bed_pid '^([^ ]*/)?wineserver(64)?( |$)') || { echo "no wineserver of this bed" >&2; exit 1; }

# The limit: the prefix's own system processes keep the wineserver busy with nothing of ours.
sleep 5
bed0=$(cpu "$server")
sleep "$seconds"
bed1=$(cpu "$server")

lay_out_install
[ "$scripts" = yes ] || printf '[General]\r\n' >"$install_dir/brenlow.ini"
wine_quiet "$installed_exe" --install
wine_quiet sc start "$service" >/dev/null
pid=""
for _ in $(seq 1 100); do
  pid=$(bed_pid 'Tevrin Agent.brenlow\.exe') && break
  sleep 0.1
done
[ -n "$pid" ] || { echo "brenlow.exe is not running" >&2; exit 1; }

sleep 10  # past the first delays and the companion's start
rss() { awk '/VmRSS/ {print $2}' "/proc/$pid/status"; }
runs() { cat "$php_dir/standin-runs.log" 2>/dev/null | grep -c '^start' || true; }
entries() { grep -cE ':(trace|warn|err):eventlog:ReportEventW' "$trace" || true; }

cpu0=$(cpu "$pid") server0=$(cpu "$server") rss0=$(rss) runs0=$(runs) entries0=$(entries)
sleep "$seconds"
cpu1=$(cpu "$pid") server1=$(cpu "$server") rss1=$(rss) runs1=$(runs) entries1=$(entries)

# CPU time in ms over the window, per minute, and as a share of one core (in hundredths of %).
report_cpu() {
  local name=$1 ms=$((($2) * 1000 / ticks))
  local share=$((ms * 10000 / (seconds * 1000)))
  printf '%-30s%s ms (%s ms per minute, %d.%02d %% of one core)\n' "$name CPU time:" "$ms" \
    "$((ms * 60 / seconds))" $((share / 100)) $((share % 100))
}
echo "scripts configured:           $scripts"
echo "window:                       ${seconds} s (after 10 s of settling; the bed alone before)"
report_cpu "brenlow.exe" "cpu1 - cpu0"
report_cpu "wineserver" "server1 - server0"
report_cpu "wineserver alone" "bed1 - bed0"
echo "brenlow.exe resident memory:  ${rss0} KiB -> ${rss1} KiB"
echo "script runs started:          $((runs1 - runs0))"
echo "event-log entries written:    $((entries1 - entries0))"

[ "$restart" = yes ] || exit 0
# The restart measurement kills companions: the service's launcher must not be there to join in.
wine_quiet sc stop "$service" >/dev/null || true
for _ in $(seq 1 100); do
  bed_pid 'Tevrin Agent.brenlow\.exe' >/dev/null || break
  sleep 0.1
done
echo
wine_quiet "$build/tests/bench/companion-restart-bench.exe" \
  "$(winepath -w "$build/tests/standins/qrx_proxy.exe")"
