#!/bin/bash
# Builds the path benchmark (Release, in build-bench) and runs transfers of
# this library and of ENet over emulated network paths: two network
# namespaces joined by mudp-path-forwarder (rate, drop-tail queue, delay,
# jitter, loss, reordering per direction), then transfers that share the
# sender's uplink, then the loopback and shared-path extras.
#
#   bash bench/path/run.sh [--quick] [--tries N] [--paths A,B,..] [--sizes A,B,..]
#                          [--shared A,B,..] [--no-extras] [--extras-only]
#                          [--shared-only] [--check]
#
#   --quick        one try, paths LAN, cable, DSL, mobile, sizes 64k and 1m, no
#                  shared uplink, extras without the 2 Mbit/s loopback transfer and
#                  the long haul's worst try
#   --tries N      tries per path and size (default 5; 2 for transfers whose
#                  ideal time is over a minute), per shared-uplink case (default
#                  fanout 5, twoflows and tcpfirst 3) and extra (9 for the long haul)
#   --paths        among LAN fibre cable bloated DSL symmetric mobile longhaul
#                  reorder satellite uplink7 (default all but uplink7)
#   --sizes        among 64k 1m 4m 15m (default 64k 1m 15m; reorder and satellite 1m 4m)
#   --shared       among fanout twoflows tcpfirst, or none (default all)
#   --no-extras    only the path table and the shared uplink
#   --extras-only  only the extras
#   --shared-only  only the shared uplink
#   --check        only the forwarder's own check with ping and iperf3
#
# Environment: MUDP_BENCH_BUILD (build tree, default build-bench),
# MUDP_PATH_TRIES (same as --tries). Raw lines of every try go to
# $build/bench-path/tries.log, the senders' library logs beside it.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build=${MUDP_BENCH_BUILD:-$root/build-bench}
bin="$build/bench/path"
out="$build/bench-path"

tries=${MUDP_PATH_TRIES:-}
paths="LAN fibre cable bloated DSL symmetric mobile longhaul reorder satellite"
sizes=""
shared="fanout twoflows tcpfirst"
table=1 extras=1 check=0 quick=0
while [ $# -gt 0 ]; do
  case "$1" in
  --quick) quick=1; tries=${tries:-1}; paths="LAN cable DSL mobile"; sizes="64k 1m"; shared="" ;;
  --tries) tries="$2"; shift ;;
  --paths) paths="${2//,/ }"; shift ;;
  --sizes) sizes="${2//,/ }"; shift ;;
  --shared) shared="${2//,/ }"; [ "$shared" = none ] && shared=""; shift ;;
  --no-extras) extras=0 ;;
  --extras-only) table=0; shared="" ;;
  --shared-only) table=0; extras=0 ;;
  --check) check=1; table=0; extras=0; shared="" ;;
  *) sed -n '2,30p' "$0" >&2; exit 2 ;;
  esac
  shift
done

[ "$(id -u)" = 0 ] || { echo "run.sh: needs root (network namespaces, TUN devices, tc)" >&2; exit 1; }

# --- tools and build -------------------------------------------------------
missing=""
[ -e /usr/include/enet/enet.h ] || missing="$missing libenet-dev"
command -v iperf3 >/dev/null || missing="$missing iperf3"
command -v ping >/dev/null || missing="$missing iputils-ping"
command -v tc >/dev/null || missing="$missing iproute2"
if [ -n "$missing" ]; then
  echo "installing:$missing"
  apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target mudp-path-forwarder mudp-path-sender mudp-path-receiver \
  enet-path-client enet-path-server >/dev/null
mkdir -p "$out"
log="$out/tries.log"
commit="$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
library="$(git -C "$root" log -1 --format=%h -- src include 2>/dev/null || echo unknown)"
echo "# run $(date -u +%FT%TZ) commit $commit library $library" >>"$log"

tmp="$(mktemp -d)"
. "$here/common.sh"
. "$here/table.sh"
. "$here/shared.sh"
. "$here/extras.sh"
trap cleanup EXIT
trap 'exit 130' INT TERM
make_namespaces

if [ $check = 1 ]; then
  forwarder_check
  exit 0
fi

echo "path benchmark: $(date -u '+%F %H:%M UTC'), checkout $commit, library (src/, include/) last changed in $library"
echo "time = send call to the sender's acknowledgement (mudp: 'Packet send success:'; ENet: the server's reliable 'done')"
echo "ideal = RTT + ceil((S + 80) / 500) x 576 x 8 / up rate; dg/need = 548-byte datagrams up / ideal count;"
echo "fb% = REQUEST + FEEDBACK datagrams down / data datagrams up; dup% = data datagrams delivered again / ideal"
echo "count; qd% = packets dropped at the up queue / packets offered up; wire/S = IP bytes up / S; s/f/n = verdicts"
echo "success / failed / none; repeats = 'repeat send UDP package:' lines of each try"
echo

[ $table = 1 ] && path_table
for case in $shared; do
  case $case in
  fanout) shared_fanout ;;
  twoflows) shared_two_flows ;;
  tcpfirst) shared_tcp_first ;;
  *) echo "unknown shared-uplink case $case" >&2 ;;
  esac
done

# A stalled destination fails the run, whatever else it measured.
end_run() {
  echo "(run took $((SECONDS / 60)) min $((SECONDS % 60)) s)"
  cleanup
  [ "${stalled_tries:-0}" = 0 ] || { echo "path benchmark FAILED: $stalled_tries fan-out tries stalled" >&2; exit 1; }
}
trap end_run EXIT
[ $extras = 1 ] || exit 0
extras_loopback
extras_cold_hold
extras_bloated_ping
extras_cable_tcp
if [ $quick = 0 ]; then
  extras_longhaul_tail
  extras_lo_2mbit
fi
