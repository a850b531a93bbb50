#!/usr/bin/env bash
# The demo: builds everything and shows the programs at work under Wine.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
tools/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows >/dev/null
trap 'tools/testbed.sh stop' EXIT
tools/testbed.sh start

export WINEPREFIX=$root/build/windows/testbed/wineprefix WINEDEBUG=-all
echo "== brenlow.exe (no command)"
wine build/windows/bin/brenlow.exe 2>/dev/null
echo "== seclister.exe"
wine build/windows/bin/seclister.exe 2>/dev/null
