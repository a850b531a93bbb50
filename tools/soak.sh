#!/usr/bin/env bash
# Soak test: runs the installed service for MINUTES (default 10) under a seeded random plan of
# faults and checks that it neither leaks nor drifts. The companion stand-in is in turn healthy,
# answering 0, silent, never reading its pipe, serving no pipe, or killed from outside; the
# scripts are in turn chatty (2 MiB of output a run), slower than their period, failing, or
# running past the time limit of 4 s that the soak sets (ended at the limit, with a Warning).
# Every 10 s it samples brenlow.exe (handles, threads, working set, resident size) and times
# `sc query`; at the end it stops the service and prints one table. It exits non-zero when
# handles or threads grow after the first minute (the last minute's lowest count above the second
# minute's highest), the resident size grows by more than 1 MiB (medians of those minutes),
# `sc query` fails or takes more than 2 s, a script runs less than 90 % of what its period and
# run time predict, or the stop takes more than 5 s.
# The seed is printed; SOAK_SEED=<seed> replays a plan. Usage: tools/soak.sh [MINUTES] (at least 3:
# the first minute warms up, the second is the baseline and the last is compared with it).
set -euo pipefail

minutes=${1:-10}
seed=${SOAK_SEED:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}
cd "$(dirname "$0")/.."
. tools/install-layout.sh

# The layout's clean-up, with every step bounded so a wedged Wine cannot hold the run.
cleanup() {
  timeout 60 wine sc stop "$service" >/dev/null 2>&1 </dev/null || true
  timeout 60 wine "$installed_exe" --uninstall >/dev/null 2>&1 </dev/null || true
  timeout 120 tools/testbed.sh stop || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

lay_out_install
# Runs ended at the limit are part of the plan (the slow script, and the overrunning ones).
printf 'ScriptTimeLimit=4\r\n' >>"$install_dir/brenlow.ini"
rm -f "$php_dir/standin-runs.log" "$install_dir/qrx_proxy.log"
python3 tools/soak.py --minutes "$minutes" --seed "$seed" \
  --install-dir "$install_dir" --php-dir "$php_dir" --web-dir "$web_dir" --trace "$trace" \
  --exe "$installed_exe" --proc-stats "$build/tests/standins/proc_stats.exe" \
  --prefix "$WINEPREFIX"
