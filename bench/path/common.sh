# Sourced by run.sh: the namespaces, the paths and their forwarder, one
# transfer, and the figures every section computes. Expects $bin, $out and
# $tmp to be set.

# --- namespaces and background processes -------------------------------------
# s: sender side, r: receiver side, m: the forwarder's own, l and t: loopback runs.
ns="mpath$$"
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
make_namespaces() {
  for n in s r m; do
    ip netns add "$ns-$n"
    ip -n "$ns-$n" link set lo up
  done
}
# A namespace whose loopback also answers on 127.0.0.2 and 127.0.0.3.
make_loopback_namespace() { # suffix
  ip netns add "$ns-$1"
  ip -n "$ns-$1" link set lo up
  ip -n "$ns-$1" addr add 127.0.0.2/32 dev lo
  ip -n "$ns-$1" addr add 127.0.0.3/32 dev lo
}
# Commands that run in the background and are killed later are written
# `ip netns exec "$ns-s" ... &` instead: a function in the background runs
# in a subshell, and killing that left its command (an iperf3 upload) running
# into the next tries.
in_s() { ip netns exec "$ns-s" "$@"; }
in_r() { ip netns exec "$ns-r" "$@"; }
S_IP=10.77.0.1 R_IP=10.77.0.2

# --- the paths ---------------------------------------------------------------
# Up rate, down rate, one-way delay, jitter, queue, loss (each way), RTT,
# and reordering (share,hold each way; - for none).
declare -A P_UP P_DOWN P_DELAY P_JITTER P_QUEUE P_LOSS P_RTT_MS P_REORDER
path() { P_UP[$1]=$2; P_DOWN[$1]=$3; P_DELAY[$1]=$4; P_JITTER[$1]=$5; P_QUEUE[$1]=$6; P_LOSS[$1]=$7; P_RTT_MS[$1]=$8; P_REORDER[$1]=$9; }
#    name      up      down    delay  jitter queue  loss  rtt(ms) reorder
path LAN       1gbit   1gbit   100us  0ms    1ms    0%    0.2     -
path fibre     40mbit  100mbit 5ms    0ms    30ms   0%    10      -
path cable     10mbit  50mbit  15ms   0ms    50ms   0%    30      -
path bloated   10mbit  50mbit  15ms   0ms    500ms  0%    30      -
path DSL       1mbit   8mbit   20ms   0ms    100ms  0%    40      -
path symmetric 1mbit   1mbit   20ms   0ms    100ms  0%    40      -
path mobile    5mbit   5mbit   40ms   7.5ms  100ms  1%    80      -
path longhaul  20mbit  20mbit  125ms  0ms    250ms  0.5%  250     -
path reorder   30mbit  30mbit  5ms    0ms    30ms   0%    10      3%,5ms
path satellite 5mbit   25mbit  300ms  0ms    200ms  0.1%  600     -
path uplink7   7mbit   35mbit  22.5ms 0ms    60ms   0%    45      -

bits() { # 10mbit -> 10000000
  awk -v r="$1" 'BEGIN { m = 1; if (r ~ /gbit$/) m = 1e9; else if (r ~ /mbit$/) m = 1e6; else if (r ~ /kbit$/) m = 1e3;
    sub(/[a-z]+$/, "", r); printf "%.0f", r * m }'
}
bytes_of() { case "$1" in 64k) echo 65536 ;; 1m) echo 1048576 ;; 4m) echo 4194304 ;; 15m) echo 15728640 ;; *) echo "$1" ;; esac; }
label_of() {
  case "$1" in 65536) echo "64 KiB" ;; 1048576) echo "1 MiB" ;; 4194304) echo "4 MiB" ;; 15728640) echo "15 MiB" ;;
  *) echo "$1 B" ;; esac
}
datagrams_for() { echo $((($1 + 80 + 499) / 500)); }
# The ideal time in ms: RTT + datagrams x 576 bytes x 8 / up rate (times
# `copies` destinations, default 1).
ideal_ms() {
  awk -v rtt="$1" -v d="$(datagrams_for "$2")" -v r="$3" -v k="${4:-1}" 'BEGIN { printf "%.1f", rtt + k * d * 576 * 8 / r * 1000 }'
}
# A try's limit in s: 3 x ideal + 30 s, at most 300 s.
limit_s() { awk -v i="$1" 'BEGIN { l = int(3 * i / 1000 + 30); if (l > 300) l = 300; print l }'; }
link_of() { # path rate: the forwarder's LINK argument for one direction
  local l="$2,${P_QUEUE[$1]},${P_DELAY[$1]},${P_JITTER[$1]},${P_LOSS[$1]}"
  [ "${P_REORDER[$1]}" = - ] || l="$l,${P_REORDER[$1]}"
  echo "$l"
}

# --- the forwarder -------------------------------------------------------------
# Starts the forwarder for a path and puts its devices into s and r. Its
# flows (flow_table.h) go to $tmp/flows when it stops.
fwd_pid=""
start_path() {
  local name=$1 seed=$2 seconds=$3
  rm -f "$tmp/ready" "$tmp/flows"
  ip netns exec "$ns-m" timeout $((seconds + 60)) "$bin/mudp-path-forwarder" --tun-a ps --tun-b pr \
    --up "$(link_of "$name" "${P_UP[$name]}")" --down "$(link_of "$name" "${P_DOWN[$name]}")" \
    --ready "$tmp/ready" --seconds $((seconds + 30)) --seed "$seed" --flows "$tmp/flows" >"$tmp/counters" 2>&1 &
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
# A field of the first "flow up ..." line whose ends match the regex
# (source and destination, "IP:PORT IP:PORT"); empty if none.
flow_field() { # regex key
  [ -s "$tmp/flows" ] || return 0
  awk -v re="$1" -v k="$2" '$1 == "flow" && $2 == "up" && ($4 " " $5) ~ re {
    for (i = 6; i <= NF; ++i) { split($i, kv, "="); if (kv[1] == k) { print kv[2]; exit } } }' "$tmp/flows"
}
# Bytes the up direction delivered between two CLOCK_MONOTONIC times (ms)
# to every flow whose "PROTO SRC DST" matches the regex; bins that straddle
# an end count in proportion.
bytes_between() { # regex from_ms to_ms
  [ -s "$tmp/flows" ] || { echo 0; return 0; }
  awk -v re="$1" -v a="$2" -v b="$3" '$1 == "bins" && $2 == "up" && ($3 " " $4 " " $5) ~ re {
      split($6, o, "="); split($7, w, "="); origin = o[2]; width = w[2]
      for (i = 8; i <= NF; ++i) {
        s = origin + (i - 8) * width; e = s + width
        lo = s > a ? s : a; hi = e < b ? e : b
        if (hi > lo) sum += $i * (hi - lo) / width
      } }
    END { printf "%.0f", sum }' "$tmp/flows"
}

# Waits up to 5 s for the iperf3 server in r to listen.
wait_listen() { for _ in $(seq 100); do in_r ss -ltn 'sport = :5201' | grep -q LISTEN && return 0; sleep 0.05; done; return 1; }
# Waits up to 10 s for a "ready" line in a file.
wait_ready() { for _ in $(seq 200); do grep -q '^ready' "$1" 2>/dev/null && return 0; sleep 0.05; done; return 1; }

# --- one transfer --------------------------------------------------------------
# Starts `count` receivers of lib in a namespace, on ports 46600, 46601, ...
# with their output in $tmp/recv.K; false unless all are ready. Sets rpids.
rpids=()
start_receivers() { # lib count size limit namespace ip
  local lib=$1 count=$2 size=$3 limit=$4 rns=$5 rip=$6 k prog=mudp-path-receiver
  [ "$lib" = mudp ] || prog=enet-path-server
  rpids=()
  for k in $(seq 0 $((count - 1))); do
    ip netns exec "$rns" timeout $((limit + 40)) "$bin/$prog" --addr "$rip" --port $((46600 + k)) \
      --expect "$size" --seconds $((limit + 30)) >"$tmp/recv.$k" 2>&1 &
    rpids+=($!)
    pids+=($!)
  done
  for k in $(seq 0 $((count - 1))); do wait_ready "$tmp/recv.$k" || return 1; done
}
stop_receivers() { local p; for p in "${rpids[@]}"; do finish "$p"; done; rpids=(); }
# The sender's result line, or a "none" one if it printed nothing.
result_line() { # file
  grep -q '^result' "$1" || echo "result verdict=none time_ms=0 verdict_ms=0 hold_ms=0 repeats=0 answers=0" >>"$1"
}
# One transfer to one receiver: leaves "result ..." in $tmp/send and the
# receiver's "data ..." lines in $tmp/recv.0.
transfer() { # lib size limit sender-ns receiver-ns s-ip r-ip logfile
  local lib=$1 size=$2 limit=$3 sns=$4 rns=$5 sip=$6 rip=$7 logfile=$8
  : >"$tmp/send"
  if start_receivers "$lib" 1 "$size" "$limit" "$rns" "$rip"; then
    if [ "$lib" = mudp ]; then
      ip netns exec "$sns" timeout $((limit + 30)) "$bin/mudp-path-sender" --addr "$sip" --port 46601 \
        --server "$rip:46600" --size "$size" --seconds "$limit" --log "$logfile" >"$tmp/send" 2>&1 || true
    else
      ip netns exec "$sns" timeout $((limit + 30)) "$bin/enet-path-client" --server "$rip:46600" \
        --size "$size" --seconds "$limit" >"$tmp/send" 2>&1 || true
    fi
  fi
  stop_receivers
  result_line "$tmp/send"
}
field() { # file key: value of key=value on the result line
  awk -v k="$2" '/^result/ { for (i = 2; i <= NF; ++i) { split($i, kv, "="); if (kv[1] == k) print kv[2] } }' "$1"
}
# Receiver K got the bytes intact: prints the CLOCK_MONOTONIC ms it got them.
intact_at() { # size k
  awk -v s="$1" '$1 == "data" && $2 == s && $3 == 1 { print $4; exit }' "$tmp/recv.$2"
}
# Delivered: the sender's verdict is success and the receiver got the bytes intact.
delivered() { # size
  [ "$(field "$tmp/send" verdict)" = success ] && [ -n "$(intact_at "$1" 0)" ]
}

# --- figures -------------------------------------------------------------------
# A list (words, "-" ignored) -> median / worst (max), with 1 decimal or the number given.
median() { tr ' ' '\n' | awk 'NF && $1 != "-"' | sort -g | awk -v f="%.${1:-1}f" '{ v[NR] = $1 }
  END { if (NR) printf f, (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2; else printf "-" }'; }
worst() { tr ' ' '\n' | awk 'NF && $1 != "-"' | sort -g | awk -v f="%.${1:-1}f" '{ v[NR] = $1 } END { if (NR) printf f, v[NR]; else printf "-" }'; }
least() { tr ' ' '\n' | awk 'NF && $1 != "-"' | sort -g | awk 'NR == 1 { printf "%s", $1 } END { if (!NR) printf "-" }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || b + 0 == 0) print "-"; else printf "%.2f", a / b }'; }
# Jain's fairness index of a list of amounts: (sum)^2 / (n x sum of squares).
jain() { tr ' ' '\n' | awk 'NF && $1 != "-"' | awk '{ s += $1; q += $1 * $1; n++ } END { if (q > 0) printf "%.3f", s * s / (n * q); else printf "-" }'; }
# The smallest amount of a list over an even share of their sum.
least_share() { tr ' ' '\n' | awk NF | awk '{ v[NR] = $1; s += $1 } END { m = -1; for (i = 1; i <= NR; i++) if (m < 0 || v[i] < m) m = v[i];
  if (s > 0) printf "%.2f", m / (s / NR); else printf "-" }'; }
