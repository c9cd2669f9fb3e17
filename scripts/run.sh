#!/usr/bin/env bash
# Quick start: installs what is missing, builds, starts the simulated battery bus on a
# pseudo-terminal and then the program. Without a display it runs the demo driver instead,
# which drives the real window offscreen through one poll cycle and saves a picture of it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh default
bin=build

# The port name the operator types: a name under /dev when we may create one there.
if [ -w /dev ]; then link=/dev/ttyBATSIM; port=ttyBATSIM; else link=/tmp/ttyBATSIM; port=/tmp/ttyBATSIM; fi
log=$(mktemp /tmp/batmon-sim-XXXXXX.jsonl)
"$bin/tools/batmon-sim" --link "$link" --log "$log" > /tmp/batmon-sim.out 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  cat <<MSG
Simulated bus running (log: $log).
In batmon: open the page "系统设置", type  $port  into the port box, press "打开串口", then "启动监测".
MSG
  "$bin/app/batmon"
else
  png=$PWD/$bin/demo-window.png
  echo "No display: running the demo driver offscreen against the simulated bus on $link"
  "$bin/app/batmon-demo" "$link" "$png"
fi
