#!/usr/bin/env bash
# Benchmark: what the running service costs a quiet host. Installs brenlow as the demo does (the
# companion answering 1), lets the start settle, then measures for SECONDS (default 60):
#   - CPU time used by brenlow.exe's own process (user + system), and per minute;
#   - its resident memory at the start and at the end of the window (a leak shows as growth);
#   - script runs started (each is a child process; their cost is the scripts', not ours);
#   - event-log entries written (none are expected once the start has settled).
# Prints the figures; it asserts nothing. Usage: tools/bench-idle.sh [SECONDS]
set -euo pipefail

seconds=${1:-60}
cd "$(dirname "$0")/.."
. tools/install-layout.sh
lay_out_install
wine_quiet "$installed_exe" --install
wine_quiet sc start "$service" >/dev/null

# The Linux process that runs brenlow.exe under Wine.
pid=""
for _ in $(seq 1 100); do
  pid=$(pgrep -f 'Tevrin Agent.brenlow\.exe' | head -n 1 || true)
  [ -n "$pid" ] && break
  sleep 0.1
done
[ -n "$pid" ] || { echo "brenlow.exe is not running" >&2; exit 1; }

sleep 10  # past the first delays and the start race of the monitor
ticks=$(getconf CLK_TCK)
cpu() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
rss() { awk '/VmRSS/ {print $2}' "/proc/$pid/status"; }
runs() { cat "$php_dir/standin-runs.log" 2>/dev/null | grep -c '^start' || true; }
entries() { grep -cE ':(trace|warn|err):eventlog:ReportEventW' "$trace" || true; }

cpu0=$(cpu) rss0=$(rss) runs0=$(runs) entries0=$(entries)
sleep "$seconds"
cpu1=$(cpu) rss1=$(rss) runs1=$(runs) entries1=$(entries)

used_ms=$(((cpu1 - cpu0) * 1000 / ticks))
echo "window:                       ${seconds} s (after 10 s of settling)"
echo "brenlow.exe CPU time:         ${used_ms} ms ($((used_ms * 60 / seconds)) ms per minute)"
echo "brenlow.exe resident memory:  ${rss0} KiB -> ${rss1} KiB"
echo "script runs started:          $((runs1 - runs0))"
echo "event-log entries written:    $((entries1 - entries0))"
