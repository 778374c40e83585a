#!/usr/bin/env bash
# Draws the cost per operation against the number of devices, log-log, for
# every operation of the benchmarks and its baseline, from their JSON output.
#
#   scripts/plot_bench.sh OUT.png RESULT.json...
#
# Uses the median of repeated runs when the JSON has one.  Needs jq and
# gnuplot (Debian package gnuplot-nox).
set -euo pipefail
out=$1
shift
data=$(mktemp)
trap 'rm -f "$data"' EXIT

# Lines "operation devices ns_per_op base_ns_per_op", one block per operation.
jq -r '
  .benchmarks
  | map(select((.ns_per_op // 0) > 0 and (.aggregate_name // "median") == "median"))
  | .[]
  | (.run_name | split("/")) as $p
  | select($p[0] != "latency")
  | [$p[0], ($p[1] | tonumber), .ns_per_op, .base_ns_per_op]
  | @tsv' "$@" |
  sort -k1,1 -k2,2n |
  awk -F'\t' 'prev != "" && $1 != prev { print ""; print "" } { print; prev = $1 }' >"$data"

ops=$(cut -f1 "$data" | grep -v '^$' | uniq | tr '\n' ' ')
plots=()
i=0
for op in $ops; do
  plots+=("'$data' index $i using 2:3 with linespoints lw 2 pt 7 lc $((i + 1)) title '$op'")
  plots+=("'' index $i using 2:4 with linespoints dt 2 pt 6 lc $((i + 1)) title '$op baseline'")
  i=$((i + 1))
done
joined=$(
  IFS=,
  echo "${plots[*]}"
)

gnuplot <<EOF
set terminal pngcairo size 1100,700 noenhanced font ",10"
set output '$out'
set title 'vorel: cost per operation against the number of devices (solid: library, dashed: its baseline)'
set logscale xy
set xrange [700:150000]
set xlabel 'devices'
set ylabel 'ns per operation (per device for enumerate and load)'
set grid xtics ytics mytics
set key outside right top
set format x '%.0s%c'
plot $joined
EOF
