#!/usr/bin/env bash
# Configures the release preset in a build directory of its own and builds its benchmarks, as
# bench/run does on a clean checkout: a benchmark that needs something only the test build has
# fails here instead of on the day the table is made.
#   check-bench-build.sh <cmake> <source dir> <build dir>
set -uo pipefail

cmake=$1 source_dir=$2 build_dir=$3
log=$build_dir.log

cd "$source_dir" || exit 1
# Unoptimised and without -Werror: what this checks is that the preset holds everything the
# benchmarks need, which the optimiser does not change; -O3 compiles twice as long, and its
# warnings (GCC's false positives among them) would fail CI's -Werror here though they stop
# nobody's bench/run.
if ! "$cmake" --preset release -B "$build_dir" "-DCMAKE_CXX_FLAGS_RELEASE=-O0 -DNDEBUG" \
    -DBATMON_WERROR=OFF >"$log" 2>&1; then
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
