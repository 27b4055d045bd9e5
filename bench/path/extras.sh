# Sourced by run.sh: the extras. Transfers over loopback, how long the send
# call holds the host (warm and in a fresh process), a 100-byte message and
# its answer, a ping through the bloated queue during a transfer, TCP
# sharing the cable path, the long haul's worst 64 KiB try, and 15 MiB
# through a loopback limited to 2 Mbit/s.

extras_loopback() {
  make_loopback_namespace l
  local n=${tries:-5} size holds_64k="" holds_1m="" holds_15m="" echo_pid echo_line
  echo "loopback (one namespace, 127.0.0.2 to 127.0.0.3, no forwarder), $n tries"
  print_head
  for size in 65536 1048576 15728640; do
    run_row enet loopback "$size" "$n" - >"$tmp/enet_row"
    run_row mudp loopback "$size" "$n" "$row_median"
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
}

# Each try a fresh process: first send, cold memory, toward an address where
# nothing listens (so nothing answers and the call is all that is measured).
extras_cold_hold() {
  local n=${tries:-5} size t holds line
  echo "send call holding the host in a fresh process (first send, to a silent loopback address), $n processes each"
  for size in 65536 1048576 15728640; do
    holds=""
    for t in $(seq "$n"); do
      line=$(ip netns exec "$ns-l" timeout 60 "$bin/mudp-path-sender" --addr 127.0.0.2 --port 46601 \
        --server 127.0.0.9:46699 --size "$size" --seconds 30 --hold-only 2>&1 | grep '^hold' || true)
      holds="$holds $(echo "$line" | sed -n 's/.*hold_ms=\([0-9.]*\).*/\1/p')"
      echo "mudp cold-hold $line" >>"$log"
    done
    printf '  %-6s median %6s ms, worst %6s ms (target < 5 ms)\n' "$(label_of "$size" | tr -d ' ')" \
      "$(echo "$holds" | median)" "$(echo "$holds" | worst)"
  done
  echo
}

# The long haul's 64 KiB tries: how far the worst lies from the median, in
# round trips (a lost tail recovered by a timer shows here).
extras_longhaul_tail() {
  local n=${tries:-9} rtt=${P_RTT_MS[longhaul]} lib
  echo "long haul (20 Mbit/s, 250 ms RTT, 0.5 % loss): 64 KiB, $n tries, the worst try against the median"
  print_head
  run_row enet longhaul 65536 "$n" - >"$tmp/enet_row"
  local enet_med=$row_median enet_worst=$row_worst
  run_row mudp longhaul 65536 "$n" "$enet_med"
  cat "$tmp/enet_row"
  for lib in mudp enet; do
    local med=$row_median wst=$row_worst
    [ $lib = enet ] && med=$enet_med wst=$enet_worst
    awk -v l=$lib -v m="$med" -v w="$wst" -v r="$rtt" 'BEGIN { if (m == "-") { printf "  %s: nothing delivered\n", l; exit }
      printf "  %s: worst - median = %.1f ms = %.2f round trips%s\n", l, w - m, (w - m) / r, l == "mudp" ? " (target <= 2)" : "" }'
  done
  echo
}

extras_bloated_ping() {
  local limit idle ping_pid added p95
  echo "bloated cable (10 Mbit/s up, 500 ms queue): ping during a 15 MiB mudp transfer"
  limit=$(limit_s "$(ideal_ms 30 15728640 10000000)")
  start_path bloated 7 $((limit + 30))
  idle=$(in_s ping -n -c 20 -i 0.1 $R_IP | awk -F'time=' '/time=/ { split($2, a, " "); print a[1] }' | median || true)
  ip netns exec "$ns-s" timeout $((limit + 20)) ping -n -i 0.1 -w $((limit + 10)) $R_IP >"$tmp/ping" 2>&1 &
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
}

extras_cable_tcp() {
  local limit server alone iperf_s iperf_pid start stop_at span shared
  echo "cable (10 Mbit/s up): iperf3 TCP upstream alone, and while a 15 MiB mudp transfer shares the path"
  limit=$(limit_s "$(ideal_ms 30 15728640 10000000)")
  start_path cable 8 $((limit + 120))
  ip netns exec "$ns-r" timeout 40 iperf3 -s -1 >/dev/null 2>&1 &
  server=$!; pids+=("$server"); wait_listen || true
  alone=$(in_s timeout 30 iperf3 -c $R_IP -t 15 -f k | awk '/receiver/ { print $7 }' || true)
  reap "$server"
  iperf_s=$((limit + 20))
  ip netns exec "$ns-r" timeout $((iperf_s + 30)) iperf3 -s -1 >/dev/null 2>&1 &
  server=$!; pids+=("$server"); wait_listen || true
  ip netns exec "$ns-s" timeout $((iperf_s + 20)) iperf3 -c $R_IP -t "$iperf_s" -i 1 -f k --forceflush >"$out/iperf-cable.txt" 2>&1 &
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
}

extras_lo_2mbit() {
  make_loopback_namespace t
  ip netns exec "$ns-t" tc qdisc add dev lo root tbf rate 2mbit burst 4kb latency 100ms
  echo "loopback limited by tc tbf to 2 Mbit/s (burst 4 kB, 100 ms of queue): one 15 MiB message"
  print_head
  run_row mudp lo-2mbit 15728640 1 -
}
