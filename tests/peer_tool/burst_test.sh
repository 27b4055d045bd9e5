#!/bin/bash
# burst_test.sh PATH_TO_MUDP_PEER: a server, then ten clients started at the
# same moment once it is bound (a REG sent before that is lost, and the tool
# does not register again). Every client registers at once (no "Reg Failed"), ends with
# the nine others listed, and the user lists it shows never shrink meanwhile
# (an older list after a newer one would). Each client waits 3 s after its list
# command before it unregisters, so that no client's unregistration shrinks
# another's list before that one is listed too; counting ends with the list
# command's output.
set -u
PEER=${1:?usage: burst_test.sh PATH_TO_MUDP_PEER}
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

printf 'wait 15000\n' | timeout 40 "$PEER" --name srv --addr 127.0.0.2 --port 46901 --serve-only \
    >"$work/srv.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q "^bound 46901$" "$work/srv.out" 2>/dev/null && break; sleep 0.05; done
for i in $(seq 0 9); do
    printf 'wait 8000\nlist\nwait 3000\n' | timeout 40 "$PEER" --name "c$i" --addr 127.0.0.2 --port $((46910 + i)) \
        --server 127.0.0.2:46901 >"$work/c$i.out" 2>&1 &
    pids+=($!)
done
for p in "${pids[@]}"; do wait "$p" || fail "a peer exited $?"; done

for i in $(seq 0 9); do
    out=$work/c$i.out
    grep -q "Reg Sucess" "$out" || fail "c$i did not register"
    ! grep -q "Reg Failed" "$out" || fail "c$i logged Reg Failed"
    # The user lists shown up to the list command's (after its "clients:"
    # line), in order.
    counts=$(awk '/^clients:/ { listed = 1 } /^users:/ { print ($0 == "users: (none)") ? 0 : gsub(/ via /, ""); if (listed) exit }' "$out")
    [ "$(echo "$counts" | tail -1)" = 9 ] || fail "c$i ended with $(echo "$counts" | tail -1) users, not 9"
    echo "$counts" | awk 'NR > 1 && $1 < last { bad = 1 } { last = $1 } END { exit bad }' ||
        fail "c$i was shown a shorter list after a longer one: $(echo $counts)"
done
if [ $failures -ne 0 ]; then
    for f in srv c0 c1; do echo "--- $f"; cat "$work/$f.out"; done
    echo "$failures failure(s)"
    exit 1
fi
echo "all passed"
