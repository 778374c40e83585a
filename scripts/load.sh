#!/usr/bin/env bash
# The long load run: reader processes hammer lookups and enumerations under
# the read lock while the server replaces and removes devices as fast as it
# can; prints the operations per second of the writer and of the readers.
#
#   scripts/load.sh                 # 180 s, 3 readers
#   VOREL_LOAD_SECONDS=600 VOREL_LOAD_READERS=4 scripts/load.sh
#
# Builds the Release test program in build/load first.
set -euo pipefail
cd "$(dirname "$0")/.."
export VOREL_LOAD_SECONDS=${VOREL_LOAD_SECONDS:-180}
export VOREL_LOAD_READERS=${VOREL_LOAD_READERS:-3}
cmake -S . -B build/load -DCMAKE_BUILD_TYPE=Release -DVOREL_BENCH=OFF -DVOREL_TOOLS=OFF >/dev/null
cmake --build build/load -j"${VOREL_JOBS:-2}" --target test_load >/dev/null
rc=0
out=$(build/load/tests/test_load --gtest_brief=1 2>&1) || rc=$?
grep -E '^load:' <<<"$out" || true
((rc == 0)) || { echo "$out"; echo "load: FAILED (rc=$rc)"; }
exit "$rc"
