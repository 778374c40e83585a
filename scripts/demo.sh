#!/usr/bin/env bash
# The main job: builds vorel and runs its demo (a server on the bundled
# example fabric, a watcher and a client, a scripted sequence of fabric
# changes, the decoded notifications, the final counts and a check).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j"${VOREL_JOBS:-2}" --target vorelcli >/dev/null
exec build/release/tools/vorel demo "$@"
