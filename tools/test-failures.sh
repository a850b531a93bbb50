#!/usr/bin/env bash
# Prints the output of each case that failed in ctest's last run, so that a failure can be read
# without running the tests again: the names come from LastTestsFailed.log, the output from
# LastTest.log (both in Testing/Temporary/ of the build folder).
# Usage: tools/test-failures.sh BUILD_DIR
set -euo pipefail
dir=${1:?usage: $0 BUILD_DIR}/Testing/Temporary
[ -s "$dir/LastTestsFailed.log" ] || exit 0
awk -F: 'NR == FNR { failed[substr($0, index($0, ":") + 1)] = 1; next }
  function flush() {
    if (name in failed) {
      print ""
      print "======== failed: " name " ========"
      skipped = n > 400 ? n - 400 : 0
      if (skipped > 0) print "(the first " skipped " lines of its output left out)"
      for (i = skipped + 1; i <= n; i++) print lines[i]
    }
    n = 0; inside = 0; name = ""
  }
  /^[0-9]+\/[0-9]+ Testing: / { flush(); name = $0; sub(/^[0-9]+\/[0-9]+ Testing: /, "", name); next }
  /^Output:$/ { inside = 1; getline; next }  # and the line of dashes under it
  /^<end of output>$/ { inside = 0; next }
  inside { lines[++n] = $0 }
  END { flush() }
' "$dir/LastTestsFailed.log" "$dir/LastTest.log"
