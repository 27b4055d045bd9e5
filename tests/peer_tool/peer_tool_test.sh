#!/bin/bash
# mudp-peer end to end: argument errors, a bind failure, and a server with two
# clients that register, list each other, exchange texts and unregister when
# their input ends or they are told to stop.
set -u
PEER=${1:?usage: peer_tool_test.sh PATH_TO_MUDP_PEER}
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    exec 3>&- 4>&- 5>&- 6>&- 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap '' PIPE # a peer that died must fail a check, not kill the script
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Waits up to $3 seconds for a line matching $2 in file $1.
wait_for() {
    local i
    for ((i = 0; i < $3 * 20; i++)); do
        grep -qE -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.05
    done
    fail "no line matching '$2' in $1 within $3 s"; sed 's/^/    /' "$1"
    return 1
}

# Runs the tool with arguments "$@" and no input; expects exit 2 and a message.
expect_bad_args() {
    local err=$work/bad.err rc
    timeout 60 "$PEER" "$@" </dev/null >/dev/null 2>"$err"; rc=$?
    [ $rc -eq 2 ] || fail "'$*' exited $rc, not 2"
    grep -q "^mudp-peer: " "$err" || fail "'$*' gave no message"
}

echo "== bad arguments"
expect_bad_args
expect_bad_args --port 46000
expect_bad_args --name
expect_bad_args --name ""
expect_bad_args --name 'a$b'
expect_bad_args --name 0123456789012345678901234567890123456789
expect_bad_args --name n --port 0
expect_bad_args --name n --port 70000
expect_bad_args --name n --port 12ab
expect_bad_args --name n --ports 5000-5000
expect_bad_args --name n --port 5000 --ports 5000-5010
expect_bad_args --name n --addr 300.1.2.3
expect_bad_args --name n --server 127.0.0.2
expect_bad_args --name n --server 127.0.0.2:46001 --serve-only
expect_bad_args --name n --frobnicate
# Key files: 32 raw bytes or 64 hexadecimal characters, nothing else.
printf '%064d\n' 0 >"$work/hex.key"
head -c 33 /dev/zero >"$work/raw33.key"
printf '%063dg\n' 0 >"$work/badhex.key"
for key in "$work/raw33.key" "$work/badhex.key" "$work/none.key"; do
    expect_bad_args --name n --key-file "$key"
    grep -q "key-file" "$work/bad.err" || fail "no clear message for key file $key"
done
printf 'quit\n' | timeout 60 "$PEER" --name n --serve-only --port 46101 --key-file "$work/hex.key" \
    >"$work/key.out" 2>&1 || fail "a hexadecimal key file was refused: $(cat "$work/key.out")"
"$PEER" --help | grep -q "^Usage: mudp-peer" || fail "--help gives no usage"

echo "== bind failure and unknown commands"
# The holder keeps the port until its input ends, after the second try.
mkfifo "$work/holder.in"
timeout 120 "$PEER" --name holder --serve-only --port 46100 <"$work/holder.in" >"$work/holder.out" 2>&1 6>&- &
holder=$!
exec 6>"$work/holder.in"
wait_for "$work/holder.out" "^bound 46100$" 60
timeout 60 "$PEER" --name second --port 46100 </dev/null >/dev/null 2>"$work/bind.err" 6>&-; rc=$?
[ $rc -eq 1 ] || fail "binding a taken port exited $rc, not 1"
grep -q "cannot bind UDP port 46100" "$work/bind.err" || fail "no message for a taken port"
exec 6>&-
wait "$holder"; rc=$?
[ $rc -eq 0 ] || fail "the peer holding the port exited $rc after its input ended"
# Files to send are checked before they are read: a device, a FIFO (which
# would block) and a file beyond the limit of one message are refused.
mkfifo "$work/fifo"
truncate -s 16383421 "$work/big"
printf 'frobnicate\nsend nowhere x\nsend client 127.0.0.1:5 x\nwait soon\nlist\n%s\n%s\n%s\n' \
    "sendfile client 127.0.0.2:46199 /dev/null" "sendfile client 127.0.0.2:46199 $work/fifo" \
    "sendfile client 127.0.0.2:46199 $work/big" |
    timeout -k 5 60 "$PEER" --name lonely --serve-only --ports 46110-46120 >"$work/cmd.out" 2>"$work/cmd.err"; rc=$?
[ $rc -eq 0 ] || fail "bad commands ended the tool with $rc"
for pattern in "line 1: unknown command 'frobnicate'" "line 2: unknown target" "line 3: .*127.0.0.1" "line 4: wait" \
    "line 6: not a regular file: /dev/null" "line 7: not a regular file: .*fifo" "line 8: file too large"; do
    grep -q "$pattern" "$work/cmd.err" || fail "no error '$pattern'"
done
grep -q "^bound 4611[0-9]$" "$work/cmd.out" || fail "autoBind port not reported"
grep -q "^clients: (none)$" "$work/cmd.out" || fail "list not printed"

echo "== a name outside ASCII travels as GB18030 and shows as UTF-8"
# A peer registers with itself: both of its lists hold its own name.
echo list | timeout 60 "$PEER" --name "李雷" --addr 127.0.0.2 --port 46120 --server 127.0.0.2:46120 \
    >"$work/cjk.out" 2>&1 || fail "the peer named 李雷 exited $?"
grep -q "^servers: 李雷 127.0.0.2:46120$" "$work/cjk.out" || fail "the name 李雷 did not come back in the server list"
grep -q "^log .*Accept peer regist 李雷 from" "$work/cjk.out" || fail "the name 李雷 is not in the log"
expect_bad_args --name "李雷李雷李雷李雷李雷李雷李雷李雷李雷李雷" # 20 characters are 40 bytes

echo "== a server and two clients"
mkfifo "$work/srv.in" "$work/alice.in" "$work/bob.in"
# Starts a peer named $1 reading the fifo $1.in; the fifo's writing end is
# opened by the caller. The other writing ends stay closed in the child, or
# the peers would keep each other's input open.
start_peer() {
    local name=$1; shift
    # In the foreground, timeout passes a signal on to the peer once; in a
    # group of its own it would pass it twice (to the peer, then to the group),
    # and a second signal makes the peer leave without unregistering.
    timeout --foreground 300 "$PEER" --name "$name" "$@" <"$work/$name.in" >"$work/$name.out" 2>"$work/$name.err" 3>&- 4>&- 5>&- &
    pids+=($!)
}
start_peer srv --addr 127.0.0.2 --port 46201 --serve-only; srv=$!
exec 3>"$work/srv.in"
wait_for "$work/srv.out" "^bound 46201$" 60
start_peer alice --addr 127.0.0.2 --port 46202 --server 127.0.0.2:46201; alice=$!
exec 4>"$work/alice.in"
wait_for "$work/alice.out" "Reg Sucess" 60
start_peer bob --addr 127.0.0.2 --port 46203 --server 127.0.0.2:46201; bob=$!
exec 5>"$work/bob.in"
wait_for "$work/bob.out" "Reg Sucess" 60
wait_for "$work/srv.out" "^clients: alice 127.0.0.2:46202, bob 127.0.0.2:46203$" 60
wait_for "$work/alice.out" "^servers: srv 127.0.0.2:46201$" 60
wait_for "$work/alice.out" "^users: .*bob 127.0.0.2:46203 via 127.0.0.2:46201 access=" 60
wait_for "$work/bob.out" "^users: .*alice 127.0.0.2:46202 via 127.0.0.2:46201 access=" 60

echo "send server 127.0.0.2:46201 hello from alice" >&4
wait_for "$work/srv.out" "^data 16 hello from alice$" 60
echo "send client 127.0.0.2:46203 hello bob" >&3
wait_for "$work/bob.out" "^data 9 hello bob$" 60
echo "send user bob straight to bob" >&4
wait_for "$work/bob.out" "^data 15 straight to bob$" 60
head -c 3000 /dev/urandom >"$work/blob"
echo "sendfile user alice $work/blob" >&5
wait_for "$work/alice.out" "^data 3000 hex:[0-9a-f]{64}\.\.\.$" 60

echo "unreg" >&4
wait_for "$work/srv.out" "Accept peer unregist alice" 60
wait_for "$work/alice.out" "^servers: \(none\)$" 60
wait_for "$work/srv.out" "^clients: bob 127.0.0.2:46203$" 60 # the server's tick removed alice
echo "reg 127.0.0.2:46201" >&4
wait_for "$work/srv.out" "^clients: bob 127.0.0.2:46203, alice 127.0.0.2:46202$" 60
: >"$work/srv.out"

echo "== end of input and SIGTERM unregister"
exec 4>&-
wait_for "$work/srv.out" "Accept peer unregist alice" 60
wait "$alice"; rc=$?
[ $rc -eq 0 ] || fail "alice exited $rc after end of input"
wait_for "$work/alice.out" "UnReg Sucess" 1
kill -TERM "$bob"
wait_for "$work/srv.out" "Accept peer unregist bob" 60
wait "$bob"; rc=$?
[ $rc -eq 0 ] || fail "bob exited $rc after SIGTERM"
echo quit >&3
wait "$srv"; rc=$?
[ $rc -eq 0 ] || fail "the server exited $rc after quit"

if [ $failures -ne 0 ]; then
    for f in srv alice bob; do echo "--- $f"; cat "$work/$f.out" "$work/$f.err"; done
    echo "$failures failure(s)"
    exit 1
fi
echo "all passed"
