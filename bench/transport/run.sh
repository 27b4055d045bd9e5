#!/bin/bash
# Builds the transport benchmark (Release, in build-bench) and runs it in a
# network namespace of its own: a receiver on 127.0.0.3 and a sender on
# 127.0.0.2, then the in-process receive-path measurement.
#
#   bash bench/transport/run.sh [repetitions]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build=${MUDP_BENCH_BUILD:-$root/build-bench}
reps=${1:-3}

if [ -z "${MUDP_IN_NETNS:-}" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j2 --target mudp_bench_sender mudp_bench_receiver mudp_bench_receive_path >/dev/null
  MUDP_IN_NETNS=1 MUDP_BENCH_BUILD="$build" exec unshare -rn bash "$0" "$reps"
fi

ip link set lo up
ip addr add 127.0.0.2/32 dev lo
ip addr add 127.0.0.3/32 dev lo
bin="$build/bench/transport"
report="$(mktemp)"
trap 'rm -f "$report"' EXIT

timeout 600 "$bin/mudp_bench_receiver" $((3 * reps + 1)) 500 >"$report" &
receiver=$!
status=0
timeout 600 "$bin/mudp_bench_sender" "$report" "$reps" || status=$?
wait "$receiver" || status=$?
timeout 300 "$bin/mudp_bench_receive_path" || status=$?
exit $status
