#!/bin/bash
# Two peers behind separate NAT routers and a server on a shared segment, all
# in network namespaces this script makes and removes again:
#
#   server 10.77.0.10 --+-- 10.77.0.11 router A 10.77.1.1 -- 10.77.1.2 alice
#     (segment bridge)  +-- 10.77.0.12 router B 10.77.2.1 -- 10.77.2.2 bob
#
# The addresses exist only inside these namespaces. Each router masquerades
# what leaves its outside link, forwards inward only what belongs to a known
# flow, and drops new datagrams addressed to itself (so that an unsolicited
# datagram leaves no flow entry behind that would take the mapping a hole
# punch needs).
#
# Case "direct": both routers keep source ports; the hole punch succeeds and
# the data goes straight from alice to bob.
# Case "relay": router B picks a random port per flow; the hole punch fails
# after 21 cycles and the data goes through the server.
#
# Usage: nat-test.sh PATH-TO-mudp-peer ("" when the build has no peer tool).
# Exits 0 on success, 1 on failure and 77 when there is no peer tool or this
# host cannot build the namespaces (not root, no ip or iptables).
set -u

PEER=${1:-}
SKIP=77
skip() { echo "SKIP: $*"; exit $SKIP; }
fail() { echo "FAIL: $*"; show_outputs; exit 1; }
note() { echo "ok: $*"; }

[ -n "$PEER" ] || skip "no peer tool in this build"
[ -x "$PEER" ] || { echo "FAIL: the peer tool $PEER was not built"; exit 1; }
[ "$(id -u)" = 0 ] || skip "needs root"
command -v ip >/dev/null || skip "no ip command"
command -v timeout >/dev/null || skip "no timeout command"

SUFFIX=$(od -An -N4 -tx1 /dev/urandom | tr -d ' \n')
WORK=$(mktemp -d "${TMPDIR:-/tmp}/mudp-nat.XXXXXX") || exit 1
NAMESPACES=()
PIDS=()
IPT=

cleanup() {
  local pid ns
  for fd in 3 4 5; do eval "exec $fd>&-" 2>/dev/null; done
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  for ns in "${NAMESPACES[@]}"; do ip netns del "$ns" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
trap '' PIPE # a peer that died makes a write to its fifo fail, not this script

show_outputs() {
  local f
  for f in "$WORK"/*.out "$WORK"/*.err; do
    [ -s "$f" ] || continue
    echo "----- ${f##*/}"
    tail -n 60 "$f"
  done
}

# Waits until FILE holds a line matching the extended regex, at most SECONDS.
wait_for() {
  local file=$1 pattern=$2 seconds=$3 tries
  tries=$((seconds * 10))
  while ! grep -Eq -- "$pattern" "$file" 2>/dev/null; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}

count_lines() { grep -Ec -- "$2" "$1" 2>/dev/null; }

new_ns() {
  local ns="mudp-$1-$SUFFIX"
  ip netns add "$ns" || return 1
  NAMESPACES+=("$ns")
  ip -n "$ns" link set lo up || return 1
  echo "$ns" >"$WORK/ns-$1"
}
ns() { cat "$WORK/ns-$1"; }

# One iptables command in namespace NS.
ipt() { local n=$1; shift; ip netns exec "$n" "$IPT" "$@"; }

# Picks an iptables that can filter and translate inside a namespace here.
choose_iptables() {
  local probe=$1 candidate
  for candidate in iptables iptables-nft iptables-legacy; do
    command -v "$candidate" >/dev/null || continue
    if ip netns exec "$probe" "$candidate" -t nat -A POSTROUTING -o lo -j MASQUERADE --random-fully 2>/dev/null &&
      ip netns exec "$probe" "$candidate" -A INPUT -i lo -m conntrack --ctstate NEW -j ACCEPT 2>/dev/null; then
      ip netns exec "$probe" "$candidate" -t nat -F 2>/dev/null
      ip netns exec "$probe" "$candidate" -F 2>/dev/null
      IPT=$candidate
      return 0
    fi
  done
  return 1
}

# Router NAME between the segment (its "wan" link) and its own network
# ("lan"); MASQ_EXTRA is added to the masquerading rule.
setup_router() {
  local r=$1 masq_extra=$2
  ip netns exec "$r" sysctl -qw net.ipv4.ip_forward=1 || return 1
  ipt "$r" -t nat -A POSTROUTING -o wan -j MASQUERADE $masq_extra || return 1
  ipt "$r" -P FORWARD DROP || return 1
  ipt "$r" -A FORWARD -i lan -o wan -j ACCEPT || return 1
  ipt "$r" -A FORWARD -i wan -o lan -m conntrack --ctstate ESTABLISHED,RELATED -j ACCEPT || return 1
  ipt "$r" -A INPUT -i wan -m conntrack --ctstate NEW -j DROP || return 1
}

# Builds the namespaces and links; router B masquerades with ROUTER_B_EXTRA.
build_network() {
  local router_b_extra=$1 seg s ra rb a b
  for n in seg s ra rb a b; do new_ns "$n" || return 1; done
  seg=$(ns seg) s=$(ns s) ra=$(ns ra) rb=$(ns rb) a=$(ns a) b=$(ns b)

  ip -n "$seg" link add br0 type bridge || return 1
  ip -n "$seg" link set br0 up || return 1
  # Links are made inside the segment namespace so that names never meet
  # those of the host or of another run.
  ip -n "$seg" link add to-s type veth peer name eth0 netns "$s" || return 1
  ip -n "$seg" link add to-ra type veth peer name wan netns "$ra" || return 1
  ip -n "$seg" link add to-rb type veth peer name wan netns "$rb" || return 1
  for l in to-s to-ra to-rb; do
    ip -n "$seg" link set "$l" master br0 up || return 1
  done
  ip -n "$ra" link add lan type veth peer name eth0 netns "$a" || return 1
  ip -n "$rb" link add lan type veth peer name eth0 netns "$b" || return 1

  ip -n "$s" addr add 10.77.0.10/24 dev eth0 && ip -n "$s" link set eth0 up || return 1
  ip -n "$ra" addr add 10.77.0.11/24 dev wan && ip -n "$ra" link set wan up || return 1
  ip -n "$rb" addr add 10.77.0.12/24 dev wan && ip -n "$rb" link set wan up || return 1
  ip -n "$ra" addr add 10.77.1.1/24 dev lan && ip -n "$ra" link set lan up || return 1
  ip -n "$rb" addr add 10.77.2.1/24 dev lan && ip -n "$rb" link set lan up || return 1
  ip -n "$a" addr add 10.77.1.2/24 dev eth0 && ip -n "$a" link set eth0 up || return 1
  ip -n "$b" addr add 10.77.2.2/24 dev eth0 && ip -n "$b" link set eth0 up || return 1
  ip -n "$a" route add default via 10.77.1.1 || return 1
  ip -n "$b" route add default via 10.77.2.1 || return 1

  if [ -z "$IPT" ]; then
    choose_iptables "$ra" || return 2
  fi
  setup_router "$ra" "" || return 2
  setup_router "$rb" "$router_b_extra" || return 2
}

remove_network() {
  local n
  for n in seg s ra rb a b; do
    [ -f "$WORK/ns-$n" ] || continue
    ip netns del "$(ns "$n")" 2>/dev/null
    rm -f "$WORK/ns-$n"
  done
}

# start_peer TAG FD NAMESPACE ARGS...: the peer reads commands from a fifo
# held open on FD and writes its events to $WORK/TAG.out.
start_peer() {
  local tag=$1 fd=$2 n=$3
  shift 3
  mkfifo "$WORK/$tag.in" || return 1
  : >"$WORK/$tag.out"
  ip netns exec "$n" timeout 150 "$PEER" "$@" <"$WORK/$tag.in" >"$WORK/$tag.out" 2>"$WORK/$tag.err" &
  PIDS+=($!)
  eval "exec $fd>\"$WORK/$tag.in\""
}

say() { local fd=$1; shift; echo "$*" >&"$fd"; }

# Ends the three peers: "quit", then their exit within a bounded time.
# Returns the number of peers that did not exit with 0.
stop_peers() {
  local pid tries status bad=0
  say 3 quit; say 4 quit; say 5 quit
  for fd in 3 4 5; do eval "exec $fd>&-"; done
  for pid in "${PIDS[@]}"; do
    tries=50
    while kill -0 "$pid" 2>/dev/null && [ "$tries" -gt 0 ]; do sleep 0.1; tries=$((tries - 1)); done
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    status=$?
    [ "$status" = 0 ] || { echo "peer $pid exited with $status"; bad=$((bad + 1)); }
  done
  PIDS=()
  return "$bad"
}

# run_case NAME ROUTER_B_EXTRA
run_case() {
  local name=$1 extra=$2 rc msg
  rm -f "$WORK"/*.in "$WORK"/*.out "$WORK"/*.err
  build_network "$extra"
  rc=$?
  if [ "$rc" -ne 0 ]; then
    skip "cannot build the namespaces and NAT routers here (step failed with $rc)"
  fi
  note "$name: network built (iptables: $IPT)"

  start_peer s 3 "$(ns s)" --name server --addr 10.77.0.10 --port 45454 --serve-only
  wait_for "$WORK/s.out" '^bound 45454' 30 || fail "$name: the server did not start"
  start_peer a 4 "$(ns a)" --name alice --addr 10.77.1.2 --port 45460 --server 10.77.0.10:45454
  wait_for "$WORK/a.out" '^log .*Reg Sucess' 30 || fail "$name: alice did not register"
  start_peer b 5 "$(ns b)" --name bob --addr 10.77.2.2 --port 45470 --server 10.77.0.10:45454
  wait_for "$WORK/b.out" '^log .*Reg Sucess' 30 || fail "$name: bob did not register"
  wait_for "$WORK/a.out" '^users:.* bob 10\.77\.0\.12:' 30 || fail "$name: alice never listed bob"
  note "$name: both registered through their routers"

  # The server must see the routers' outside addresses, not the hosts'.
  grep -Eq '^users:.* bob 10\.77\.0\.12:[0-9]+ via 10\.77\.0\.10:45454 access=0' "$WORK/a.out" ||
    fail "$name: bob is not listed under router B's address"
  if [ "$name" = direct ]; then
    grep -Eq '^users:.* bob 10\.77\.0\.12:45470 ' "$WORK/a.out" || fail "$name: router B changed bob's port"
  else
    grep -Eq '^users:.* bob 10\.77\.0\.12:45470 ' "$WORK/a.out" && fail "$name: router B kept bob's port"
  fi

  msg="hello-$name-through-nat"
  say 4 "send user bob $msg"
  wait_for "$WORK/a.out" '^log .*Hole (Sucess To |Failed To)' 60 || fail "$name: the hole punch never ended"
  wait_for "$WORK/b.out" "^data ${#msg} $msg\$" 30 || fail "$name: bob did not get the data"
  say 4 "wait 500"
  say 3 "wait 500"
  sleep 0.7

  if [ "$name" = direct ]; then
    grep -q 'Hole Sucess To bob 10.77.0.12:45470' "$WORK/a.out" || fail "$name: no hole punched"
    grep -q 'Send data via server to ' "$WORK/a.out" && fail "$name: alice relayed the data"
    grep -q 'Packet Transfer Data Received:' "$WORK/s.out" && fail "$name: the server relayed data"
    note "$name: hole punched, data went straight to bob"
  else
    grep -q 'Hole Failed To' "$WORK/a.out" || fail "$name: no failed hole punch"
    wait_for "$WORK/a.out" 'Send data via server to bob 10\.77\.0\.12:' 30 || fail "$name: alice did not relay"
    grep -q 'Packet Transfer Data Received:' "$WORK/s.out" || fail "$name: the server relayed nothing"
    local asked
    asked=$(count_lines "$WORK/s.out" 'Packet Transfer Hole Request Received:')
    [ "$asked" = 21 ] || fail "$name: the server forwarded $asked hole requests, not 21"
    note "$name: 21 cycles failed, data relayed through the server"
  fi
  [ "$(count_lines "$WORK/b.out" "^data ")" = 1 ] || fail "$name: bob got the data more than once"

  stop_peers || fail "$name: a peer did not end cleanly"
  remove_network
}

run_case direct ""
run_case relay "--random-fully"
echo "PASS"
exit 0
