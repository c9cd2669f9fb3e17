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
# -detect_leaks=0: the window keeps growing its tables from input to input, so libFuzzer's
# per-input leak check would fire its whole-heap scan on almost every input. LeakSanitizer
# still checks once at exit.
QT_QPA_PLATFORM=offscreen build-fuzz/fuzz/receive_fuzzer \
  -max_total_time="$seconds" -max_len=4096 -detect_leaks=0 -print_final_stats=1 \
  -artifact_prefix="$findings/" "$@" "$corpus" fuzz/corpus/receive
