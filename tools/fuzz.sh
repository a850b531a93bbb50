#!/usr/bin/env bash
# Fuzzes the code that needs no Windows, natively with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer: the configuration file's parser and setting lookup, the command-line
# grammar and usage text, and the command-line quoting. Each target runs SECONDS (default 60),
# one after the other, starting from its seed corpus in tests/fuzz/corpus/ (new inputs it finds
# are kept under build/fuzz/corpus/, never in the repository). A failing input is saved under
# build/fuzz/findings/ and the script exits non-zero. Usage: tools/fuzz.sh [SECONDS]
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=$root/build/fuzz
targets=(fuzz_ini:ini fuzz_command_line:command_line fuzz_quoting:quoting)

tools/setup.sh
cmake -S tests/fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" >/dev/null

mkdir -p "$build/findings"
failed=0
summary=()
for entry in "${targets[@]}"; do
  target=${entry%%:*} corpus=${entry#*:}
  work=$build/corpus/$corpus
  mkdir -p "$work"
  log=$build/$target.log
  status=ok
  # -timeout: one input taking longer than 10 s counts as a finding (a hang).
  if ! "$build/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$build/findings/$target-" "$work" "tests/fuzz/corpus/$corpus" \
    >"$log" 2>&1 </dev/null; then
    status="FINDING (see $log)"
    failed=1
    tail -n 30 "$log" >&2
  fi
  runs=$(awk -F: '/stat::number_of_executed_units/ {gsub(/ /, "", $NF); print $NF}' "$log" | tail -n 1)
  summary+=("$(printf '%-18s %6s s %12s inputs  %s' "$target" "$seconds" "${runs:-?}" "$status")")
done
printf 'fuzz: %s\n' "${summary[@]}"
exit "$failed"
