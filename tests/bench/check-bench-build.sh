#!/usr/bin/env bash
# Configures the release preset in a build directory of its own and builds its benchmarks, as
# bench/run does on a clean checkout: a benchmark that needs something only the test build has
# fails here instead of on the day the table is made.
#   check-bench-build.sh <cmake> <source dir> <build dir>
set -uo pipefail

cmake=$1 source_dir=$2 build_dir=$3
log=$build_dir.log

cd "$source_dir" || exit 1
if ! "$cmake" --preset release -B "$build_dir" >"$log" 2>&1; then
    tail -n 50 "$log" >&2
    echo "FAIL: configuring the release preset (full log: $log)" >&2
    exit 1
fi
if ! "$cmake" --build "$build_dir" --target benchmarks -j "$(nproc)" >"$log" 2>&1; then
    grep -E -B 2 -A 12 'error|FAILED' "$log" | head -n 120 >&2
    echo "FAIL: building the benchmarks of the release preset (full log: $log)" >&2
    exit 1
fi
echo "the release preset's benchmarks build in $build_dir"
