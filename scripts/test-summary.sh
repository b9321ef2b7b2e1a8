#!/bin/sh
# Prints one line per stage and then the sum over every stage of the run:
# "N passed, N failed". A stage that left no result counts as one failure,
# and says why it did not run: what it noted ("STAGE not run: WHY"), or the
# steps of the run that failed ("step failed: WHAT"), any of which may have
# kept it from starting.
# Usage: test-summary.sh RESULTS STAGE...
set -u
results=$1
shift
passed=0
failed=0
steps=$(sed -n 's/^step failed: //p' "$results" 2>/dev/null |
    awk '{ printf "%s%s", (NR > 1 ? ", " : ""), $0 }')
for stage in "$@"; do
    line=$(grep -E "^$stage [0-9]+ [0-9]+$" "$results" 2>/dev/null | tail -n 1)
    if [ -z "$line" ]; then
        line="$stage 0 1"
        why=$(sed -n "s/^$stage not run: //p" "$results" 2>/dev/null | tail -n 1)
        if [ -n "$why" ]; then
            echo "$stage: not run: $why"
        elif [ -n "$steps" ]; then
            echo "$stage: not run: a step before it failed ($steps)"
        else
            echo "$stage: no result (it did not run to its end)"
        fi
    fi
    # shellcheck disable=SC2086 # the line's three words
    set -- $line
    echo "$1: $2 passed, $3 failed"
    passed=$((passed + $2))
    failed=$((failed + $3))
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
