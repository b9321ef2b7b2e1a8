#!/bin/sh
# Runs promtool with the arguments. Without it (the prometheus package,
# which make test installs), says so and exits 77, which CTest counts as a
# skipped test.
if ! command -v promtool > /dev/null 2>&1; then
    echo "promtool is missing: install the prometheus package"
    exit 77
fi
exec promtool "$@"
