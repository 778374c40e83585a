#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them all: the store's reads, load
# and memory (vorel_bench_store), the updates delivered to a watcher process
# (vorel_bench_notify) and the cost of a trace record (vorel_bench_trace),
# each against its baseline in the same run.
# Writes the Google Benchmark JSON to bench/results/ and prints the table of
# ratios against the targets; then draws bench/cost_per_op.png from it.
#
#   scripts/bench.sh                  the whole suite
#   REPEAT=3 scripts/bench.sh         each benchmark three times; the table
#                                     and the plot use the medians
#   MIN_TIME=1 scripts/bench.sh       seconds per benchmark (default 0.5)
#   VOREL_BENCH_SCALE=1 scripts/bench.sh   also the 1,000,000-device run
#   scripts/bench.sh --benchmark_filter=lookup   arguments go to both programs
#
# VOREL_BENCH_BUILD names the build directory (default build/bench).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${VOREL_BENCH_BUILD:-build/bench}
jobs=${VOREL_JOBS:-2}
repeat=${REPEAT:-1}
min_time=${MIN_TIME:-0.5}
results=$root/bench/results

VOREL_WITH_BENCH=1 scripts/setup.sh

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVOREL_BENCH=ON -DVOREL_TESTS=OFF -DVOREL_TOOLS=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target vorel_bench_store vorel_bench_notify vorel_bench_trace

mkdir -p "$results"
echo "machine: $(nproc) cores; $(uptime | sed 's/.*load/load/')"
for prog in store notify trace; do
  args=(--benchmark_min_time="$min_time" --benchmark_out="$results/$prog.json" --benchmark_out_format=json)
  if ((repeat > 1)); then
    args+=(--benchmark_repetitions="$repeat" --benchmark_report_aggregates_only=true)
  fi
  "$build/bench/vorel_bench_$prog" "${args[@]}" "$@"
done

# One row per benchmark: its median when it was repeated, else its one run.
table() {
  jq -r '
    .benchmarks
    | map(select(.counters? // . | has("ratio")))
    | map(select((.aggregate_name // "median") == "median"))
    | .[]
    | [(.run_name | sub("/manual_time$"; "") | sub("/iterations:[0-9]+"; "")),
       .ns_per_op, .base_ns_per_op, .ratio, .limit, .met]
    | @tsv' "$@"
}
echo
echo "target                             ns/op   base ns/op    ratio    limit  met"
table "$results/store.json" "$results/notify.json" "$results/trace.json" |
  awk -F'\t' '{ printf "%-28s %12.1f %12.1f %8.2f %8s  %s\n", $1, $2, $3, $4,
                 ($5 == 0 ? "-" : sprintf("%.2f", $5)), ($5 == 0 ? "-" : $6 >= 1 ? "met" : "MISSED") }'
echo "(latency_p99_us: ratio is the p99 in microseconds; memory: bytes in use / block arithmetic)"

if command -v gnuplot >/dev/null; then
  "$root/scripts/plot_bench.sh" "$root/bench/cost_per_op.png" "$results/store.json" "$results/notify.json"
  echo "plot: bench/cost_per_op.png"
fi
