#!/bin/bash
# burst_test.sh PATH_TO_MUDP_PEER: a server, then ten clients started at the
# same moment once it is bound (a REG sent before that is lost, and the tool
# does not register again). Every client registers at once (no "Reg Failed"), ends with
# the nine others listed, and the user lists it shows never shrink meanwhile
# (an older list after a newer one would). The clients are told to list once
# every one of them shows nine users (or a minute has passed), and their input
# ends, so that they unregister, only once every one has listed: no client's
# unregistration shrinks another's list before that one is listed too;
# counting ends with the list command's output.
set -u
PEER=${1:?usage: burst_test.sh PATH_TO_MUDP_PEER}
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    exec 3>&- 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The number of users in the last user list client $1 showed.
users_of() {
    awk '/^users:/ { n = ($0 == "users: (none)") ? 0 : gsub(/ via /, "") } END { print n + 0 }' "$work/c$1.out" 2>/dev/null
}
all_listed_nine() {
    local i
    for i in $(seq 0 9); do [ "$(users_of "$i")" = 9 ] || return 1; done
}
all_printed_list() {
    local i
    for i in $(seq 0 9); do grep -q "^clients:" "$work/c$i.out" 2>/dev/null || return 1; done
}
# Waits until the condition $1 holds, at most 60 s.
await() {
    local i
    for ((i = 0; i < 600; i++)); do
        "$1" && return 0
        sleep 0.1
    done
    return 1
}
# A client's commands: list once all show nine users, then end the input
# once all have listed.
client_input() {
    await all_listed_nine
    echo list
    await all_printed_list
}

mkfifo "$work/srv.in"
timeout 300 "$PEER" --name srv --addr 127.0.0.2 --port 46901 --serve-only <"$work/srv.in" >"$work/srv.out" 2>&1 &
pids+=($!)
exec 3>"$work/srv.in"
for _ in $(seq 600); do grep -q "^bound 46901$" "$work/srv.out" 2>/dev/null && break; sleep 0.1; done
clients=()
for i in $(seq 0 9); do
    client_input 3>&- | timeout 300 "$PEER" --name "c$i" --addr 127.0.0.2 --port $((46910 + i)) \
        --server 127.0.0.2:46901 >"$work/c$i.out" 2>&1 3>&- &
    clients+=($!)
done
pids+=("${clients[@]}")
for p in "${clients[@]}"; do wait "$p" || fail "a client exited $?"; done
exec 3>&- # the end of its input ends the server
wait "${pids[0]}" || fail "the server exited $?"

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
