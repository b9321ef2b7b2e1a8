#!/bin/sh
# Prints one line per stage and then the sum over every stage of the run:
# "N passed, N failed". A stage that left no result counts as one failure.
# Usage: test-summary.sh RESULTS STAGE...
set -u
results=$1
shift
passed=0
failed=0
for stage in "$@"; do
    line=$(grep -E "^$stage " "$results" 2>/dev/null | tail -n 1)
    if [ -z "$line" ]; then
        line="$stage 0 1"
        echo "$stage: no result (it did not run to its end)"
    fi
    set -- $line
    echo "$1: $2 passed, $3 failed"
    passed=$((passed + $2))
    failed=$((failed + $3))
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
