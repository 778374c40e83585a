#!/usr/bin/env bash
# Instruction counts per operation under callgrind, from bench/profile_ops.cpp:
# the store's side of each operation (no IPC send), at each size, with the
# functions that cost the most in an update and in a removal + re-addition.
#
#   bench/profile.sh [devices...]        default: 1000 10000 100000
#
# Uses the build directory of scripts/bench.sh (VOREL_BENCH_BUILD, default
# build/bench), building vorel_profile_ops there first.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VOREL_BENCH_BUILD:-build/bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVOREL_BENCH=ON -DVOREL_TESTS=OFF -DVOREL_TOOLS=OFF >/dev/null
cmake --build "$build" -j"${VOREL_JOBS:-2}" --target vorel_profile_ops >/dev/null
sizes=("$@")
((${#sizes[@]})) || sizes=(1000 10000 100000)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
ops=2000
for n in "${sizes[@]}"; do
  valgrind --tool=callgrind --toggle-collect='vbench_profile_*' --callgrind-out-file="$out/cg.$n" \
    "$build/bench/vorel_profile_ops" "$n" >/dev/null 2>&1
  echo "== $n devices: instructions per operation (store side, no IPC send)"
  callgrind_annotate --inclusive=yes --threshold=100 "$out/cg.$n" 2>/dev/null | grep -E 'vbench_profile_' |
    awk -v n="$n" -v ops="$ops" '{
      gsub(",", "", $1); match($0, /vbench_profile_[a-z_]+/); name = substr($0, RSTART + 15, RLENGTH - 15)
      per = (name == "load" || name == "map_load" || name == "enumerate") ? n : ops
      unit = (per == n) ? "per device" : "per operation"
      printf "  %-14s %10.0f %s\n", name, $1 / per, unit }'
done
n=${sizes[-1]}
valgrind --tool=callgrind --toggle-collect='vbench_profile_update' --toggle-collect='vbench_profile_remove_readd' \
  --callgrind-out-file="$out/cg.updates" "$build/bench/vorel_profile_ops" "$n" >/dev/null 2>&1
echo "== $n devices: where updates and removals + re-additions spend their instructions (self cost, per operation)"
callgrind_annotate "$out/cg.updates" 2>/dev/null | grep -E '^ *[0-9,]+ +\( *[0-9.]+%\) ' | grep -v TOTALS | head -20 |
  sed -E 's|^ *([0-9,]+) +\( *[0-9.]+%\) +(\?\?\?:\|\./[^ ]*:)?|\1 |; s| \[.*||' |
  awk -v ops="$((2 * ops))" '{ c = $1; gsub(",", "", c); $1 = ""; printf "  %7.0f %s\n", c / ops, substr($0, 1, 100) }'
