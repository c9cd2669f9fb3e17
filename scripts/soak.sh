#!/usr/bin/env bash
# Fault soak: the real program, offscreen, against batmon-sim with every fault mixed (late
# answers past the pacing and stray bytes ahead of answers among them), the bus
# unplugged and replaced part-way through. Prints the run's figures and the verdict.
# Usage: scripts/soak.sh [seconds [build-dir]]
#   seconds    length of the run (default 600)
#   build-dir  build only what the soak needs in this tree instead of the default preset's
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-600}"
build_dir="${2:-}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]]; then
    echo "usage: scripts/soak.sh [seconds [build-dir]]" >&2
    exit 2
fi

# The test reads its length when it runs; ctest's time-out for it is fixed when the tree is
# configured. Both see the same value.
export BATMON_SOAK_SECONDS="$seconds"
if [[ -z "$build_dir" ]]; then
    scripts/build.sh default
    build_dir=build
else
    cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build_dir" -j "$(nproc)" --target soak_tests batmon-sim
fi

log="$(mktemp --tmpdir batmon-soak.XXXXXX.log)"
echo "soak: ${seconds} s against batmon-sim (full output: ${log})"
status=0
ctest --test-dir "$build_dir" -R '^SoakTest\.' -V >"$log" 2>&1 || status=$?
# ctest prefixes the test's own lines with its number.
output="$(sed -nE 's/^[0-9]+: //p' "$log")"
if [[ $status -eq 0 ]]; then
    grep -E '^(soak |shown:|late answers|resident:)' <<<"$output" || true
    echo "soak PASSED"
else
    grep -vE '^(Test command|Working Directory|Environment variables|Test timeout| [A-Z_]+=)' \
        <<<"$output" || tail -n 40 "$log"
    echo "soak FAILED (ctest status ${status})"
fi
exit "$status"
