#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ with clang and libFuzzer
# (-fsanitize=fuzzer,address,undefined) in build/fuzz, replays each target's
# committed reproducers (fuzz/regressions/<target>/), then fuzzes each target
# for a bounded time from its seed corpus (fuzz/corpus/<target>/).  Fails on
# any crash, leak, sanitizer finding, time-out or model mismatch, and prints
# the executions of every target.
#
#   VOREL_FUZZ_SECONDS  seconds of fuzzing per target (default 60)
#   VOREL_FUZZ_JOBS     targets fuzzed at once, and build jobs (default 2)
#   VOREL_FUZZ_TARGETS  the targets to run (default: every target built)
#   VFUZZ_KNOWN_BUGS=1  step around the bugs the targets already found and
#                       that are not fixed yet; the reproducers are not replayed
#
# New corpus entries and crash inputs go to build/fuzz/runs/<target>.*; the
# committed seeds are never changed.  To keep a finding, copy its crash input
# to fuzz/regressions/<target>/ under a name that says what it shows.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${VOREL_FUZZ_SECONDS:-60}
jobs=${VOREL_FUZZ_JOBS:-2}
build=$root/build/fuzz
runs=$build/runs

cxx=""
for c in clang++-14 clang++; do
  if command -v "$c" >/dev/null; then
    cxx=$c
    break
  fi
done
if [[ -z $cxx ]]; then
  echo "fuzz: clang++-14 (with libclang-rt-14-dev for libFuzzer) is needed" >&2
  exit 1
fi

start=$SECONDS
cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$build" -j"$jobs"
echo "fuzz: targets built in $((SECONDS - start)) s"

if [[ -n ${VOREL_FUZZ_TARGETS:-} ]]; then
  read -r -a targets <<<"$VOREL_FUZZ_TARGETS"
else
  targets=()
  for src in "$root"/fuzz/fuzz_*.cpp; do # every target, as ctest replays them
    t=$(basename "$src" .cpp)
    [[ -x $build/$t ]] && targets+=("$t")
  done
fi

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
for s in llvm-symbolizer-14 llvm-symbolizer; do
  if command -v "$s" >/dev/null; then
    export ASAN_SYMBOLIZER_PATH=${ASAN_SYMBOLIZER_PATH:-$(command -v "$s")}
    break
  fi
done

rm -rf "$runs"
mkdir -p "$runs"
# Runtime directories of the targets (IPC sockets, lock and view files): short
# paths, removed at the end even when a target crashed.
run_dirs=$(mktemp -d /tmp/vorel-fuzz.XXXXXX)
trap 'rm -rf "$run_dirs"' EXIT

# One target: its reproducers, then the bounded run.  The result goes to
# <target>.rc, everything the target says to <target>.log.
run_target() {
  local t=$1 log=$runs/$1.log rc=0
  local corpus=$runs/$t.corpus artifacts=$runs/$t.artifacts/
  mkdir -p "$corpus" "$artifacts"
  export VOREL_RUN_DIR=$run_dirs/$t
  local regressions=("$root/fuzz/regressions/$t"/*)
  if [[ -z ${VFUZZ_KNOWN_BUGS:-} && -e ${regressions[0]} ]]; then
    echo "--- reproducers" >>"$log"
    "$build/$t" -timeout=20 -artifact_prefix="$artifacts" "${regressions[@]}" >>"$log" 2>&1 || rc=$?
  fi
  if ((rc == 0)); then
    echo "--- fuzzing for $seconds s" >>"$log"
    timeout --kill-after=10 $((seconds + 120)) "$build/$t" -max_total_time="$seconds" -timeout=20 \
      -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$artifacts" \
      "$corpus" "$root/fuzz/corpus/$t" >>"$log" 2>&1 || rc=$?
  fi
  echo "$rc" >"$runs/$t.rc"
}

fuzz_start=$SECONDS
running=0
for t in "${targets[@]}"; do
  if ((running >= jobs)); then
    wait -n || true
    running=$((running - 1))
  fi
  run_target "$t" &
  running=$((running + 1))
done
wait || true

failed=0
for t in "${targets[@]}"; do
  rc=$(cat "$runs/$t.rc" 2>/dev/null || echo 1)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$runs/$t.log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$runs/$t.log" | tail -1)
  added=$(sed -n 's/^stat::new_units_added: *//p' "$runs/$t.log" | tail -1)
  if [[ $rc == 0 ]]; then
    printf 'fuzz: %-17s passed  %9s executions (%s/s), %s new corpus entries\n' "$t" "${execs:-?}" "${rate:-?}" \
      "${added:-?}"
  else
    failed=$((failed + 1))
    printf 'fuzz: %-17s FAILED  (exit %s) after %s executions; log %s\n' "$t" "$rc" "${execs:-?}" "$runs/$t.log"
    grep -E 'vorel fuzz:|ERROR:|runtime error|SUMMARY|what\(\)|Test unit written|Running: ' "$runs/$t.log" |
      head -12 | sed 's/^/    /'
  fi
done
echo "fuzz: ${#targets[@]} targets, $failed failed, fuzzing took $((SECONDS - fuzz_start)) s, in all $((SECONDS - start)) s"
echo "$(( ${#targets[@]} - failed )) passed, $failed failed"
((failed == 0))
