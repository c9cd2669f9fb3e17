#!/usr/bin/env bash
# Builds the receive-path fuzzer (CMake preset "fuzz": clang, libFuzzer, ASan + UBSan) and runs
# it. Usage: scripts/fuzz.sh [seconds] [libFuzzer options...]   (default 60 seconds)
# The corpus grows in build-fuzz/corpus/receive across runs; the seeds in fuzz/corpus/receive
# are only read. A finding is written to build-fuzz/findings/ and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

corpus=build-fuzz/corpus/receive
findings=build-fuzz/findings
mkdir -p "$corpus" "$findings"
build-fuzz/fuzz/receive_fuzzer \
  -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
  -artifact_prefix="$findings/" "$@" "$corpus" fuzz/corpus/receive
