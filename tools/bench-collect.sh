#!/usr/bin/env bash
# Benchmark: how fast ExecuteAndCollect takes a child's output, against the same child read by
# a plain blocking 64 KiB ReadFile loop (the pipe's practical limit), in one process under the
# test bed's Wine: 16 MiB in 64 KiB writes, 4 MiB in 512-byte writes, and a child that writes
# nothing (spawn to return); for the first two also ExecuteAndDrain against the loop that throws
# the bytes away; and the parent's CPU time per run of a child that writes nothing, against a
# bare CreateProcess with one pipe and a wait. Prints the figures, the wake-ups per MiB and each
# ratio; asserts nothing. With --loaded, one core is kept busy by another process meanwhile, as
# on a host that has work of its own.
# Usage: tools/bench-collect.sh [--loaded] [RUNS_AB] [RUNS_C] [RUNS_D]   (defaults 7, 40 and 200)
set -euo pipefail

cd "$(dirname "$0")/.."
loaded=false
if [ "${1:-}" = --loaded ]; then
  loaded=true
  shift
fi
build=$PWD/build/windows
tools/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows >/dev/null
busy=
trap '[ -z "$busy" ] || kill "$busy"; tools/testbed.sh stop' EXIT
tools/testbed.sh start
if $loaded; then
  sh -c 'while :; do :; done' &
  busy=$!
  echo "one core kept busy by process $busy"
fi
"$build/wine-run" "$build/tests/bin/bench_collect.exe" "$@" 2>/dev/null
