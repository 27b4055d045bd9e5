#!/bin/bash
# Builds the loss benchmark (Release, in build-bench) and runs it in network
# namespaces of its own whose INPUT chain drops UDP datagrams at random
# (iptables statistic): transfers of 64 KiB, 1 MiB and 15 MiB at 0, 2, 10 and
# 30 % loss, and heartbeats of 8 clients at 2, 5 and 10 % loss meanwhile.
#
#   bash bench/loss/run.sh [tries] [heartbeat-seconds]   # defaults 5 and 600
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build=${MUDP_BENCH_BUILD:-$root/build-bench}
tries=${1:-5}
beat=${MUDP_LOSS_BEAT:-${2:-600}}
bin="$build/bench/loss/mudp_bench_loss"

# Inside a namespace: loopback with the two peer addresses and the loss rule.
lossy_loopback() {
  ip link set lo up
  ip addr add 127.0.0.2/32 dev lo
  ip addr add 127.0.0.3/32 dev lo
  if [ "$1" != 0 ]; then
    iptables -A INPUT -p udp -m statistic --mode random --probability "$(awk "BEGIN { print $1 / 100 }")" -j DROP
  fi
}

# Each role runs inside its namespace and exits there.
case "${MUDP_LOSS_ROLE:-}" in
transfer)
  lossy_loopback "$2"
  report="$(mktemp)"
  trap 'rm -f "$report"' EXIT
  timeout 1800 "$bin" receiver 1700 >"$report" &
  receiver=$!
  status=0
  timeout 1700 "$bin" sender "$report" "$2%" "$tries" 65536 1048576 15728640 || status=$?
  kill "$receiver" 2>/dev/null || true
  wait "$receiver" 2>/dev/null || true
  exit $status
  ;;
heartbeat)
  lossy_loopback "$2"
  status=0
  timeout $((beat + 300)) "$bin" heartbeat "$2%" 8 "$beat" || status=$?
  [ $status = 0 ] || echo "failed $status"
  exit 0
  ;;
esac

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target mudp_bench_loss >/dev/null
export MUDP_BENCH_BUILD="$build" MUDP_LOSS_BEAT="$beat"
beats="$(mktemp -d)"
trap 'rm -rf "$beats"' EXIT
for loss in 2 5 10; do
  MUDP_LOSS_ROLE=heartbeat unshare -rn bash "$0" "$tries" "$loss" >"$beats/$loss" 2>&1 &
done

status=0
echo "transfers: $tries tries each; times in ms from the send call to the receiver's data notification"
printf '%5s %8s %7s %7s %7s %10s %10s %11s %11s\n' loss size packets deliv acked median worst "sender dg" "receiver dg"
for loss in 0 2 10 30; do
  MUDP_LOSS_ROLE=transfer unshare -rn bash "$0" "$tries" "$loss" || status=1
done

echo
echo "heartbeats: 8 clients, $beat s each"
printf '%5s %7s %10s %13s %14s %14s %15s\n' loss clients seconds registered "server expired" "client expired" "servers held"
wait || true
for loss in 2 5 10; do
  cat "$beats/$loss"
  if grep -q '^failed' "$beats/$loss"; then status=1; fi
done
exit $status
