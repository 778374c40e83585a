#!/usr/bin/env bash
# Builds vorel and runs every test.  With no argument: the Release build with
# all tests, then the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the cross build for 32-bit big-endian
# PowerPC run under qemu-ppc, then the formatting check.
# One leg alone: scripts/test.sh release|sanitize|ppc|format
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${VOREL_JOBS:-2}
legs=("$@")
((${#legs[@]})) || legs=(release sanitize ppc format)
for leg in "${legs[@]}"; do [[ $leg == ppc ]] && export VOREL_WITH_PPC=1; done
scripts/setup.sh

leg_release() {
  cmake -S "$root" -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/release -j"$jobs"
  ctest --test-dir build/release -j"$jobs" --output-on-failure
  # The installed tree serves programs built outside the project.
  rm -rf build/install
  cmake --install build/release --prefix "$root/build/install" >/dev/null
  cmake -S examples/consumer -B build/consumer -DCMAKE_PREFIX_PATH="$root/build/install" >/dev/null
  cmake --build build/consumer -j"$jobs"
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
