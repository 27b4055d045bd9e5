#!/bin/bash
# Registry benchmark: one server process and four to fifty client processes
# in a network namespace of their own, for 50 to 3,000 clients; a single
# join and leave at 150 clients and at the largest size, and churn at the
# largest size.
#   bench/registry/run.sh [path/to/registry_bench]
# Without a path it builds the benchmark first (Release, in build-bench, or
# MUDP_BENCH_BUILD). Environment: SIZES (default "50 150 500 1000 2000 3000"),
# STEADY seconds (default 15), CLIENT_NICE (niceness of the client
# processes; default 10 above ten client processes, else 0), REG_LIMIT
# (seconds for registration, default 180), PROBE_SIZES (sizes with a single
# join and leave, default 150 and the largest), PROBE_LIMIT (default 60),
# CHURN (seconds of churn at the largest size, default 60; 0 none),
# AGREE_LIMIT (default 60).
set -euo pipefail
if [ -z "${MUDP_BENCH_NETNS:-}" ]; then
  root="$(cd "$(dirname "$0")/../.." && pwd)"
  if [ $# -eq 0 ]; then
    build=${MUDP_BENCH_BUILD:-$root/build-bench}
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" -j2 --target registry_bench >/dev/null
    set -- "$build/bench/registry/registry_bench"
  fi
  exec env MUDP_BENCH_NETNS=1 unshare -rn bash "$0" "$@"
fi
ip link set lo up
ip addr add 127.0.0.2/32 dev lo

here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-$here/../../build/bench/registry/registry_bench}
sizes=${SIZES:-50 150 500 1000 2000 3000}
largest=$(echo $sizes | tr ' ' '\n' | sort -n | tail -1)
probe_sizes=${PROBE_SIZES:-150 $largest}
steady=${STEADY:-15}
export REG_LIMIT=${REG_LIMIT:-180} PROBE_LIMIT=${PROBE_LIMIT:-60} AGREE_LIMIT=${AGREE_LIMIT:-60}
churn_s=${CHURN:-60}
export CHURN_PROCS=5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for n in $sizes; do
  dir=$work/$n
  # Ten client units per process up to 500 clients, at least four
  # processes, and at most fifty: units of one process share its thread,
  # and every acknowledgement of one waits with events, so their waits add
  # up (with 25 units a process, 500 clients took 30 s to register and at
  # times did not settle); a hundred processes on two cores starve instead.
  procs=$(( n > 500 ? 50 : n > 100 ? (n + 9) / 10 : 4 ))
  # The clients stand for peers on other machines. Dozens of client
  # processes at the server's priority would leave it a small share of the
  # two cores; a few of them fare worse niced when the machine is busy.
  nice=${CLIENT_NICE:-$(( procs > 10 ? 10 : 0 ))}
  mkdir -p "$dir"
  # The phases of this size, and a life for every process that covers them all.
  export PROBE=0 CHURN=0 CLIENT_PROCS=$procs
  for s in $probe_sizes; do [ "$s" = "$n" ] && PROBE=1; done
  [ "$n" = "$largest" ] && CHURN=$churn_s
  export LIFE=$((REG_LIMIT + 5 + steady + PROBE * (2 * PROBE_LIMIT + 6) + (CHURN > 0 ? CHURN + 1 + AGREE_LIMIT : 0) + 30))
  timeout $((LIFE + 30)) "$bin" server "$n" "$procs" "$steady" "$dir" >"$dir/server.out" 2>"$dir/server.err" &
  server=$!
  for _ in $(seq 100); do [ -e "$dir/server.ready" ] && break; sleep 0.05; done
  per=$(( (n + procs - 1) / procs ))
  pids=()
  for p in $(seq 0 $((procs - 1))); do
    first=$((p * per))
    count=$(( n - first < per ? n - first : per ))
    timeout $((LIFE + 30)) nice -n "$nice" "$bin" clients "$n" "$first" "$count" "$p" "$dir" >"$dir/clients.$p.out" 2>&1 &
    pids+=($!)
  done
  if [ $PROBE = 1 ]; then
    timeout $((LIFE + 30)) nice -n "$nice" "$bin" probe "$n" "$dir" >"$dir/probe.out" 2>&1 &
    pids+=($!)
  fi
  if [ "$CHURN" -gt 0 ]; then
    for j in $(seq 0 $((CHURN_PROCS - 1))); do
      timeout $((LIFE + 30)) nice -n "$nice" "$bin" joiner "$n" "$j" $((procs + j)) "$dir" >"$dir/joiner.$j.out" 2>&1 &
      pids+=($!)
    done
  fi
  status=0
  wait "$server" || status=$?
  for pid in "${pids[@]}"; do wait "$pid" || status=$?; done
  echo "== $n clients"
  cat "$dir"/clients.*.out
  cat "$dir"/joiner.*.out 2>/dev/null || true
  grep '^words' "$dir/server.out" || true
  grep -h '^PROBE\|^CHURN' "$dir/server.out" >>"$work/phases" || true
  awk '/^Udp:/ { if (!h) { split($0, k); h = 1 } else { for (i = 2; i <= NF; i++) printf "%s%s=%s", (i > 2 ? " " : "udp: "), k[i], $i; print "" } }' /proc/net/snmp
  grep '^RESULT' "$dir/server.out" >>"$work/results" || { echo "no result for $n clients"; cat "$dir/server.err"; }
  [ $status -eq 0 ] || echo "warning: a process of the $n-client run failed ($status)"
done

echo
awk '
function v(k,   i, kv) { for (i = 2; i <= NF; i++) { split($i, kv, "="); if (kv[1] == k) return kv[2] } return "" }
BEGIN {
  printf "%8s %8s %9s %9s %9s %10s %9s %11s %9s %10s %10s %10s %12s %12s %9s %9s\n",
         "clients", "reg s", "cpu s", "rss MiB", "+rss MiB", "datagrams", "MiB", "list MiB", "pushes",
         "list/N^3", "last/N^2", "cpu ms", "steady cpu", "steady KiB", "stall ms", "stall ms"
  printf "%8s %8s %9s %9s %9s %10s %9s %11s %9s %10s %10s %10s %12s %12s %9s %9s\n",
         "", "", "(server)", "peak", "over idle", "sent", "sent", "sent", "", "bytes", "bytes", "per MiB",
         "s/min", "per min", "reg", "steady"
}
/^RESULT/ {
  n = v("clients")
  note = ""
  if (v("complete") != 1) note = sprintf("  (incomplete: %d of %d registered)", v("registered"), n)
  else if (v("remaining") != n) note = sprintf("  (%d of %d registered after the steady window)", v("remaining"), n)
  printf "%8d %8.2f %9.2f %9.1f %9.1f %10d %9.1f %11.1f %9d %10.1f %10.1f %10.1f %12.3f %12.1f %9.1f %9.1f%s\n",
         n, v("reg_s"), v("reg_cpu_s"), v("peak_rss_kb") / 1024, (v("peak_rss_kb") - v("idle_rss_kb")) / 1024,
         v("datagrams"), v("bytes") / 1048576, v("list_bytes") / 1048576, v("pushes"), v("list_bytes") / (n * n * n),
         v("largest_list_bytes") / (n * n), 1000 * v("reg_cpu_s") / (v("list_bytes") / 1048576),
         v("steady_cpu_s_per_min"), v("steady_bytes_per_min") / 1024, v("reg_max_stall_ms"),
         v("steady_max_stall_ms"), note
}' "$work/results"

[ -s "$work/phases" ] || exit 0
echo
awk '
function v(k,   i, kv) { for (i = 2; i <= NF; i++) { split($i, kv, "="); if (kv[1] == k) return kv[2] } return "" }
function t(ms) { return ms < 0 ? sprintf("not within %d s", limit) : sprintf("%.2f s", ms / 1000) }
BEGIN { limit = ENVIRON["PROBE_LIMIT"] }
/^PROBE/ {
  if (!h++) printf "%8s  %-6s %18s %11s %12s %12s %10s\n", "clients", "change", "in every list", "datagrams", "KiB",
                  "datagrams/N", "bytes/N"
  n = v("clients")
  split("join leave", what, " ")
  for (w = 1; w <= 2; w++) {
    e = what[w]
    printf "%8d  %-6s %18s %11d %12.1f %12.2f %10.0f\n", n, e, t(v(e "_ms")), v(e "_datagrams"), v(e "_bytes") / 1024,
           v(e "_datagrams") / n, v(e "_bytes") / n
  }
}
/^CHURN/ {
  n = v("clients"); c = v("changes")
  printf "\nchurn at %d clients: %d changes in %d s (5 joins and 5 leaves a second; clients %d before, %d at its end, %d at the check)\n",
         n, c, v("seconds"), v("clients_before"), v("clients_after"), v("clients_final")
  printf "  server during the churn: %d datagrams, %.1f MiB; %.2f CPU s = %.0f %% of a core; peak RSS %.1f MiB; event loop stalls: longest %.1f ms, %d over 10 ms\n",
         v("datagrams"), v("bytes") / 1048576, v("cpu_s"), 100 * v("cpu_s") / v("seconds"), v("peak_rss_kb") / 1024,
         v("max_stall_ms"), v("stalls_over_10ms")
  printf "  until every list agreed: %d datagrams (%.1f per change, %.1f per change and client), %.0f bytes per change\n",
         v("datagrams_until_agreed"), v("datagrams_per_change"), v("datagrams_per_change") / n, v("bytes_per_change")
  a = v("agree_ms")
  if (a < 0) printf "  every live-user list equal to the server'"'"'s client list: not within %d s after the churn\n", v("agree_limit_s")
  else printf "  every live-user list equal to the server'"'"'s client list %.2f s after the churn\n", a / 1000
}' "$work/phases"
