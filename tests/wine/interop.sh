#!/bin/bash
# interop.sh MUDP_PEER WINDOWS_HELLO: the Windows host under Wine registers
# with a Linux mudp-peer server, sends it "hello from windows", and gets
# "hello from linux" back. Runs in the network namespace of the caller
# (scripts/windows-test.sh makes one), on 127.0.0.2 only.
set -u
PEER=${1:?usage: interop.sh MUDP_PEER WINDOWS_HELLO}
HELLO=${2:?usage: interop.sh MUDP_PEER WINDOWS_HELLO}
here=$(dirname "$0")
work=$(mktemp -d)
peer_pid=
cleanup() {
  exec 3>&- 2>/dev/null
  [ -n "$peer_pid" ] && kill "$peer_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap '' PIPE
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The server takes its commands from a pipe that stays open until the end.
mkfifo "$work/in"
timeout 60 "$PEER" --name linux --addr 127.0.0.2 --port 46600 --serve-only <"$work/in" >"$work/peer.out" 2>&1 &
peer_pid=$!
exec 3>"$work/in"

timeout 60 bash "$here/run.sh" "$HELLO" 127.0.0.2 46600 windows 127.0.0.2 46601 >"$work/hello.out" 2>&1 &
hello_pid=$!

# Answer as soon as the Windows host's text has arrived, within its two
# seconds of message loop.
for ((i = 0; i < 800; i++)); do
  grep -q '^data .*hello from windows' "$work/peer.out" && break
  kill -0 "$hello_pid" 2>/dev/null || break
  sleep 0.05
done
echo "send client 127.0.0.2:46601 hello from linux" >&3
wait "$hello_pid"; rc=$?
echo quit >&3
exec 3>&-
wait "$peer_pid"; peer_rc=$?
peer_pid=

# Windows programs end their lines with CR LF.
tr -d '\r' <"$work/hello.out" >"$work/hello.txt" && mv "$work/hello.txt" "$work/hello.out"
[ $rc -eq 0 ] || fail "windows-hello exited $rc"
[ $peer_rc -eq 0 ] || fail "mudp-peer exited $peer_rc"
grep -q '^registered with linux at 127.0.0.2:46600' "$work/hello.out" || fail "no registration on the Windows side"
grep -q '^data 16 bytes: hello from linux$' "$work/hello.out" || fail "the Windows host got no text from Linux"
grep -q '^log  [0-9:]*Peer regist accepted by ' "$work/hello.out" || fail "no log line through WM_UDP_LOG"
grep -q '^data .*hello from windows' "$work/peer.out" || fail "the Linux server got no text from Windows"
grep -q 'Accept peer regist windows from 127.0.0.2:46601' "$work/peer.out" || fail "the server logged no registration"
grep -q 'Accept peer unregist windows' "$work/peer.out" || fail "the server saw no unregistration"
if [ $failures -ne 0 ]; then
  echo "--- windows-hello"; sed 's/^/    /' "$work/hello.out"
  echo "--- mudp-peer"; sed 's/^/    /' "$work/peer.out"
  exit 1
fi
echo "interop: Windows host and Linux server exchanged data both ways"
