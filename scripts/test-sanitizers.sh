#!/usr/bin/env bash
# Builds the configuration, protocol, engine, serial, decoding, window and alarm test groups under
# ThreadSanitizer and under AddressSanitizer with UBSan, and runs them (the store, trend and
# collector groups: scripts/test.sh tsan|asan). Usage: scripts/test-sanitizers.sh [tsan|asan ...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(tsan asan)
targets=(config_tests unit_tests engine_tests serial_tests widgets_tests window_tests alarms_tests)
for preset in "${presets[@]}"; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" --target "${targets[@]}"
  ctest --preset "$preset" -j "$(nproc)" -L 'config|unit|engine|serial|widgets|window|alarms'
done
