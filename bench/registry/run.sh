#!/bin/bash
# Registry benchmark: one server process and four to fifty client processes
# in a network namespace of their own, for 50 to 1,000 clients.
#   bench/registry/run.sh [path/to/registry_bench]
# Without a path it builds the benchmark first (Release, in build-bench, or
# MUDP_BENCH_BUILD). Environment: SIZES (default "50 100 200 500 1000"),
# STEADY seconds (default 15), CLIENT_NICE (niceness of the client
# processes; default 10 above ten client processes, else 0).
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
sizes=${SIZES:-50 100 200 500 1000}
steady=${STEADY:-15}
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
  timeout 260 "$bin" server "$n" "$procs" "$steady" "$dir" >"$dir/server.out" 2>"$dir/server.err" &
  server=$!
  for _ in $(seq 100); do [ -e "$dir/server.ready" ] && break; sleep 0.05; done
  per=$(( (n + procs - 1) / procs ))
  pids=()
  for p in $(seq 0 $((procs - 1))); do
    first=$((p * per))
    count=$(( n - first < per ? n - first : per ))
    timeout 260 nice -n "$nice" "$bin" clients "$n" "$first" "$count" "$p" "$dir" >"$dir/clients.$p.out" 2>&1 &
    pids+=($!)
  done
  status=0
  wait "$server" || status=$?
  for pid in "${pids[@]}"; do wait "$pid" || status=$?; done
  echo "== $n clients"
  cat "$dir"/clients.*.out
  grep '^words' "$dir/server.out" || true
  awk '/^Udp:/ { if (!h) { split($0, k); h = 1 } else { for (i = 2; i <= NF; i++) printf "%s%s=%s", (i > 2 ? " " : "udp: "), k[i], $i; print "" } }' /proc/net/snmp
  grep '^RESULT' "$dir/server.out" >>"$work/results" || { echo "no result for $n clients"; cat "$dir/server.err"; }
  [ $status -eq 0 ] || echo "warning: a process of the $n-client run failed ($status)"
done

echo
awk '
function v(k,   i, kv) { for (i = 2; i <= NF; i++) { split($i, kv, "="); if (kv[1] == k) return kv[2] } return "" }
BEGIN {
  printf "%8s %8s %9s %9s %9s %10s %11s %9s %10s %10s %10s %12s %12s\n",
         "clients", "reg s", "cpu s", "rss MiB", "+rss MiB", "datagrams", "list MiB", "pushes",
         "list/N^3", "last/N^2", "cpu ms", "steady cpu", "steady KiB"
  printf "%8s %8s %9s %9s %9s %10s %11s %9s %10s %10s %10s %12s %12s\n",
         "", "", "(server)", "peak", "over idle", "sent", "sent", "", "bytes", "bytes", "per MiB",
         "s/min", "per min"
}
/^RESULT/ {
  n = v("clients")
  note = ""
  if (v("complete") != 1) note = sprintf("  (incomplete: %d of %d registered)", v("registered"), n)
  else if (v("remaining") != n) note = sprintf("  (%d of %d registered after the steady window)", v("remaining"), n)
  printf "%8d %8.2f %9.2f %9.1f %9.1f %10d %11.1f %9d %10.1f %10.1f %10.1f %12.3f %12.1f%s\n",
         n, v("reg_s"), v("reg_cpu_s"), v("peak_rss_kb") / 1024, (v("peak_rss_kb") - v("idle_rss_kb")) / 1024,
         v("datagrams"), v("list_bytes") / 1048576, v("pushes"), v("list_bytes") / (n * n * n),
         v("largest_list_bytes") / (n * n), 1000 * v("reg_cpu_s") / (v("list_bytes") / 1048576),
         v("steady_cpu_s_per_min"), v("steady_bytes_per_min") / 1024,
         note
}' "$work/results"
