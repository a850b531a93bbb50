#!/usr/bin/env bash
# Checks that includes go down the layers and that the manual's links lead somewhere, builds
# everything, and runs every test under Wine with each fuzz target briefly beside them. Prints how long each step took and, when a test failed, each failed
# case's own output with the test bed's trace; ends with ctest's summary.
# Works from nothing on a fresh Debian machine (as root) and again on a second run.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=$root/build/windows
began=$(date +%s)
mark=$began
splits=()
# Records how long the step that has just ended took.
step() {
  local now
  now=$(date +%s)
  splits+=("$1 $((now - mark)) s")
  mark=$now
}

tools/setup.sh
step setup

# Layers go one way: an include that goes up fails the run before anything is built; the names
# local to a file stay apart in the batches the program's units are compiled in; and every link
# between the README and the manual leads somewhere.
tools/check-layers.sh
python3 tools/check-unity-names.py
python3 tools/check-doc-links.py

# The test beds' Wine prefixes need nothing of the build: they are made meanwhile (the
# configuration names the beds). A prefix being made is let finish before the beds are stopped.
cmake --preset windows >/dev/null
mkdir -p "$build/testbed"
tools/testbed.sh prepare >"$build/testbed/prepare.log" 2>&1 &
prepare=$!
trap 'wait "$prepare" 2>/dev/null || true; tools/testbed.sh stop' EXIT

cmake --build --preset windows
step build
echo "Build took ${splits[-1]#build }."

wait "$prepare" || { cat "$build/testbed/prepare.log" >&2; exit 1; }
tools/testbed.sh start-all
step "test bed"
echo "Test bed ready after $((mark - began)) s in all; running the tests."

# The native fuzz targets, briefly each, beside the tests: a smoke test of the targets and their
# seed corpus (the long runs are tools/fuzz.sh's own). The tests mostly wait on Wine, and a fuzz
# target keeps one core busy.
fuzz_log=$build/testbed/fuzz.log
(
  started=$(date +%s)
  status=0
  tools/fuzz.sh "${BRENLOW_FUZZ_SECONDS:-5}" >"$fuzz_log" 2>&1 || status=$?
  echo "fuzz took $(($(date +%s) - started)) s" >>"$fuzz_log"
  exit "$status"
) &
fuzz=$!

log=$build/testbed/ctest.log
status=0
# ctest rewrites the list of failed cases only when a case fails: no list from an earlier run.
rm -f "$build/Testing/Temporary/LastTestsFailed.log"
ctest --preset windows 2>&1 | tee "$log" || status=$?
step tests
fuzzed=0
wait "$fuzz" || fuzzed=$?
splits+=("$(tail -n 1 "$fuzz_log" | sed 's/ took//') (beside the tests)")

times=$(printf '%s, ' "${splits[@]}")
echo
echo "Times: ${times%, }; $(($(date +%s) - began)) s in all."
# The fuzz targets' summary, and what a target that found something printed.
grep -v '^fuzz took' "$fuzz_log" | tail -n "$([ "$fuzzed" -eq 0 ] && echo 3 || echo 60)"
if [ "$status" -ne 0 ]; then
  # The failed cases' own output, each with the test bed's trace while it ran, near the end of
  # the log where a reader of a red run looks first.
  tools/test-failures.sh "$build"
fi
# The run ends with ctest's summary, as ctest printed it above.
echo
sed -n '/tests passed, /,$p' "$log"
[ "$status" -ne 0 ] || status=$fuzzed
exit "$status"
