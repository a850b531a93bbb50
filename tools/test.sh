#!/usr/bin/env bash
# Checks that includes go down the layers, builds everything, runs each fuzz target for 20 s, and runs every test under Wine; ends with
# ctest's summary.
# Works from nothing on a fresh Debian machine (as root) and again on a second run.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
began=$(date +%s)

tools/setup.sh

# Layers go one way: an include that goes up fails the run before anything is built.
tools/check-layers.sh

cmake --preset windows >/dev/null
cmake --build --preset windows
built=$(date +%s)
echo "Build took $((built - began)) s."

# The native fuzz targets, briefly each, before ctest so that its summary stays the last line.
tools/fuzz.sh 20

trap 'tools/testbed.sh stop' EXIT
tools/testbed.sh start
echo "Test bed ready after $(($(date +%s) - began)) s in all; running the tests."
ctest --preset windows
