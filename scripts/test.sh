#!/usr/bin/env bash
# Builds vorel and runs every test.  With no argument: the Release build with
# all tests (and the consumer examples against the installed tree, and one
# pass of every benchmark at its smallest size), the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, the threaded tests under
# ThreadSanitizer, the cross build for 32-bit big-endian PowerPC run under
# qemu-ppc, the formatting check, and a bounded run of every fuzz target.
# Some legs alone: scripts/test.sh release|sanitize|tsan|ppc|format|fuzz
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${VOREL_JOBS:-2}
legs=("$@")
((${#legs[@]})) || legs=(release sanitize tsan ppc format fuzz)
for leg in "${legs[@]}"; do
  if [[ $leg == ppc ]]; then export VOREL_WITH_PPC=1; fi
  if [[ $leg == fuzz ]]; then export VOREL_WITH_FUZZ=1; fi
done
scripts/setup.sh

leg_release() {
  cmake -S "$root" -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/release -j"$jobs"
  # The library's soname, and its dynamic symbols against the export list of
  # src/vorel.map (the one place that lists them): another soname, or a
  # symbol exported by mistake or lost from the build, fails the leg.
  local lib=build/release/libvorel.so soname expected actual
  soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
  if [[ $soname != libvorel.so.1.0 ]]; then
    echo "libvorel soname is '$soname', expected libvorel.so.1.0" >&2
    return 1
  fi
  expected=$(sed -n '/global:/,/local:/p' src/vorel.map | sed 's/global://; s/local:.*//' |
    tr -s '[:space:];' '\n' | sed '/^$/d' | sort)
  actual=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort)
  if [[ $expected != "$actual" ]]; then
    echo "libvorel exports differ from src/vorel.map (< listed, > exported):" >&2
    diff <(echo "$expected") <(echo "$actual") >&2 || true
    return 1
  fi
  echo "library boundary: soname $soname, $(wc -l <<<"$actual") exported symbols as listed"
  ctest --test-dir build/release -j"$jobs" --output-on-failure
  # Every benchmark once at its smallest size: no timing assertions, but an
  # operation that fails or a message that does not arrive fails the step.
  local b out
  for b in store notify; do
    out=$(build/release/bench/vorel_bench_$b --benchmark_filter='/1000/|latency' --benchmark_min_time=0.01 2>&1)
    if grep -q "ERROR OCCURRED" <<<"$out"; then
      echo "$out"
      return 1
    fi
    echo "benchmark smoke: vorel_bench_$b ran"
  done
  # The installed tree serves programs built outside the project.
  rm -rf build/install
  cmake --install build/release --prefix "$root/build/install" >/dev/null
  cmake -S examples/consumer -B build/consumer -DCMAKE_PREFIX_PATH="$root/build/install" >/dev/null
  cmake --build build/consumer -j"$jobs"
  # The consumers found the library through the development link and need it
  # by its soname.
  if [[ $(readelf -d build/consumer/consumer_c) != *"Shared library: [libvorel.so.1.0]"* ]]; then
    echo "consumer_c does not need libvorel.so.1.0" >&2
    return 1
  fi
  local run_dir
  run_dir=$(mktemp -d)
  for prog in consumer_c consumer_cpp; do
    VOREL_RUN_DIR=$run_dir LD_LIBRARY_PATH="$root/build/install/lib" "build/consumer/$prog"
  done
  rm -rf "$run_dir"
}

leg_sanitize() {
  cmake -S "$root" -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DVOREL_SANITIZE=ON -DVOREL_BENCH=OFF >/dev/null
  cmake --build build/sanitize -j"$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/sanitize -j"$jobs" --output-on-failure
}

leg_tsan() {
  cmake -S "$root" -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-fsanitize=thread \
    -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread \
    -DVOREL_BENCH=OFF -DVOREL_TOOLS=OFF >/dev/null
  local threaded=(test_platform test_e2e test_crash test_load test_backpressure test_trace_ring)
  cmake --build build/tsan -j"$jobs" --target "${threaded[@]}"
  # std::timed_mutex's timed lock is pthread_mutex_clocklock, which this
  # compiler's ThreadSanitizer does not intercept: its unlock looks unpaired.
  printf 'mutex:send_one_way\nmutex:send_reply\n' >build/tsan/tsan.supp
  TSAN_OPTIONS="halt_on_error=1 suppressions=$root/build/tsan/tsan.supp" \
    ctest --test-dir build/tsan -j"$jobs" -R "^($(IFS='|'; echo "${threaded[*]}"))\$" --output-on-failure
}

leg_fuzz() {
  VOREL_FUZZ_SECONDS=${VOREL_FUZZ_SECONDS:-60} VOREL_FUZZ_JOBS="$jobs" scripts/fuzz.sh
}

leg_ppc() {
  cmake -S "$root" -B build/ppc -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/ppc-linux-gnu.cmake" -DVOREL_BENCH=OFF -DVOREL_TOOLS=OFF >/dev/null
  cmake --build build/ppc -j"$jobs"
  VOREL_SLOW_TARGET=1 ctest --test-dir build/ppc -j"$jobs" --output-on-failure
}

leg_format() {
  local files
  files=$(git ls-files '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
  # shellcheck disable=SC2086
  clang-format --dry-run --Werror $files
  echo "format: $(echo "$files" | wc -l) files clean"
}

for leg in "${legs[@]}"; do
  start=$SECONDS
  echo "=== leg: $leg"
  "leg_$leg"
  echo "=== leg $leg passed in $((SECONDS - start)) s"
done
