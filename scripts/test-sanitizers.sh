#!/usr/bin/env bash
# Builds the protocol, engine, serial, decoding, window, alarm, collector and service test groups under
# ThreadSanitizer and under AddressSanitizer with UBSan, and runs them. Usage: scripts/test-sanitizers.sh [tsan|asan ...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(tsan asan)
targets=(unit_tests engine_tests serial_tests widgets_tests window_tests alarms_tests collector_tests batmon-collector service_tests batmond)
for preset in "${presets[@]}"; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" --target "${targets[@]}"
  ctest --preset "$preset" -j "$(nproc)" -L 'unit|engine|serial|widgets|window|alarms|collector|service'
done
