#!/usr/bin/env bash
# Starts the real program under Xvfb and saves a PNG of the screen.
# Usage: scripts/screenshot.sh [output.png]   (needs a built tree: scripts/build.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-docs/window.png}"
display=:97
Xvfb $display -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $app $xvfb 2>/dev/null || true' EXIT
for _ in $(seq 100); do xdpyinfo -display $display >/dev/null 2>&1 && break; sleep 0.05; done
DISPLAY=$display "${BATMON_BUILD_DIR:-build}/app/batmon" &
app=$!
for _ in $(seq 100); do xwininfo -display $display -name "无线蓄电池监控软件 Demo1  Quorvane" >/dev/null 2>&1 && break; sleep 0.1; done
sleep 1   # let the first paint settle before the picture is taken
DISPLAY=$display import -window root "$out"
echo "$out"
