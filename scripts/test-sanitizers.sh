#!/usr/bin/env bash
# Builds the worker, configuration, battery, protocol, display, engine, serial, widget, window,
# alarm, notification, store and station test groups under ThreadSanitizer and under
# AddressSanitizer with UBSan, and runs
# them (everything else: scripts/test.sh tsan|asan).
# Usage: scripts/test-sanitizers.sh [tsan|asan ...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(tsan asan)
targets=(threads_tests config_tests battery_tests protocol_tests display_tests engine_tests
  serial_tests widgets_tests widgets_guard_tests window_tests alarms_tests notify_tests
  delivery_tests store_tests station_tests)
for preset in "${presets[@]}"; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" --target "${targets[@]}"
  ctest --preset "$preset" -j "$(nproc)" \
    -L '^(threads|config|battery|protocol|display|engine|serial|widgets|app|alarms|notify|store|station)$'
done
