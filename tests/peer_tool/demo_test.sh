#!/bin/bash
# demo_test.sh DEMO_SCRIPT BUILD_DIR: the live demo runs to its end, on
# loopback and, where the NAT setup is possible (root), behind the routers
# with the relay, and leaves no namespace behind.
set -u
demo=$1 build=$2
out=$(mktemp)
trap 'rm -f "$out"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

check_run() {
    local what=$1
    grep -q "=== Done ===" "$out" || fail "$what: the demo did not finish"
    for text in "REGISTER .*Reg Sucess" "LIST .*users: bob " "RECEIVED .*data 27 hello server, this is alice" \
                "bob .*RECEIVED .*welcome, everyone" "bob .*RECEIVED .*hi bob, alice here" \
                "alice .*RECEIVED .*hi alice, bob here" "server.*UNREGISTER .*Accept peer unregist bob" \
                "carol .*REGISTER .*Reg Sucess" "vault .*RECEIVED .*sealed hello from carol" \
                "eve .*Reg Failed" "vault .*REFUSED .*Secure channel drop"; do
        grep -qE "$text" "$out" || fail "$what: no line matching '$text'"
    done
}

echo "== loopback"
MUDP_DEMO_MODE=loopback timeout 150 bash "$demo" "$build" >"$out" 2>&1 || fail "loopback demo exited $?"
check_run loopback
grep -q "HOLE .*Hole Sucess" "$out" || fail "loopback: hole punching did not succeed"
[ $failures -eq 0 ] || cat "$out"

echo "== NAT"
# The demo names its namespaces after its process id, which the exec keeps.
pidfile=$(mktemp)
timeout 150 bash -c 'echo $$ >"$0"; exec bash "$1" "$2"' "$pidfile" "$demo" "$build" >"$out" 2>&1 ||
    fail "demo exited $?"
demo_pid=$(cat "$pidfile")
rm -f "$pidfile"
if grep -q "no NAT setup here" "$out"; then
    echo "(NAT setup not possible here; checked the loopback run only)"
else
    check_run NAT
    grep -q "alice .*RELAY .*Send data via server to bob" "$out" || fail "NAT: alice did not relay to bob"
    grep -q "bob .*RELAY .*Send data via server to alice" "$out" || fail "NAT: bob did not relay to alice"
    ! ip netns list 2>/dev/null | grep -q "^mudp-demo-$demo_pid-" || fail "NAT: the demo left namespaces behind"
fi
[ $failures -eq 0 ] || { cat "$out"; echo "$failures failure(s)"; exit 1; }
echo "all passed"
