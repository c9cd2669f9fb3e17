#!/usr/bin/env bash
# batmond's /metrics as Prometheus reads it: a batmond with a history store on a simulated bus,
# scraped once its first readings are in, passes `promtool check metrics` without a finding.
#   check-metrics.sh <promtool> <batmond> <batmon-sim>
set -uo pipefail

promtool=$1 batmond=$2 sim=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/batmon-metrics-test.XXXXXX") || exit 1
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT

# Runs `check` every 0.2 s until it succeeds or `seconds` have passed.
wait_for() {  # seconds, check...
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}

# The body of GET /metrics on 127.0.0.1:<port>, through bash's own TCP redirection.
scrape() {  # port
    exec 3<>"/dev/tcp/127.0.0.1/$1" || return 1
    printf 'GET /metrics HTTP/1.0\r\n\r\n' >&3
    cat <&3 | sed '1,/^\r$/d'
    exec 3<&-
}

"$sim" --tcp-listen 127.0.0.1:0 >"$work/sim.out" 2>&1 &
pids+=($!)
wait_for 10 grep -q '^PORT ' "$work/sim.out" || { cat "$work/sim.out" >&2; exit 1; }
bus=$(sed -n 's/^PORT //p' "$work/sim.out")

# A free port for /metrics: batmond exits at once when the one tried is taken.
started=
for _ in 1 2 3 4 5; do
    metrics_port=$((20000 + RANDOM % 40000))
    "$batmond" --port "$bus" --period 1 --data-dir "$work/data" \
        --metrics "127.0.0.1:$metrics_port" >"$work/batmond.log" 2>&1 &
    pid=$!
    if wait_for 10 grep -q 'batmond started' "$work/batmond.log"; then
        pids+=("$pid")
        started=1
        break
    fi
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
done
[ -n "$started" ] || { cat "$work/batmond.log" >&2; echo "FAIL: batmond did not start" >&2; exit 1; }

answered() {
    scrape "$metrics_port" >"$work/metrics.txt" 2>/dev/null &&
        grep -qE '^batmon_answers_total [1-9]' "$work/metrics.txt" &&
        grep -qE '^batmon_up 1' "$work/metrics.txt"
}
if ! wait_for 30 answered; then
    cat "$work/batmond.log" "$work/metrics.txt" >&2
    echo "FAIL: no answers in /metrics" >&2
    exit 1
fi
findings=$("$promtool" check metrics <"$work/metrics.txt" 2>&1)
status=$?
if [ "$status" -ne 0 ] || [ -n "$findings" ]; then
    echo "FAIL: promtool check metrics (status $status): $findings" >&2
    exit 1
fi
echo "promtool check metrics: no finding in $(grep -c '^batmon_' "$work/metrics.txt") samples"
