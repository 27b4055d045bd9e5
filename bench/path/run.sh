#!/bin/bash
# Builds the path benchmark (Release, in build-bench) and runs transfers of
# this library and of ENet over emulated network paths: two network
# namespaces joined by mudp-path-forwarder (rate, drop-tail queue, delay,
# jitter, loss per direction), then the loopback and shared-path extras.
#
#   bash bench/path/run.sh [--quick] [--tries N] [--paths A,B,..] [--sizes A,B,..]
#                          [--no-extras] [--extras-only] [--check]
#
#   --quick        one try, paths LAN, cable, DSL, mobile, sizes 64k and 1m, extras
#                  without the 2 Mbit/s loopback transfer
#   --tries N      tries per path and size (default 5; 2 for transfers whose
#                  ideal time is over a minute)
#   --paths        among LAN fibre cable bloated DSL symmetric mobile longhaul
#   --sizes        among 64k 1m 15m
#   --no-extras    only the path table
#   --extras-only  only the extras
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
paths="LAN fibre cable bloated DSL symmetric mobile longhaul"
sizes="64k 1m 15m"
table=1 extras=1 check=0 quick=0
while [ $# -gt 0 ]; do
  case "$1" in
  --quick) quick=1; tries=${tries:-1}; paths="LAN cable DSL mobile"; sizes="64k 1m" ;;
  --tries) tries="$2"; shift ;;
  --paths) paths="${2//,/ }"; shift ;;
  --sizes) sizes="${2//,/ }"; shift ;;
  --no-extras) extras=0 ;;
  --extras-only) table=0 ;;
  --check) check=1; table=0; extras=0 ;;
  *) sed -n '2,22p' "$0" >&2; exit 2 ;;
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

# --- namespaces ------------------------------------------------------------
# s: sender side, r: receiver side, m: the forwarder's own, l: loopback runs.
ns="mpath$$"
tmp="$(mktemp -d)"
pids=() # background processes still running, ended on exit
forget() { local p keep=(); for p in "${pids[@]}"; do [ "$p" = "$1" ] || keep+=("$p"); done; pids=("${keep[@]}"); }
finish() { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; forget "$1"; }
reap() { wait "$1" 2>/dev/null || true; forget "$1"; } # for one that ends by itself (under timeout)
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  for n in s r m l t; do ip netns del "$ns-$n" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
for n in s r m; do
  ip netns add "$ns-$n"
  ip -n "$ns-$n" link set lo up
done
in_s() { ip netns exec "$ns-s" "$@"; }
in_r() { ip netns exec "$ns-r" "$@"; }
S_IP=10.77.0.1 R_IP=10.77.0.2

# Paths: up rate, down rate, one-way delay, jitter, queue, loss (each way).
declare -A P_UP P_DOWN P_DELAY P_JITTER P_QUEUE P_LOSS P_RTT_MS
path() { P_UP[$1]=$2; P_DOWN[$1]=$3; P_DELAY[$1]=$4; P_JITTER[$1]=$5; P_QUEUE[$1]=$6; P_LOSS[$1]=$7; P_RTT_MS[$1]=$8; }
#    name     up      down    delay  jitter queue  loss  rtt(ms)
path LAN      1gbit   1gbit   100us  0ms    1ms    0%    0.2
path fibre    40mbit  100mbit 5ms    0ms    30ms   0%    10
path cable    10mbit  50mbit  15ms   0ms    50ms   0%    30
path bloated  10mbit  50mbit  15ms   0ms    500ms  0%    30
path DSL      1mbit   8mbit   20ms   0ms    100ms  0%    40
path symmetric 1mbit  1mbit   20ms   0ms    100ms  0%    40
path mobile   5mbit   5mbit   40ms   7.5ms  100ms  1%    80
path longhaul 20mbit  20mbit  125ms  0ms    250ms  0.5%  250

bits() { # 10mbit -> 10000000
  awk -v r="$1" 'BEGIN { m = 1; if (r ~ /gbit$/) m = 1e9; else if (r ~ /mbit$/) m = 1e6; else if (r ~ /kbit$/) m = 1e3;
    sub(/[a-z]+$/, "", r); printf "%.0f", r * m }'
}
bytes_of() { case "$1" in 64k) echo 65536 ;; 1m) echo 1048576 ;; 15m) echo 15728640 ;; *) echo "$1" ;; esac; }
label_of() { case "$1" in 65536) echo "64 KiB" ;; 1048576) echo "1 MiB" ;; 15728640) echo "15 MiB" ;; *) echo "$1 B" ;; esac; }
datagrams_for() { echo $((($1 + 80 + 499) / 500)); }
# The ideal time in ms: RTT + datagrams x 576 bytes x 8 / up rate.
ideal_ms() { awk -v rtt="$1" -v d="$(datagrams_for "$2")" -v r="$3" 'BEGIN { printf "%.1f", rtt + d * 576 * 8 / r * 1000 }'; }
# A try's limit in s: 3 x ideal + 30 s, at most 300 s.
limit_s() { awk -v i="$1" 'BEGIN { l = int(3 * i / 1000 + 30); if (l > 300) l = 300; print l }'; }

# Starts the forwarder for a path and puts its devices into s and r.
fwd_pid=""
start_path() {
  local name=$1 seed=$2 seconds=$3
  rm -f "$tmp/ready"
  ip netns exec "$ns-m" timeout $((seconds + 60)) "$bin/mudp-path-forwarder" --tun-a ps --tun-b pr \
    --up "${P_UP[$name]},${P_QUEUE[$name]},${P_DELAY[$name]},${P_JITTER[$name]},${P_LOSS[$name]}" \
    --down "${P_DOWN[$name]},${P_QUEUE[$name]},${P_DELAY[$name]},${P_JITTER[$name]},${P_LOSS[$name]}" \
    --ready "$tmp/ready" --seconds $((seconds + 30)) --seed "$seed" >"$tmp/counters" 2>&1 &
  fwd_pid=$!
  pids+=("$fwd_pid")
  for _ in $(seq 100); do [ -s "$tmp/ready" ] && break; sleep 0.05; done
  [ -s "$tmp/ready" ] || { echo "run.sh: the forwarder did not start" >&2; cat "$tmp/counters" >&2; exit 1; }
  ip -n "$ns-m" link set ps netns "$ns-s"
  ip -n "$ns-m" link set pr netns "$ns-r"
  ip -n "$ns-s" addr add $S_IP peer $R_IP dev ps
  ip -n "$ns-r" addr add $R_IP peer $S_IP dev pr
  ip -n "$ns-s" link set ps up
  ip -n "$ns-r" link set pr up
}
# Stops it; its counters are then in $tmp/counters ("up ..." and "down ...").
stop_path() { finish "$fwd_pid"; }
counter() { # direction key; 0 when the forwarder printed nothing
  awk -v d="$1" -v k="$2" 'BEGIN { v = 0 } $1 == d { for (i = 2; i <= NF; ++i) { split($i, kv, "="); if (kv[1] == k) v = kv[2] } }
    END { print v + 0 }' "$tmp/counters"
}

# Waits up to 5 s for the iperf3 server in r to listen.
wait_listen() { for _ in $(seq 100); do in_r ss -ltn 'sport = :5201' | grep -q LISTEN && return 0; sleep 0.05; done; return 1; }
# Waits up to 10 s for a "ready" line in a file.
wait_ready() { for _ in $(seq 200); do grep -q '^ready' "$1" 2>/dev/null && return 0; sleep 0.05; done; return 1; }

# One transfer: runs receiver and sender in their namespaces (or both in
# one namespace for loopback) and leaves "result ..." in $tmp/send and the
# receiver's "data ..." lines in $tmp/recv.
transfer() { # lib size limit sender-ns receiver-ns s-ip r-ip logfile
  local lib=$1 size=$2 limit=$3 sns=$4 rns=$5 sip=$6 rip=$7 logfile=$8
  : >"$tmp/recv"
  : >"$tmp/send"
  if [ "$lib" = mudp ]; then
    ip netns exec "$rns" timeout $((limit + 40)) "$bin/mudp-path-receiver" --addr "$rip" --port 46600 \
      --expect "$size" --seconds $((limit + 30)) >"$tmp/recv" 2>&1 &
  else
    ip netns exec "$rns" timeout $((limit + 40)) "$bin/enet-path-server" --addr "$rip" --port 46600 \
      --expect "$size" --seconds $((limit + 30)) >"$tmp/recv" 2>&1 &
  fi
  local rpid=$!
  pids+=("$rpid")
  if wait_ready "$tmp/recv"; then
    if [ "$lib" = mudp ]; then
      ip netns exec "$sns" timeout $((limit + 30)) "$bin/mudp-path-sender" --addr "$sip" --port 46601 \
        --server "$rip:46600" --size "$size" --seconds "$limit" --log "$logfile" >"$tmp/send" 2>&1 || true
    else
      ip netns exec "$sns" timeout $((limit + 30)) "$bin/enet-path-client" --server "$rip:46600" \
        --size "$size" --seconds "$limit" >"$tmp/send" 2>&1 || true
    fi
  fi
  finish "$rpid"
  grep -q '^result' "$tmp/send" || echo "result verdict=none time_ms=0 verdict_ms=0 hold_ms=0 repeats=0 answers=0" >>"$tmp/send"
}
field() { # file key: value of key=value on the result line
  awk -v k="$2" '/^result/ { for (i = 2; i <= NF; ++i) { split($i, kv, "="); if (kv[1] == k) print kv[2] } }' "$1"
}
# Delivered: the sender's verdict is success and the receiver got the bytes intact.
delivered() { # size
  [ "$(field "$tmp/send" verdict)" = success ] && grep -q "^data $1 1\$" "$tmp/recv"
}

# Sorted list -> median / worst (max) / p95.
median() { tr ' ' '\n' | awk NF | sort -g | awk '{ v[NR] = $1 } END { if (NR) printf "%.1f", (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2; else printf "-" }'; }
worst() { tr ' ' '\n' | awk NF | sort -g | awk '{ v[NR] = $1 } END { if (NR) printf "%.1f", v[NR]; else printf "-" }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || b + 0 == 0) print "-"; else printf "%.2f", a / b }'; }

HEAD_FMT='%-9s %-6s %-4s %6s %9s %9s %9s %6s %6s %7s %6s %6s %-8s %s\n'
print_head() {
  printf "$HEAD_FMT" path size lib ok median worst ideal x-ideal x-ENet dg/need fb% wire/S "s/f/n" "repeats per try"
  printf "$HEAD_FMT" "" "" "" "" ms ms ms "" "" "" "" "" "" ""
}

# Tries of one library over one path (or loopback) and size; prints a row.
# Sets row_median for the caller.
row_median="-"
run_row() { # lib path size ntries enet-median
  local lib=$1 name=$2 size=$3 n=$4 enet_median=$5
  local up_bits rtt ideal limit times="" ok=0 s=0 f=0 none=0 repeats="" dgs=0 data=0 fb=0 wire=0 t
  if [ "$name" = loopback ] || [ "$name" = lo-2mbit ]; then
    rtt=0
    up_bits=$([ "$name" = loopback ] && echo 0 || echo 2000000)
  else
    rtt=${P_RTT_MS[$name]}
    up_bits=$(bits "${P_UP[$name]}")
  fi
  if [ "$up_bits" = 0 ]; then ideal="-"; limit=60; else ideal=$(ideal_ms "$rtt" "$size" "$up_bits"); limit=$(limit_s "$ideal"); fi
  local holds=""
  for t in $(seq "$n"); do
    local logfile="$out/${lib}-${name}-${size}-${t}.log"
    case "$name" in
    loopback) transfer "$lib" "$size" "$limit" "$ns-l" "$ns-l" 127.0.0.2 127.0.0.3 "$logfile" ;;
    lo-2mbit) transfer "$lib" "$size" "$limit" "$ns-t" "$ns-t" 127.0.0.2 127.0.0.3 "$logfile" ;;
    *)
      start_path "$name" "$t" "$limit"
      transfer "$lib" "$size" "$limit" "$ns-s" "$ns-r" $S_IP $R_IP "$logfile"
      stop_path
      ;;
    esac
    local verdict time hold rep
    verdict=$(field "$tmp/send" verdict)
    time=$(field "$tmp/send" time_ms)
    hold=$(field "$tmp/send" hold_ms)
    rep=$(field "$tmp/send" repeats)
    holds="$holds $hold"
    case "$verdict" in success) s=$((s + 1)) ;; failed) f=$((f + 1)) ;; *) none=$((none + 1)) ;; esac
    local intact=0
    if delivered "$size"; then ok=$((ok + 1)); times="$times $time"; intact=1; fi
    [ "$lib" = mudp ] && repeats="${repeats:+$repeats,}$rep"
    local counts=""
    if [ -s "$tmp/counters" ] && [ "$name" != loopback ] && [ "$name" != lo-2mbit ]; then
      local up_all up_data down_fb up_bytes
      up_all=$(($(counter up data) + $(counter up request) + $(counter up received) + $(counter up feedback) + $(counter up other)))
      up_data=$(counter up data)
      down_fb=$(($(counter down request) + $(counter down feedback)))
      up_bytes=$(counter up bytes)
      dgs=$((dgs + up_all)); data=$((data + up_data)); fb=$((fb + down_fb)); wire=$((wire + up_bytes))
      counts="up[$(awk '$1 == "up" { $1 = ""; printf "%s", $0 }' "$tmp/counters") ] down[$(awk '$1 == "down" { $1 = ""; printf "%s", $0 }' "$tmp/counters") ]"
      rm -f "$tmp/counters"
    fi
    echo "$lib $name $size try=$t $(grep '^result' "$tmp/send" | cut -d' ' -f2-) intact=$intact limit_s=$limit $counts" >>"$log"
    [ -s "$logfile" ] && gzip -f "$logfile"
  done
  local med wst
  med=$(echo "$times" | median)
  wst=$(echo "$times" | worst)
  row_median=$med
  local dgneed="-" fbshare="-" wirer="-"
  if [ "$dgs" -gt 0 ] || [ "$wire" -gt 0 ]; then
    [ "$lib" = mudp ] && dgneed=$(awk -v a="$dgs" -v b="$(($(datagrams_for "$size") * n))" 'BEGIN { printf "%.2f", a / b }')
    [ "$lib" = mudp ] && fbshare=$(awk -v a="$fb" -v b="$data" 'BEGIN { if (b > 0) printf "%.1f", 100 * a / b; else print "-" }')
    wirer=$(awk -v a="$wire" -v b="$((size * n))" 'BEGIN { printf "%.2f", a / b }')
  fi
  local xenet="-"
  [ "$lib" = mudp ] && xenet=$(ratio "$med" "$enet_median")
  printf "$HEAD_FMT" "$name" "$(label_of "$size" | tr -d ' ')" "$lib" "$ok/$n" "$med" "$wst" "$ideal" \
    "$(ratio "$med" "$ideal")" "$xenet" "$dgneed" "$fbshare" "$wirer" "$s/$f/$none" "${repeats:--}"
  row_holds=$holds
}
row_holds=""

tries_for() { # ideal-ms
  if [ -n "$tries" ]; then echo "$tries"; return; fi
  awk -v i="$1" 'BEGIN { print (i != "-" && i > 60000) ? 2 : 5 }'
}

# --- the forwarder's own check ----------------------------------------------
if [ $check = 1 ]; then
  echo "forwarder check: ping RTT (idle) and iperf3 TCP goodput per path"
  printf '%-9s %10s %10s %10s %13s %8s %13s %8s %9s\n' path "rtt set" "ping rtt" "up set" "TCP up" "down set" \
    "TCP down" "loss set" "loss up"
  for name in $paths; do
    start_path "$name" 1 60
    rtt=$(in_s ping -n -q -c 20 -i 0.1 $R_IP | awk -F/ '/^rtt/ { print $5 }' || true)
    in_r timeout 40 iperf3 -s -1 >/dev/null 2>&1 &
    server=$!; pids+=("$server"); wait_listen || true
    upr=$(in_s timeout 30 iperf3 -c $R_IP -t 8 -f m | awk '/receiver/ { print $7 }' || true)
    reap "$server"
    in_r timeout 40 iperf3 -s -1 >/dev/null 2>&1 &
    server=$!; pids+=("$server"); wait_listen || true
    downr=$(in_s timeout 30 iperf3 -c $R_IP -t 8 -f m -R | awk '/receiver/ { print $7 }' || true)
    reap "$server"
    stop_path
    lost=$(awk -v d="$(counter up random_drops)" -v o="$(counter up offered)" -v q="$(counter up queue_drops)" \
      'BEGIN { if (o - q > 0) printf "%.2f", 100 * d / (o - q); else print "-" }')
    printf '%-9s %8s ms %7s ms %10s %6s Mbit/s %8s %6s Mbit/s %6s %% %7s %%\n' "$name" "${P_RTT_MS[$name]}" "$rtt" \
      "${P_UP[$name]}" "$upr" "${P_DOWN[$name]}" "$downr" "${P_LOSS[$name]%\%}" "$lost"
  done
  echo "(TCP goodput of a full link is 1448/1500 = 96.5 % of its IP rate: payload over IP packet with timestamps;"
  echo " loss up = random drops / packets past the queue upstream, during the check; on lossy paths TCP's rate is its"
  echo " response to the loss, not the link's rate)"
  exit 0
fi

echo "path benchmark: $(date -u '+%F %H:%M UTC'), checkout $commit, library (src/, include/) last changed in $library"
echo "time = send call to the sender's acknowledgement (mudp: 'Packet send success:'; ENet: the server's reliable 'done')"
echo "ideal = RTT + ceil((S + 80) / 500) x 576 x 8 / up rate; dg/need = 548-byte datagrams up / ideal count;"
echo "fb% = REQUEST + FEEDBACK datagrams down / data datagrams up; wire/S = IP bytes up / S; s/f/n = verdicts"
echo "success / failed / none; repeats = 'repeat send UDP package:' lines of each try"
echo

# --- the path table ---------------------------------------------------------
if [ $table = 1 ]; then
  print_head
  for name in $paths; do
    [ -n "${P_UP[$name]:-}" ] || { echo "unknown path $name" >&2; continue; }
    for sz in $sizes; do
      size=$(bytes_of "$sz")
      [ "$name" = symmetric ] && [ "$size" -gt 1048576 ] && continue # 15 MiB at 1 Mbit/s up: left out
      ideal=$(ideal_ms "${P_RTT_MS[$name]}" "$size" "$(bits "${P_UP[$name]}")")
      n=$(tries_for "$ideal")
      # A row that goes wrong is reported and the run goes on.
      run_row enet "$name" "$size" "$n" - >"$tmp/enet_row" || echo "(enet $name $size: the row failed)"
      enet_med=$row_median
      run_row mudp "$name" "$size" "$n" "$enet_med" || echo "(mudp $name $size: the row failed)"
      cat "$tmp/enet_row"
    done
  done
  echo
fi

trap 'echo "(run took $((SECONDS / 60)) min $((SECONDS % 60)) s)"; cleanup' EXIT
[ $extras = 1 ] || exit 0

# --- loopback: transfers, send-call hold, 100-byte round trip -------------
ip netns add "$ns-l"
ip -n "$ns-l" link set lo up
ip -n "$ns-l" addr add 127.0.0.2/32 dev lo
ip -n "$ns-l" addr add 127.0.0.3/32 dev lo
n=${tries:-5}
echo "loopback (one namespace, 127.0.0.2 to 127.0.0.3, no forwarder), $n tries"
print_head
holds_64k="" holds_1m="" holds_15m=""
for size in 65536 1048576 15728640; do
  run_row enet loopback "$size" "$n" - >"$tmp/enet_row"
  enet_med=$row_median
  run_row mudp loopback "$size" "$n" "$enet_med"
  cat "$tmp/enet_row"
  case $size in 65536) holds_64k=$row_holds ;; 1048576) holds_1m=$row_holds ;; *) holds_15m=$row_holds ;; esac
done
echo
echo "send call holding the host (mudp, loopback, median of $n): 64 KiB $(echo "$holds_64k" | median) ms," \
  "1 MiB $(echo "$holds_1m" | median) ms, 15 MiB $(echo "$holds_15m" | median) ms"
ip netns exec "$ns-l" timeout 90 "$bin/mudp-path-receiver" --addr 127.0.0.3 --port 46600 --expect 100 --seconds 80 \
  --echo >"$tmp/recv" 2>&1 &
echo_pid=$!
pids+=("$echo_pid")
wait_ready "$tmp/recv" || true
echo_line=$(ip netns exec "$ns-l" timeout 90 "$bin/mudp-path-sender" --addr 127.0.0.2 --port 46601 \
  --server 127.0.0.3:46600 --seconds 60 --echo 100 2>&1 | grep '^echo' || echo "echo failed")
finish "$echo_pid"
echo "100-byte message and its answer on loopback: $echo_line"
echo "mudp echo $echo_line" >>"$log"
echo

# --- bloated cable: ping during a 15 MiB transfer -------------------------
echo "bloated cable (10 Mbit/s up, 500 ms queue): ping during a 15 MiB mudp transfer"
limit=$(limit_s "$(ideal_ms 30 15728640 10000000)")
start_path bloated 7 $((limit + 30))
idle=$(in_s ping -n -c 20 -i 0.1 $R_IP | awk -F'time=' '/time=/ { split($2, a, " "); print a[1] }' | median || true)
in_s timeout $((limit + 20)) ping -n -i 0.1 -w $((limit + 10)) $R_IP >"$tmp/ping" 2>&1 &
ping_pid=$!
pids+=("$ping_pid")
sleep 0.5
transfer mudp 15728640 "$limit" "$ns-s" "$ns-r" $S_IP $R_IP "$out/mudp-bloated-ping.log"
finish "$ping_pid"
stop_path
added=$(awk -F'time=' -v idle="$idle" '/time=/ { split($2, a, " "); print a[1] - idle }' "$tmp/ping")
p95=$(echo "$added" | sort -g | awk '{ v[NR] = $1 } END { i = int(NR * 0.95); if (i < 1) i = 1; if (NR) printf "%.1f", v[i]; else print "-" }')
echo "idle ping median $idle ms; during the transfer ($(echo "$added" | awk NF | wc -l) pings, $(field "$tmp/send" verdict)" \
  "after $(field "$tmp/send" verdict_ms) ms): added delay median $(echo "$added" | median) ms, 95th percentile $p95 ms"
echo "mudp bloated-ping $(grep '^result' "$tmp/send" | cut -d' ' -f2-) idle_ms=$idle added_median=$(echo "$added" | median) added_p95=$p95" >>"$log"
echo

# --- cable: iperf3 TCP alone and sharing with a 15 MiB transfer -----------
echo "cable (10 Mbit/s up): iperf3 TCP upstream alone, and while a 15 MiB mudp transfer shares the path"
limit=$(limit_s "$(ideal_ms 30 15728640 10000000)")
start_path cable 8 $((limit + 120))
in_r timeout 40 iperf3 -s -1 >/dev/null 2>&1 &
server=$!; pids+=("$server"); wait_listen || true
alone=$(in_s timeout 30 iperf3 -c $R_IP -t 15 -f k | awk '/receiver/ { print $7 }' || true)
reap "$server"
iperf_s=$((limit + 20))
in_r timeout $((iperf_s + 30)) iperf3 -s -1 >/dev/null 2>&1 &
server=$!; pids+=("$server"); wait_listen || true
in_s timeout $((iperf_s + 20)) iperf3 -c $R_IP -t "$iperf_s" -i 1 -f k --forceflush >"$out/iperf-cable.txt" 2>&1 &
iperf_pid=$!
pids+=("$iperf_pid")
sleep 5
start=$(date +%s.%N)
transfer mudp 15728640 "$limit" "$ns-s" "$ns-r" $S_IP $R_IP "$out/mudp-cable-tcp.log"
stop_at=$(date +%s.%N)
finish "$iperf_pid"
finish "$server"
stop_path
# Interval lines "[  5]  a-b sec ... N Kbits/sec": TCP's rate over the whole
# seconds that lie inside the transfer (which started 5 s after iperf3).
span=$(awk -v a="$start" -v b="$stop_at" 'BEGIN { printf "%.1f", b - a }')
shared=$(awk -v from=5 -v to="$(awk -v s="$span" 'BEGIN { print 5 + s }')" '
  /sec/ && /Kbits\/sec/ && !/sender|receiver/ { split($3, t, "-"); if (t[1] + 0 >= from && t[2] + 0 <= to) { sum += $7; n++ } }
  END { if (n) printf "%.0f", sum / n; else print "-" }' "$out/iperf-cable.txt")
share() { awk -v k="$1" 'BEGIN { if (k == "-" || k == "") print "-"; else printf "%.0f", k / 10000 * 100 }'; }
echo "TCP alone: $alone kbit/s ($(share "$alone") % of 10 Mbit/s); while sharing: $shared kbit/s ($(share "$shared") %)" \
  "over the ${span} s of the transfer ($(field "$tmp/send" verdict) after $(field "$tmp/send" verdict_ms) ms)"
echo "mudp cable-tcp $(grep '^result' "$tmp/send" | cut -d' ' -f2-) tcp_alone_kbps=$alone tcp_shared_kbps=$shared span_s=$span" >>"$log"
echo

# --- 15 MiB through a namespace's loopback limited to 2 Mbit/s -------------
if [ $quick = 0 ]; then
  ip netns add "$ns-t"
  ip -n "$ns-t" link set lo up
  ip -n "$ns-t" addr add 127.0.0.2/32 dev lo
  ip -n "$ns-t" addr add 127.0.0.3/32 dev lo
  ip netns exec "$ns-t" tc qdisc add dev lo root tbf rate 2mbit burst 4kb latency 100ms
  echo "loopback limited by tc tbf to 2 Mbit/s (burst 4 kB, 100 ms of queue): one 15 MiB message"
  print_head
  run_row mudp lo-2mbit 15728640 1 -
fi
