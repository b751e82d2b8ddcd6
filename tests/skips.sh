#!/usr/bin/env bash
# Prints one "SKIP: suite: test(row) reason" line for each Qt Test function that
# skipped in the last ctest run of the build folder $1: CTest counts such a
# suite as passed, so a green run says here what it did not test.
set -euo pipefail
log="$1/Testing/Temporary/LastTest.log"
[ -f "$log" ] || exit 0
tr -d '\r' <"$log" | awk '
    /^[0-9]+\/[0-9]+ Testing: / { suite = $3 }
    /^SKIP   : / { sub(/^SKIP   : /, ""); print "SKIP: " suite ": " $0 }'
