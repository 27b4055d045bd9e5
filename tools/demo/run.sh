#!/bin/bash
# Live demo: a server and two clients, each a mudp-peer process, register,
# see each other in their user lists, and exchange data directly and, where
# the address translators forbid a direct path, through the server. Then a
# closed network: two peers with a shared key exchange a message, a third
# without it is refused.
#
# As root the peers live in network namespaces of their own behind two NAT
# routers (one of them maps every new destination to a random port, so hole
# punching between the clients fails and the relay is shown). Without root
# they run on loopback addresses inside an unprivileged namespace.
#
# Usage: tools/demo/run.sh BUILD_DIR
#   MUDP_DEMO_MODE=loopback   skip the NAT setup even as root
#   MUDP_DEMO_VERBOSE=1       also show heartbeats and delivery receipts
set -uo pipefail

build=${1:-}
if [ -z "$build" ] || [ ! -d "$build" ]; then
    echo "usage: $0 BUILD_DIR (the build tree holding tools/peer/mudp-peer)" >&2
    exit 2
fi
PEER=$(cd "$build" && pwd)/tools/peer/mudp-peer
if [ ! -x "$PEER" ]; then
    echo "$0: $PEER not found; build the project first" >&2
    exit 2
fi
mode=${MUDP_DEMO_MODE:-nat}

# --- the network ----------------------------------------------------------
# NAT mode:                 pub (10.77.0.0/24, bridge)
#                           server 10.77.0.1
#                 r1 10.77.0.11              r2 10.77.0.12
#          MASQUERADE |                           | MASQUERADE --random-fully
#          10.77.1.1  |                           | 10.77.2.1
#            alice 10.77.1.10              bob 10.77.2.10
ns_prefix="mudp-demo-$$"
namespaces=()

delete_namespaces() {
    local ns
    for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null; done
    namespaces=()
}

add_ns() {
    ip netns add "$ns_prefix-$1" || return 1
    namespaces+=("$ns_prefix-$1")
    ip -n "$ns_prefix-$1" link set lo up
}

# A router in namespace $1: WAN $2 on the pub bridge, LAN $3/24 towards the
# client namespace $4 at $5. Extra MASQUERADE options follow.
add_router() {
    local id=$1 r=$ns_prefix-$1 wan=$2 lan=$3 client=$ns_prefix-$4 caddr=$5; shift 5
    ip -n "$ns_prefix-pub" link add "pub-$id" type veth peer name wan netns "$r" || return 1
    ip -n "$ns_prefix-pub" link set "pub-$id" master br0 up || return 1
    ip -n "$r" addr add "$wan/24" dev wan && ip -n "$r" link set wan up || return 1
    ip -n "$r" link add lan type veth peer name eth0 netns "$client" || return 1
    ip -n "$r" addr add "$lan/24" dev lan && ip -n "$r" link set lan up || return 1
    ip -n "$client" addr add "$caddr/24" dev eth0 && ip -n "$client" link set eth0 up || return 1
    ip -n "$client" route add default via "$lan" || return 1
    ip netns exec "$r" sysctl -qw net.ipv4.ip_forward=1 || return 1
    local ipt=(ip netns exec "$r" iptables)
    "${ipt[@]}" -t nat -A POSTROUTING -o wan -j MASQUERADE "$@" || return 1
    "${ipt[@]}" -P FORWARD DROP || return 1
    "${ipt[@]}" -A FORWARD -i lan -o wan -j ACCEPT || return 1
    "${ipt[@]}" -A FORWARD -i wan -o lan -m conntrack --ctstate ESTABLISHED,RELATED -j ACCEPT || return 1
    "${ipt[@]}" -A INPUT -i lo -j ACCEPT || return 1
    "${ipt[@]}" -A INPUT -m conntrack --ctstate NEW -j DROP || return 1
}

setup_nat() {
    [ "$(id -u)" = 0 ] || { echo "not root" >&2; return 1; }
    command -v iptables >/dev/null || { echo "no iptables" >&2; return 1; }
    add_ns pub && add_ns r1 && add_ns r2 && add_ns alice && add_ns bob || return 1
    ip -n "$ns_prefix-pub" link add br0 type bridge || return 1
    ip -n "$ns_prefix-pub" addr add 10.77.0.1/24 dev br0 && ip -n "$ns_prefix-pub" link set br0 up || return 1
    add_router r1 10.77.0.11 10.77.1.1 alice 10.77.1.10 || return 1
    add_router r2 10.77.0.12 10.77.2.1 bob 10.77.2.10 --random-fully || return 1
}

# The namespaces go on every exit, also when the setup fails half-way.
trap delete_namespaces EXIT
trap 'exit 130' INT TERM
if [ -z "${MUDP_DEMO_INNER:-}" ] && [ "$mode" != loopback ]; then
    setup_errors=$(mktemp)
    if ! setup_nat 2>"$setup_errors"; then
        echo "(no NAT setup here: $(head -c 200 "$setup_errors" | tr '\n' ' ')-- running on loopback addresses)"
        delete_namespaces
        mode=loopback
    fi
    rm -f "$setup_errors"
fi
if [ "$mode" = loopback ] && [ -z "${MUDP_DEMO_INNER:-}" ]; then
    # An unprivileged namespace of our own: only its loopback exists.
    MUDP_DEMO_INNER=1 MUDP_DEMO_MODE=loopback exec unshare -rn bash "$0" "$@"
fi
if [ "$mode" = loopback ]; then
    ip link set lo up && ip addr add 127.0.0.2/32 dev lo || { echo "$0: cannot set up loopback" >&2; exit 1; }
fi

# --- transcript -----------------------------------------------------------
work=$(mktemp -d /tmp/mudp-demo.XXXXXX)
if [ -t 1 ]; then
    bold=$'\e[1m' green=$'\e[32m' cyan=$'\e[36m' yellow=$'\e[33m' magenta=$'\e[35m' red=$'\e[31m' dim=$'\e[2m' off=$'\e[0m'
else
    bold='' green='' cyan='' yellow='' magenta='' red='' dim='' off=''
fi

step() { printf '\n%s=== %s ===%s\n' "$bold" "$*" "$off"; }
note() { printf '%s    %s%s\n' "$dim" "$*" "$off"; }

# Prefixes each output line of peer $1 with its name, marks the steps worth
# seeing and keeps a copy in $work/$1.out for the waits below.
format_peer() {
    local name=$1 line text tag colour kind punching=''
    while IFS= read -r line; do
        printf '%s\n' "$line" >>"$work/$name.out"
        case $line in
            "create instance"|"clear instance"|"") continue ;;
        esac
        text=${line#log }
        tag='' colour=''
        case $line in
            *"Accept peer unregist"*|*"UnReg Sucess"*|*"Unregist peer accepted"*) tag=UNREGISTER colour=$green ;;
            *"Reg Sucess"*|*"Accept peer regist"*|*"Peer regist accepted"*) tag=REGISTER colour=$green ;;
            "servers:"*|"clients:"*|"users:"*) tag=LIST colour=$cyan ;;
            "data "*) tag=RECEIVED colour=$yellow ;;
            *"Send data via server"*|*"Packet Transfer Data Received"*) tag=RELAY colour=$magenta ;;
            *"Hole Sucess"*|*"Hole Failed"*) tag=HOLE colour=$magenta ;;
            mudp-peer:*) tag=ERROR colour=$red ;;
            *"Secure channel drop"*) tag=REFUSED colour=$red ;;
            *"Hole Request Received"*|*"Hole to:"*)
                # Punching repeats these twenty times: show the first of a run.
                if [ -z "${MUDP_DEMO_VERBOSE:-}" ]; then
                    kind=${text##*Hole to:}
                    [ "$kind" = "$text" ] && kind=request
                    [ "$punching" = "$kind" ] && continue
                    punching=$kind
                    text="$text (repeated while punching)"
                fi ;;
            *HeartBeat*|*"delete registed"*|*"Delete expired buffer"*|*"Packet send success"*|*"Packet Received"*)
                [ -n "${MUDP_DEMO_VERBOSE:-}" ] || continue ;;
        esac
        case $line in *"Hole Request Received"*|*"Hole to:"*) ;; *) punching='' ;; esac
        if [ -n "$tag" ]; then
            printf '%-6s| %s%-10s %s%s\n' "$name" "$colour$bold" "$tag" "$text" "$off"
        else
            printf '%-6s| %s           %s%s\n' "$name" "$dim" "$text" "$off"
        fi
    done
}

declare -A input_fd
peer_jobs=()

# Starts peer $1 in namespace $2 (empty: this one) with the tool arguments
# that follow; its commands come through the fd in input_fd[$1].
start_peer() {
    local name=$1 ns=$2; shift 2
    local run=(timeout 110 "$PEER" --name "$name" "$@")
    [ -n "$ns" ] && run=(ip netns exec "$ns_prefix-$ns" "${run[@]}")
    mkfifo "$work/$name.in"
    : >"$work/$name.out"
    (
        # Other peers' input stays closed here, so each sees its own end.
        for fd in "${input_fd[@]}"; do eval "exec $fd>&-"; done
        { echo "$BASHPID" >"$work/$name.pid"; exec "${run[@]}" <"$work/$name.in" 2>&1; } | format_peer "$name"
    ) &
    peer_jobs+=($!)
    local fd
    exec {fd}>"$work/$name.in"
    input_fd[$name]=$fd
}

tell() { local name=$1; shift; printf '%s\n' "$*" >&"${input_fd[$name]}"; }

# Waits up to $3 seconds for output of peer $1 matching $2.
wait_for() {
    local i
    for ((i = 0; i < $3 * 10; i++)); do
        grep -qE -- "$2" "$work/$1.out" && return 0
        sleep 0.1
    done
    printf '%s(%s did not show "%s" within %s s)%s\n' "$red" "$1" "$2" "$3" "$off"
    return 1
}

cleanup() {
    trap - EXIT
    trap '' INT TERM # finish cleaning up whatever arrives
    local fd pid
    for fd in "${input_fd[@]}"; do eval "exec $fd>&-"; done
    # Peers still running get SIGTERM: they unregister and exit.
    for pid in "$work"/*.pid; do [ -f "$pid" ] && kill -TERM "$(cat "$pid")" 2>/dev/null; done
    [ -n "${watchdog:-}" ] && kill "$watchdog" 2>/dev/null
    wait 2>/dev/null
    delete_namespaces
    rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "(stopped)"; exit 130' INT TERM
trap '' PIPE

# Everything stops by itself within two minutes (each step waits up to 20 or
# 30 s, for a busy machine). The watchdog keeps no copy of stdout, so a
# reader of the transcript sees its end with the script's.
# It is one process: read on a FIFO opened read-write waits out its timeout.
mkfifo "$work/watchdog"
( read -r -t 110 <>"$work/watchdog"; kill -TERM $$ ) >/dev/null 2>&1 &
watchdog=$!

# --- the story ------------------------------------------------------------
if [ "$mode" = nat ]; then
    server_addr=10.77.0.1 alice_addr=10.77.1.10 bob_addr=10.77.2.10
    server_ns=pub alice_ns=alice bob_ns=bob
    alice_port=45454 bob_port=45454
    step "Network"
    note "server  10.77.0.1 on the public segment 10.77.0.0/24"
    note "alice   10.77.1.10 behind router r1 (10.77.0.11): MASQUERADE, keeps ports"
    note "bob     10.77.2.10 behind router r2 (10.77.0.12): MASQUERADE --random-fully,"
    note "        a new random port for every destination, so hole punching fails"
    note "routers let in only replies (ESTABLISHED,RELATED) and drop NEW packets to themselves"
else
    server_addr=127.0.0.2 alice_addr=127.0.0.2 bob_addr=127.0.0.2
    server_ns='' alice_ns='' bob_ns=''
    alice_port=45455 bob_port=45456
    step "Network"
    note "no NAT possible here: all three peers on 127.0.0.2 in a private namespace"
    note "(run as root to see the clients behind address translators and the relay)"
fi
server_port=45454

step "1. Registration"
start_peer server "$server_ns" --addr "$server_addr" --port "$server_port" --serve-only
wait_for server "^bound " 20 || exit 1
start_peer alice "$alice_ns" --addr "$alice_addr" --port "$alice_port" --server "$server_addr:$server_port"
wait_for alice "Reg Sucess|Reg Failed" 20
start_peer bob "$bob_ns" --addr "$bob_addr" --port "$bob_port" --server "$server_addr:$server_port"
wait_for bob "Reg Sucess|Reg Failed" 20
grep -q "Reg Sucess" "$work/alice.out" && grep -q "Reg Sucess" "$work/bob.out" || exit 1

step "2. User lists: each client learns of the other from the server"
wait_for alice "^users: .*bob " 20
wait_for bob "^users: .*alice " 20
for name in alice bob; do
    : >"$work/$name.out"
    tell "$name" list
    wait_for "$name" "^users: " 20
done

step "3. Direct delivery between clients and server"
tell alice "send server $server_addr:$server_port hello server, this is alice"
wait_for server "^data .*this is alice" 20
tell server "send client 0.0.0.0:0 welcome, everyone"
wait_for alice "^data .*welcome" 20
wait_for bob "^data .*welcome" 20

if [ "$mode" = nat ]; then
    step "4. Client to client: hole punching fails behind bob's NAT, the server relays"
    note "bob's router sends each new destination from a new random port, so the"
    note "punches never meet; after about four seconds the sender relays through the server"
else
    step "4. Client to client: hole punching opens the direct path"
fi
tell alice "send user bob hi bob, alice here"
wait_for bob "^data .*alice here" 30
tell bob "send user alice hi alice, bob here"
wait_for alice "^data .*bob here" 30

step "5. A closed network: two peers share a key, a third has none"
note "every datagram between vault and carol is authenticated and encrypted;"
note "eve writes plain datagrams and gets no answer at all"
key="$work/network.key"
{ head -c 32 /dev/urandom | od -An -tx1 | tr -d ' \n'; echo; } >"$key"
start_peer vault "$server_ns" --addr "$server_addr" --port 45460 --serve-only --key-file "$key"
wait_for vault "^bound " 20 || exit 1
start_peer carol "$server_ns" --addr "$server_addr" --port 45461 --server "$server_addr:45460" --key-file "$key"
wait_for carol "Reg Sucess|Reg Failed" 20
tell carol "send server $server_addr:45460 sealed hello from carol"
wait_for vault "^data .*sealed hello from carol" 20
start_peer eve "$server_ns" --addr "$server_addr" --port 45462 --server "$server_addr:45460"
wait_for eve "Reg Sucess|Reg Failed" 20
wait_for vault "Secure channel drop" 20

step "6. Shutdown: end of input unregisters each peer"
for name in carol eve; do
    eval "exec ${input_fd[$name]}>&-"
    unset "input_fd[$name]"
done
tell vault quit
for name in alice bob; do
    eval "exec ${input_fd[$name]}>&-"
    unset "input_fd[$name]"
    wait_for server "Accept peer unregist $name" 20
done
tell server quit
wait "${peer_jobs[@]}" 2>/dev/null
step "Done"
