# Sourced by run.sh: transfers that share the sender's uplink. One sender
# to eight receivers, two flows of ours, and a transfer started into a
# running TCP upload. Shares and rates come from what the forwarder
# delivered per flow (flow_table.h), in 50 ms bins.

# Starts a mudp sender in s in the background; its output goes to FILE.
# Sets sender_pid.
sender_pid=""
start_sender() { # file limit port size logfile [sender options...]
  local file=$1 limit=$2 port=$3 size=$4 logfile=$5
  shift 5
  in_s timeout $((limit + 30)) "$bin/mudp-path-sender" --addr $S_IP --port "$port" --size "$size" \
    --seconds "$limit" --log "$logfile" "$@" >"$file" 2>&1 &
  sender_pid=$!
  pids+=("$sender_pid")
}
# The flow from the sender's port to a receiver's port, as bytes_between and
# flow_field want it.
flow_re() { echo "^udp $S_IP:$1 $R_IP:$2\$"; }
ends_re() { echo "^$S_IP:$1 $R_IP:$2\$"; }
mbits() { awk -v b="$1" -v a="$2" -v z="$3" 'BEGIN { if (z > a) printf "%.2f", b * 8 / (z - a) / 1000; else print "-" }'; }

# --- one sender, eight receivers ---------------------------------------------
FAN_FMT='%-4s %-4s %9s %7s %9s %6s %-22s %s\n'
# The longest pause of data toward one destination of the last try, and
# the sender's log lines meanwhile: "ms dest end_ms lines".
longest_pause() { # count start_ms logfile
  local k gap end best="0 - 0"
  for k in $(seq 0 $(($1 - 1))); do
    gap=$(flow_field "$(ends_re 46601 $((46600 + k)))" gap_ms)
    end=$(flow_field "$(ends_re 46601 $((46600 + k)))" gap_end_ms)
    best=$(awk -v b="$best" -v g="${gap:-0}" -v e="${end:-0}" -v k="$k" 'BEGIN { split(b, x, " ");
      if (g + 0 > x[1] + 0) print g, k, e; else print b }')
  done
  set -- $best "$2" "$3"
  local lines=0
  [ "$2" = - ] || lines=$(awk -v a="$(awk -v e="$3" -v g="$1" -v s="$4" 'BEGIN { print e - g - s }')" \
    -v b="$(awk -v e="$3" -v s="$4" 'BEGIN { print e - s }')" '$1 + 0 > a && $1 + 0 < b { n++ } END { print n + 0 }' "$5" 2>/dev/null)
  echo "$1 $2 $3 $lines"
}

shared_fanout() {
  local n=${tries:-5} size=1048576 k=8 name=cable t i
  local ideal limit
  ideal=$(ideal_ms "${P_RTT_MS[$name]}" $size "$(bits "${P_UP[$name]}")" $k)
  limit=$(limit_s "$ideal")
  echo "one sender to $k receivers over the cable path (10 Mbit/s up, 30 ms RTT, 50 ms queue): 1 MiB to each" \
    "(one send to all), $n tries; ideal for all $k: $ideal ms"
  echo "share: bytes a destination got from the send call to the first delivery, over an even share of them"
  printf "$FAN_FMT" try ok last x-ideal "min share" jain "longest pause (dest)" "delivery per destination (ms from the send call)"
  local lasts="" xs="" shares="" jains="" stalls=0
  for t in $(seq "$n"); do
    local logfile="$out/mudp-fanout-$t.log" servers=() at start first="" last="" times="" bytes="" ok=0
    for i in $(seq 0 $((k - 1))); do servers+=(--server "$R_IP:$((46600 + i))"); done
    start_path $name "$t" "$limit"
    start_receivers mudp $k $size "$limit" "$ns-r" $R_IP || true
    start_sender "$tmp/send" "$limit" 46601 $size "$logfile" "${servers[@]}"
    reap "$sender_pid"
    stop_receivers
    stop_path
    result_line "$tmp/send"
    start=$(field "$tmp/send" start_ms)
    for i in $(seq 0 $((k - 1))); do
      at=$(intact_at $size "$i")
      if [ -n "$at" ] && [ -n "$start" ]; then
        ok=$((ok + 1)); at=$(awk -v a="$at" -v s="$start" 'BEGIN { printf "%.0f", a - s }'); times="$times $at"
      else at=-; fi
    done
    first=$(echo "$times" | least)
    [ $ok = $k ] && last=$(echo "$times" | worst) || last=-
    for i in $(seq 0 $((k - 1))); do
      bytes="$bytes $(bytes_between "$(flow_re 46601 $((46600 + i)))" "${start:-0}" "$(awk -v s="${start:-0}" -v f="$first" 'BEGIN { print s + f }')")"
    done
    local share fair x pause
    share=$(echo "$bytes" | least_share)
    fair=$(echo "$bytes" | jain)
    x=$(ratio "$last" "$ideal")
    pause=$(longest_pause $k "${start:-0}" "$logfile")
    printf "$FAN_FMT" "$t" "$ok/$k" "$last" "$x" "$share" "$fair" \
      "$(echo "$pause" | awk '{ printf "%.0f ms (%s)", $1, $2 }')" "$(echo $times)"
    set -- $pause
    if awk -v g="$1" 'BEGIN { exit !(g > 1000) }'; then
      stalls=$((stalls + 1))
      echo "     STALL: destination $2 got no data for $(awk -v g="$1" 'BEGIN { printf "%.1f", g / 1000 }') s" \
        "(until $(awk -v e="$3" -v s="${start:-0}" 'BEGIN { printf "%.1f", (e - s) / 1000 }') s after the send call);" \
        "the sender logged $4 lines meanwhile"
    fi
    [ "$last" = - ] || { lasts="$lasts $last"; xs="$xs $x"; }
    shares="$shares $share" jains="$jains $fair"
    echo "mudp fanout try=$t $(grep '^result' "$tmp/send" | cut -d' ' -f2-) deliveries_ms=$(echo $times | tr ' ' ,) window_bytes=$(echo $bytes | tr ' ' ,) pause=${pause// /,}" >>"$log"
    [ -s "$logfile" ] && gzip -f "$logfile"
  done
  echo "median: last $(echo "$lasts" | median) ms = $(echo "$xs" | median 2) x ideal (worst $(echo "$xs" | worst 2) x; target <= 1.2)," \
    "least share $(echo "$shares" | least) of an even one (target >= 0.5), Jain's index $(echo "$jains" | median 3)" \
    "(least $(echo "$jains" | least)); pauses over 1 s: $stalls of $n tries"
  if [ $stalls != 0 ]; then
    echo "FAIL: fanout: a destination got no data for over 1 s in $stalls of $n tries (STALL lines above)"
    stalled_tries=$((${stalled_tries:-0} + stalls))
  fi
  echo
}

# --- two flows of ours ---------------------------------------------------------
shared_two_flows() {
  local n=${tries:-3} size=15728640 name=cable t gap
  local ideal limit
  ideal=$(ideal_ms "${P_RTT_MS[$name]}" $size "$(bits "${P_UP[$name]}")" 2)
  limit=$(limit_s "$(awk -v i="$ideal" 'BEGIN { print i + 5000 }')")
  echo "two flows of ours over the cable path (10 Mbit/s up): two senders, 15 MiB each, $n tries per start;" \
    "rates over the overlap (from the later first data datagram to the earlier last)"
  printf '%-9s %-4s %10s %10s %9s %10s %10s %6s\n' start try "A ms" "B ms" "overlap s" "A Mbit/s" "B Mbit/s" jain
  for gap in 0 5000; do
    local jains="" label
    [ $gap = 0 ] && label=together || label="5 s apart"
    for t in $(seq "$n"); do
      start_path $name "$t" "$limit"
      start_receivers mudp 2 $size "$limit" "$ns-r" $R_IP || true
      local at=$(($(date +%s%3N) + 2000))
      start_sender "$tmp/send.a" "$limit" 46601 $size "$out/mudp-twoflows-$gap-$t-a.log" --server "$R_IP:46600" --send-at $at
      local pid_a=$sender_pid
      start_sender "$tmp/send.b" "$limit" 46602 $size "$out/mudp-twoflows-$gap-$t-b.log" --server "$R_IP:46601" \
        --send-at $((at + gap))
      reap "$pid_a"
      reap "$sender_pid"
      stop_receivers
      stop_path
      result_line "$tmp/send.a"
      result_line "$tmp/send.b"
      local from to ra rb fair
      # Without data of both flows there is no overlap: from = to = 0.
      from=$(awk -v a="$(flow_field "$(ends_re 46601 46600)" data_first_ms)" -v b="$(flow_field "$(ends_re 46602 46601)" data_first_ms)" \
        'BEGIN { print (a == "" || b == "") ? 0 : (a + 0 > b + 0 ? a : b) }')
      to=$(awk -v a="$(flow_field "$(ends_re 46601 46600)" data_last_ms)" -v b="$(flow_field "$(ends_re 46602 46601)" data_last_ms)" \
        'BEGIN { print (a == "" || b == "") ? 0 : (a + 0 < b + 0 ? a : b) }')
      ra=$(mbits "$(bytes_between "$(flow_re 46601 46600)" "$from" "$to")" "$from" "$to")
      rb=$(mbits "$(bytes_between "$(flow_re 46602 46601)" "$from" "$to")" "$from" "$to")
      fair=$(echo "$ra $rb" | jain)
      jains="$jains $fair"
      printf '%-9s %-4s %10s %10s %9s %10s %10s %6s\n' "$label" "$t" "$(field "$tmp/send.a" time_ms)" \
        "$(field "$tmp/send.b" time_ms)" "$(awk -v a="$from" -v b="$to" 'BEGIN { printf "%.1f", (b - a) / 1000 }')" "$ra" "$rb" "$fair"
      echo "mudp twoflows gap_ms=$gap try=$t a[$(grep '^result' "$tmp/send.a" | cut -d' ' -f2-)] b[$(grep '^result' "$tmp/send.b" | cut -d' ' -f2-)] overlap_ms=$from-$to a_mbps=$ra b_mbps=$rb jain=$fair" >>"$log"
      gzip -f "$out"/mudp-twoflows-$gap-$t-?.log 2>/dev/null || true
    done
    echo "$label: Jain's index over the overlap, median $(echo "$jains" | median 3) (least $(echo "$jains" | least); target >= 0.97)"
  done
  echo
}

# --- a transfer started into a running TCP upload ---------------------------
shared_tcp_first() {
  local n=${tries:-3} size=4194304 name=uplink7 t lib limit=90
  local up=$(bits "${P_UP[$name]}")
  echo "beside a TCP upload (7 Mbit/s up, 45 ms RTT, 60 ms queue): 4 MiB started 8 s into an iperf3 upload (CUBIC)," \
    "against the same transfer alone; shares = IP bytes delivered over the link's rate during the transfer, $n tries"
  printf '%-5s %-4s %10s %12s %8s %10s %10s\n' lib try "alone ms" "beside ms" x-alone "TCP share" "our share"
  for lib in ${TCPFIRST_LIBS:-mudp enet}; do
    local xs="" tcps=""
    for t in $(seq "$n"); do
      start_path $name "$t" $limit
      transfer $lib $size $limit "$ns-s" "$ns-r" $S_IP $R_IP "$out/$lib-tcpfirst-alone-$t.log"
      stop_path
      local alone="-"
      delivered $size && alone=$(field "$tmp/send" time_ms)
      echo "$lib tcpfirst-alone try=$t $(grep '^result' "$tmp/send" | cut -d' ' -f2-) pause_ms=$(flow_field "^[^ ]+ $R_IP:46600\$" gap_ms)" >>"$log"
      start_path $name "$t" $((limit + 40))
      ip netns exec "$ns-r" timeout $((limit + 60)) iperf3 -s -1 >/dev/null 2>&1 &
      local server=$!; pids+=("$server"); wait_listen || true
      ip netns exec "$ns-s" timeout $((limit + 50)) iperf3 -c $R_IP -t $((limit + 20)) -C cubic -f k >/dev/null 2>&1 &
      local client=$!; pids+=("$client")
      sleep 8
      transfer $lib $size $limit "$ns-s" "$ns-r" $S_IP $R_IP "$out/$lib-tcpfirst-$t.log"
      finish "$client"
      finish "$server"
      stop_path
      local beside="-" start end tcp ours
      delivered $size && beside=$(field "$tmp/send" time_ms)
      start=$(field "$tmp/send" start_ms)
      end=$(awk -v s="${start:-0}" -v v="$(field "$tmp/send" verdict_ms)" -v l=$limit 'BEGIN { print s + (v > 0 ? v : l * 1000) }')
      tcp=$(awk -v b="$(bytes_between '^tcp ' "${start:-0}" "$end")" -v s="${start:-0}" -v e="$end" -v r="$up" \
        'BEGIN { if (e > s) printf "%.0f %%", 100 * b * 8 / (r * (e - s) / 1000); else print "-" }')
      ours=$(awk -v b="$(bytes_between "^udp [^ ]+ $R_IP:46600\$" "${start:-0}" "$end")" -v s="${start:-0}" -v e="$end" -v r="$up" \
        'BEGIN { if (e > s) printf "%.0f %%", 100 * b * 8 / (r * (e - s) / 1000); else print "-" }')
      printf '%-5s %-4s %10s %12s %8s %10s %10s\n' $lib "$t" "$alone" "$beside" "$(ratio "$beside" "$alone")" "$tcp" "$ours"
      xs="$xs $(ratio "$beside" "$alone")" tcps="$tcps ${tcp% %}"
      echo "$lib tcpfirst try=$t alone_ms=$alone $(grep '^result' "$tmp/send" | cut -d' ' -f2-) tcp_share=${tcp% %} our_share=${ours% %} pause_ms=$(flow_field "^[^ ]+ $R_IP:46600\$" gap_ms)" >>"$log"
      gzip -f "$out/$lib-tcpfirst-alone-$t.log" "$out/$lib-tcpfirst-$t.log" 2>/dev/null || true
    done
    echo "$lib: beside TCP $(echo "$xs" | median 2) x alone (median; target <= 2.2), TCP kept $(echo "$tcps" | median) % (target >= 35)"
  done
  echo
}
