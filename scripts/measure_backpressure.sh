#!/usr/bin/env bash
# Measures what a stopped watcher costs the server:
#   0. `vorel load --type 0` of a generated fabric with a live watcher;
#   1./2. the same load with a live, then a stopped (SIGSTOP) watcher, with
#      another client's `vorel count` and `vorel add` run one after the other
#      beside it: their latencies (p50/p99/max, process start included)
#      while the load runs and after it returned;
#   3. a watcher cut off past a small output limit: its standard error, its
#      exit code and the server's statistics.
# Every step has a fresh server.  The figures include the machine's own load
# (`uptime` is printed first).
# Usage: [SKIP_CUTOFF=1] scripts/measure_backpressure.sh [path/to/vorel] [devices]
# Prints one line per figure.  Uses a private runtime directory and switch
# instance VOREL_SWITCH (default 53).
set -euo pipefail

VOREL=${1:-build/rel/tools/vorel}
DEVICES=${2:-20000}
VOREL=$(realpath "$VOREL")
SW=${VOREL_SWITCH:-53}
export VOREL_RUN_DIR
VOREL_RUN_DIR=$(mktemp -d)
cd "$VOREL_RUN_DIR"
PIDS=()
cleanup() {
    for p in "${PIDS[@]}"; do kill -CONT "$p" 2>/dev/null || true; kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$VOREL_RUN_DIR"
}
trap cleanup EXIT

uptime
"$VOREL" gen --devices "$DEVICES" --domains 32 > f.json

now() { date +%s.%N; }
start_server() {
    "$VOREL" serve --switch "$SW" > serve.log 2>&1 &
    SERVER=$!
    PIDS+=("$SERVER")
    for _ in $(seq 100); do "$VOREL" count --switch "$SW" > /dev/null 2>&1 && return; sleep 0.1; done
    echo "server did not start" >&2
    exit 1
}
stop_server() { kill "$SERVER"; wait "$SERVER" 2>/dev/null || true; }
start_watcher() {
    "$VOREL" watch --switch "$SW" > watch.out 2> watch.err &
    WATCHER=$!
    PIDS+=("$WATCHER")
    for _ in $(seq 100); do grep -q registered watch.err 2>/dev/null && return; sleep 0.1; done
}
percentiles() { # name, then one latency per line on stdin (seconds)
    sort -g | awk -v name="$1" '{ v[NR] = $1 } END {
        p50 = v[int(NR * 0.50 + 0.5)]; p99 = v[int(NR * 0.99 + 0.5)]; if (p99 == "") p99 = v[NR]
        printf "%s: n=%d p50=%.0f ms p99=%.0f ms max=%.0f ms\n", name, NR, p50 * 1000, p99 * 1000, v[NR] * 1000 }'
}

# Runs the load in the background, and `vorel count` and `vorel add` one
# after the other until it ends and then 20 times more; each latency goes to
# <phase>.count.lat / <phase>.add.lat, phase "during" (the load still runs)
# or "after" (it returned; a stopped watcher's backlog still waits).
load_and_probe() {
    : > during.count.lat; : > during.add.lat; : > after.count.lat; : > after.add.lat; : > failed
    ( s=$(now); "$VOREL" load --switch "$SW" --type 0 f.json > /dev/null; e=$(now); echo "$e - $s" | bc > load.time ) &
    local loader=$! i=0 after=0 phase a b
    while [ "$after" -lt 20 ]; do
        phase=during
        if ! kill -0 "$loader" 2>/dev/null; then phase=after; after=$((after + 1)); fi
        a=$(now); "$VOREL" count --switch "$SW" > /dev/null 2>&1 || echo "count $phase" >> failed; b=$(now)
        echo "$b - $a" | bc >> "$phase.count.lat"
        a=$(now)
        "$VOREL" add --switch "$SW" "$(printf '0x%06x' $((0xE00000 + i)))" > /dev/null 2>&1 || echo "add $phase" >> failed
        b=$(now)
        echo "$b - $a" | bc >> "$phase.add.lat"
        i=$((i + 1))
    done
    wait "$loader"
}
report() { # label
    echo "$1: load $(cat load.time) s"
    for p in during after; do
        for op in count add; do
            [ -s "$p.$op.lat" ] && percentiles "    $op $p the load" < "$p.$op.lat"
        done
    done
    echo "    failed (time-out or error): $(sort failed | uniq -c | tr '\n' ' ')"
    return 0
}

# 0. the load alone, nothing beside it
start_server
start_watcher
t0=$(now)
"$VOREL" load --switch "$SW" --type 0 f.json > /dev/null
t1=$(now)
echo "load alone, live watcher: $(echo "$t1 - $t0" | bc) s"
kill "$WATCHER"; wait "$WATCHER" 2>/dev/null || true
stop_server

# 1. live watcher, count and add beside the load
start_server
start_watcher
load_and_probe
report "live watcher"
kill "$WATCHER"; wait "$WATCHER" 2>/dev/null || true
stop_server

# 2. stopped watcher, count and add beside the load
start_server
start_watcher
kill -STOP "$WATCHER"
load_and_probe
report "stopped watcher"
"$VOREL" stats --switch "$SW" | grep -E "client type|IPC limits"
kill -CONT "$WATCHER"
sleep 1
"$VOREL" stats --switch "$SW" | grep -E "client type"
kill "$WATCHER"; wait "$WATCHER" 2>/dev/null || true
stop_server

# 3. (skipped with SKIP_CUTOFF=1, e.g. for a build without output limits)
[ "${SKIP_CUTOFF:-0}" = 1 ] && exit 0
# a watcher cut off past a 1 MiB output limit (the send waits the library's 30 s for room)
VOREL_IPC_OUTBUF=1M start_server
start_watcher
kill -STOP "$WATCHER"
"$VOREL" load --switch "$SW" --type 0 f.json > /dev/null
for d in 1 2 3; do "$VOREL" load --switch "$SW" --type 0 f.json > /dev/null 2>&1 || true; done
"$VOREL" stats --switch "$SW" | grep -E "client type"
kill -CONT "$WATCHER"
rc=0
wait "$WATCHER" || rc=$?
echo "cut-off watcher: exit code $rc, standard error:"
sed 's/^/    /' watch.err
stop_server
