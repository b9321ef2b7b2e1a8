#!/bin/sh
# Runs ctest with the given arguments in the current folder, shows its
# output, and appends "STAGE PASSED FAILED" to RESULTS, whatever the outcome.
# Usage: ctest-counts.sh RESULTS STAGE [ctest arguments...]
set -u
results=$1
stage=$2
shift 2
log=$(mktemp)
ctest "$@" 2>&1 | tee "$log"
# "100% tests passed, 0 tests failed out of 19"
line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
if [ -n "$line" ]; then
    failed=$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
    total=$(echo "$line" | sed -E 's/.* failed out of ([0-9]+).*/\1/')
    echo "$stage $((total - failed)) $failed" >> "$results"
else
    # No result line: the run itself failed.
    echo "$stage 0 1" >> "$results"
    failed=1
fi
rm -f "$log"
[ "$failed" -eq 0 ]
