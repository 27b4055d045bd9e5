# Sourced by run.sh: the path table (tries of each library over one path and
# size, one row each) and the forwarder's own check.

HEAD_FMT='%-9s %-6s %-4s %6s %9s %9s %9s %6s %6s %7s %6s %6s %6s %6s %-8s %s\n'
print_head() {
  printf "$HEAD_FMT" path size lib ok median worst ideal x-ideal x-ENet dg/need fb% dup% qd% wire/S "s/f/n" "repeats per try"
  printf "$HEAD_FMT" "" "" "" "" ms ms ms "" "" "" "" "" "" "" "" ""
}

# The forwarder's counters of one try, summed over the row's tries.
declare -A SUM
sum_counters() { # lib
  local up_all
  up_all=$(($(counter up data) + $(counter up request) + $(counter up received) + $(counter up feedback) + $(counter up other)))
  SUM[dgs]=$((SUM[dgs] + up_all))
  SUM[data]=$((SUM[data] + $(counter up data)))
  SUM[fb]=$((SUM[fb] + $(counter down request) + $(counter down feedback)))
  SUM[wire]=$((SUM[wire] + $(counter up bytes)))
  SUM[dup]=$((SUM[dup] + $(counter up duplicates)))
  SUM[qdrop]=$((SUM[qdrop] + $(counter up queue_drops)))
  SUM[offered]=$((SUM[offered] + $(counter up offered)))
}
share_pct() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.1f", 100 * a / b; else print "-" }'; }

# Tries of one library over one path (or loopback) and size; prints a row.
# Sets row_median, row_worst and row_holds for the caller.
row_median="-" row_worst="-" row_holds=""
run_row() { # lib path size ntries enet-median
  local lib=$1 name=$2 size=$3 n=$4 enet_median=$5
  local up_bits rtt ideal limit times="" ok=0 s=0 f=0 none=0 repeats="" t holds=""
  SUM=([dgs]=0 [data]=0 [fb]=0 [wire]=0 [dup]=0 [qdrop]=0 [offered]=0)
  if [ "$name" = loopback ] || [ "$name" = lo-2mbit ]; then
    rtt=0
    up_bits=$([ "$name" = loopback ] && echo 0 || echo 2000000)
  else
    rtt=${P_RTT_MS[$name]}
    up_bits=$(bits "${P_UP[$name]}")
  fi
  if [ "$up_bits" = 0 ]; then ideal="-"; limit=60; else ideal=$(ideal_ms "$rtt" "$size" "$up_bits"); limit=$(limit_s "$ideal"); fi
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
    local verdict time
    verdict=$(field "$tmp/send" verdict)
    time=$(field "$tmp/send" time_ms)
    holds="$holds $(field "$tmp/send" hold_ms)"
    case "$verdict" in success) s=$((s + 1)) ;; failed) f=$((f + 1)) ;; *) none=$((none + 1)) ;; esac
    local intact=0
    if delivered "$size"; then ok=$((ok + 1)); times="$times $time"; intact=1; fi
    [ "$lib" = mudp ] && repeats="${repeats:+$repeats,}$(field "$tmp/send" repeats)"
    local counts=""
    if [ -s "$tmp/counters" ] && [ "$name" != loopback ] && [ "$name" != lo-2mbit ]; then
      sum_counters
      counts="pause_ms=$(flow_field "^[^ ]+ $R_IP:46600\$" gap_ms) up[$(awk '$1 == "up" { $1 = ""; printf "%s", $0 }' "$tmp/counters") ] down[$(awk '$1 == "down" { $1 = ""; printf "%s", $0 }' "$tmp/counters") ]"
      rm -f "$tmp/counters"
    fi
    echo "$lib $name $size try=$t $(grep '^result' "$tmp/send" | cut -d' ' -f2-) intact=$intact limit_s=$limit $counts" >>"$log"
    [ -s "$logfile" ] && gzip -f "$logfile"
  done
  row_median=$(echo "$times" | median)
  row_worst=$(echo "$times" | worst)
  row_holds=$holds
  local dgneed="-" fbshare="-" wirer="-" dupshare="-" qdshare="-" needed=$(($(datagrams_for "$size") * n))
  if [ "${SUM[dgs]}" -gt 0 ] || [ "${SUM[wire]}" -gt 0 ]; then
    if [ "$lib" = mudp ]; then
      dgneed=$(awk -v a="${SUM[dgs]}" -v b="$needed" 'BEGIN { printf "%.2f", a / b }')
      fbshare=$(share_pct "${SUM[fb]}" "${SUM[data]}")
      dupshare=$(share_pct "${SUM[dup]}" "$needed")
    fi
    qdshare=$(share_pct "${SUM[qdrop]}" "${SUM[offered]}")
    wirer=$(awk -v a="${SUM[wire]}" -v b="$((size * n))" 'BEGIN { printf "%.2f", a / b }')
  fi
  local xenet="-"
  [ "$lib" = mudp ] && xenet=$(ratio "$row_median" "$enet_median")
  printf "$HEAD_FMT" "$name" "$(label_of "$size" | tr -d ' ')" "$lib" "$ok/$n" "$row_median" "$row_worst" "$ideal" \
    "$(ratio "$row_median" "$ideal")" "$xenet" "$dgneed" "$fbshare" "$dupshare" "$qdshare" "$wirer" "$s/$f/$none" \
    "${repeats:--}"
}

tries_for() { # ideal-ms
  if [ -n "$tries" ]; then echo "$tries"; return; fi
  awk -v i="$1" 'BEGIN { print (i != "-" && i > 60000) ? 2 : 5 }'
}

# Sizes of a path: the ones asked for, else the path's own (reordering and
# the satellite: 1 MiB and 4 MiB, the sizes of their targets).
sizes_of() { # path
  if [ -n "$sizes" ]; then echo "$sizes"; return; fi
  case "$1" in reorder | satellite) echo "1m 4m" ;; *) echo "64k 1m 15m" ;; esac
}

path_table() {
  print_head
  local name sz size ideal n
  for name in $paths; do
    [ -n "${P_UP[$name]:-}" ] || { echo "unknown path $name" >&2; continue; }
    for sz in $(sizes_of "$name"); do
      size=$(bytes_of "$sz")
      [ "$name" = symmetric ] && [ "$size" -gt 1048576 ] && continue # 15 MiB at 1 Mbit/s up: left out
      ideal=$(ideal_ms "${P_RTT_MS[$name]}" "$size" "$(bits "${P_UP[$name]}")")
      n=$(tries_for "$ideal")
      # A row that goes wrong is reported and the run goes on.
      run_row enet "$name" "$size" "$n" - >"$tmp/enet_row" || echo "(enet $name $size: the row failed)"
      local enet_med=$row_median
      run_row mudp "$name" "$size" "$n" "$enet_med" || echo "(mudp $name $size: the row failed)"
      cat "$tmp/enet_row"
    done
  done
  echo
}

# --- the forwarder's own check ------------------------------------------------
forwarder_check() {
  echo "forwarder check: ping RTT (idle) and iperf3 TCP goodput per path"
  printf '%-9s %10s %10s %10s %13s %8s %13s %8s %9s\n' path "rtt set" "ping rtt" "up set" "TCP up" "down set" \
    "TCP down" "loss set" "loss up"
  local name rtt server upr downr lost
  for name in $paths; do
    start_path "$name" 1 60
    rtt=$(in_s ping -n -q -c 20 -i 0.1 $R_IP | awk -F/ '/^rtt/ { print $5 }' || true)
    ip netns exec "$ns-r" timeout 40 iperf3 -s -1 >/dev/null 2>&1 &
    server=$!; pids+=("$server"); wait_listen || true
    upr=$(in_s timeout 30 iperf3 -c $R_IP -t 8 -f m | awk '/receiver/ { print $7 }' || true)
    reap "$server"
    ip netns exec "$ns-r" timeout 40 iperf3 -s -1 >/dev/null 2>&1 &
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
}
