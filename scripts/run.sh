#!/usr/bin/env bash
# Quick start: installs what is missing, builds, starts the simulated battery bus on a
# pseudo-terminal and then the program. Without a display it runs the demo driver instead,
# which drives the real window offscreen through one poll cycle and saves a picture of it.
# It installs and builds only the window, the demo driver and the simulator; scripts/test.sh
# adds the rest to the same build tree.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh run
bin=build
programs=(batmon batmon-demo batmon-sim)
# A tree that scripts/test.sh has configured keeps its tests: only the three programs are
# brought up to date in it. A new tree is configured without tests, benchmarks and the export
# plugin, which need packages the window does not (the export then says the plugin is missing).
if ! grep -qx 'BATMON_BUILD_TESTS:BOOL=ON' "$bin/CMakeCache.txt" 2>/dev/null; then
  cmake --preset run >/dev/null
fi
cmake --build "$bin" -j "$(nproc)" --target "${programs[@]}"

# Everything of this run lives in a private directory: fixed names under /tmp could be another
# user's file or link, and the program would then talk to a bus that is not ours.
work=$(mktemp -d "${TMPDIR:-/tmp}/batmon-run.XXXXXX")
# The port name the operator types: a name under /dev when we may create one there.
if [ -w /dev ]; then link=/dev/ttyBATSIM; port=ttyBATSIM; else link=$work/ttyBATSIM; port=$link; fi
log=$work/batmon-sim.jsonl
out=$work/batmon-sim.out
"$bin/tools/batmon-sim" --link "$link" --log "$log" >"$out" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT

# The simulator prints "PORT <pseudo-terminal>" once its link is in place, or ends with the
# reason it could not make one. The link counts only while it points at that pseudo-terminal.
pty=
for _ in $(seq 200); do
  pty=$(sed -n 's/^PORT //p' "$out")
  [ -n "$pty" ] && break
  kill -0 $sim 2>/dev/null || break
  sleep 0.05
done
if [ -z "$pty" ] || [ "$(readlink "$link" 2>/dev/null)" != "$pty" ]; then
  echo "run.sh: the simulated bus could not link its port as $link:" >&2
  cat "$out" >&2
  exit 1
fi

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  cat <<MSG
Simulated bus running on $link (log: $log).
In batmon: open the page "系统设置", type  $port  into the port box, press "打开串口", then "启动监测".
MSG
  "$bin/app/batmon"
else
  png=$PWD/$bin/demo-window.png
  echo "No display: running the demo driver offscreen against the simulated bus on $link"
  "$bin/app/batmon-demo" "$link" "$png"
fi
