#!/bin/bash
# Builds the secure channel benchmark (Release, in build-bench) and runs it.
# In-process: no socket, no network.
#
#   bash bench/secure/run.sh [rounds]   # default 5
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build=${MUDP_BENCH_BUILD:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target mudp_bench_secure >/dev/null
timeout 600 "$build/bench/secure/mudp_bench_secure" "${1:-5}"
