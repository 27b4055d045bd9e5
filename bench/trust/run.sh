#!/bin/bash
# Builds the trust benchmark (Release, in build-bench) and runs it in a
# network namespace of its own. Everything runs in one process over a
# simulated path; no datagram reaches a socket.
#
#   bash bench/trust/run.sh
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build=${MUDP_BENCH_BUILD:-$root/build-bench}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target mudp_bench_trust >/dev/null
timeout 600 unshare -rn "$build/bench/trust/mudp_bench_trust"
