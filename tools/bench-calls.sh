#!/usr/bin/env bash
# Benchmark: the requests the run loop makes of the wineserver, against the plain system calls
# doing the same work. Under Wine every call into the system that the Unix side cannot answer
# alone is one request (one write or writev on the request pipe), and that is what a run costs
# beyond a bare spawn; unlike CPU time, which Wine counts in 10 ms ticks and a shared machine
# blurs, the count hardly moves from one run to the next. strace counts the write and writev
# calls of the benchmark's main thread (where Wine runs the program's own thread, which does all
# the work here; the children are not counted), RUNS runs of each work.
#   silent child: a bare CreateProcess with one anonymous pipe and a wait, ExecuteAndDrain, and
#                 ExecuteAndDrain with a time limit (the child in a job); both again as a script
#                 runner makes them, kept in the record of runs under way (the thread that
#                 records what a job announces is not counted)
#   16 MiB in 64 KiB writes, 4 MiB in 512-byte writes: the blocking 64 KiB loop throwing the
#                 bytes away, and ExecuteAndDrain
# Usage: tools/bench-calls.sh [RUNS]   (default 20; the two with output run RUNS/5 times)
set -euo pipefail

cd "$(dirname "$0")/.."
runs=${1:-20}
build=$PWD/build/windows
tools/setup.sh
command -v strace >/dev/null || {
  echo "Installing: strace"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends strace >/dev/null
}
cmake --preset windows >/dev/null
cmake --build --preset windows >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"; tools/testbed.sh stop' EXIT
tools/testbed.sh start
export WINEPREFIX=$build/testbed/wineprefix WINEDEBUG=-all
bench=$build/tests/bin/bench_collect.exe

# Requests of WORK run N times, less those of the benchmark starting and doing nothing.
requests() {
  strace -c -e trace=write,writev -o "$out/$1" wine "$bench" --only "$1" "$2" 2>/dev/null
  awk '$NF == "write" || $NF == "writev" { n += $4 } END { print n + 0 }' "$out/$1"
}
none=$(requests none 1)
few=$(( runs / 5 > 0 ? runs / 5 : 1 ))
declare -A count
for work in bare drain limited recorded recordedlimited; do count[$work]=$(( $(requests $work "$runs") - none )); done
for work in loop16 drain16 loop4 drain4; do count[$work]=$(( $(requests $work "$few") - none )); done

per() { awk -v a="$1" -v n="$2" 'BEGIN { printf "%.1f", a / n }'; }
echo "Requests to the wineserver of the benchmark's own thread"
echo "silent child, per run ($runs runs):"
echo "  bare CreateProcess, one pipe, wait:  $(per "${count[bare]}" "$runs")"
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo "  ExecuteAndDrain:                     $(per "${count[drain]}" "$runs")  ratio (ours / bare) $(ratio "${count[drain]}" "${count[bare]}")"
echo "  ExecuteAndDrain with a time limit:   $(per "${count[limited]}" "$runs")  ratio (ours / bare) $(ratio "${count[limited]}" "${count[bare]}")"
echo "  the same two, recorded as runs under way:"
echo "    without a limit:                   $(per "${count[recorded]}" "$runs")  ratio (ours / bare) $(ratio "${count[recorded]}" "${count[bare]}")"
echo "    with a time limit:                 $(per "${count[recordedlimited]}" "$runs")  ratio (ours / bare) $(ratio "${count[recordedlimited]}" "${count[bare]}")"
echo "16 MiB in 64 KiB writes, per run ($few runs):"
echo "  loop throwing the bytes away:        $(per "${count[loop16]}" "$few")"
echo "  ExecuteAndDrain:                     $(per "${count[drain16]}" "$few")  ratio (ours / loop) $(ratio "${count[drain16]}" "${count[loop16]}")"
echo "4 MiB in 512-byte writes, per run ($few runs):"
echo "  loop throwing the bytes away:        $(per "${count[loop4]}" "$few")"
echo "  ExecuteAndDrain:                     $(per "${count[drain4]}" "$few")  ratio (ours / loop) $(ratio "${count[drain4]}" "${count[loop4]}")"
