#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Usage: scripts/test.sh [preset]
# Presets: default (normal build), tsan (ThreadSanitizer), asan (AddressSanitizer + UBSan).
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
scripts/install-deps.sh
scripts/build.sh "$preset"
ctest --preset "$preset" -j "$(nproc)" ${BATMON_CTEST_ARGS:-}
