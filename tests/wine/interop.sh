#!/bin/bash
# interop.sh MUDP_PEER WINDOWS_HELLO: the Windows host under Wine registers
# with a Linux mudp-peer server, sends it "hello from windows", and gets
# "hello from linux" back: once on the open network, once with both sides
# keyed (a closed network). Runs in the network namespace of the caller
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

# One exchange: the server on port $2, the Windows host on $3; $4, when
# given, is the network key in hexadecimal for both sides.
exchange() {
  local what=$1 server_port=$2 port=$3 key=${4:-} peer_key=() hello_key=()
  if [ -n "$key" ]; then
    printf '%s\n' "$key" >"$work/network.key"
    peer_key=(--key-file "$work/network.key")
    hello_key=("$key")
  fi
  rm -f "$work/in"
  mkfifo "$work/in"
  # The server takes its commands from a pipe that stays open until the end.
  timeout 60 "$PEER" --name linux --addr 127.0.0.2 --port "$server_port" --serve-only "${peer_key[@]}" \
    <"$work/in" >"$work/peer.out" 2>&1 &
  peer_pid=$!
  exec 3>"$work/in"
  timeout 60 bash "$here/run.sh" "$HELLO" 127.0.0.2 "$server_port" windows 127.0.0.2 "$port" "${hello_key[@]}" \
    >"$work/hello.out" 2>&1 &
  local hello_pid=$! i rc peer_rc
  # Answer as soon as the Windows host's text has arrived, within its two
  # seconds of message loop.
  for ((i = 0; i < 800; i++)); do
    grep -q '^data .*hello from windows' "$work/peer.out" && break
    kill -0 "$hello_pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "send client 127.0.0.2:$port hello from linux" >&3
  wait "$hello_pid"; rc=$?
  echo quit >&3
  exec 3>&-
  wait "$peer_pid"; peer_rc=$?
  peer_pid=

  # Windows programs end their lines with CR LF.
  tr -d '\r' <"$work/hello.out" >"$work/hello.txt" && mv "$work/hello.txt" "$work/hello.out"
  local before=$failures
  [ $rc -eq 0 ] || fail "$what: windows-hello exited $rc"
  [ $peer_rc -eq 0 ] || fail "$what: mudp-peer exited $peer_rc"
  grep -q "^registered with linux at 127.0.0.2:$server_port" "$work/hello.out" ||
    fail "$what: no registration on the Windows side"
  grep -q '^data 16 bytes: hello from linux$' "$work/hello.out" || fail "$what: the Windows host got no text from Linux"
  grep -q '^log  [0-9:]*Peer regist accepted by ' "$work/hello.out" || fail "$what: no log line through WM_UDP_LOG"
  grep -q '^data .*hello from windows' "$work/peer.out" || fail "$what: the Linux server got no text from Windows"
  grep -q "Accept peer regist windows from 127.0.0.2:$port" "$work/peer.out" || fail "$what: the server logged no registration"
  grep -q 'Accept peer unregist windows' "$work/peer.out" || fail "$what: the server saw no unregistration"
  if [ -n "$key" ]; then
    grep -q '^keyed$' "$work/hello.out" || fail "$what: the Windows host did not take the key"
    ! grep -q 'Secure channel drop' "$work/peer.out" "$work/hello.out" || fail "$what: keyed datagrams were dropped"
  fi
  if [ $failures -ne $before ]; then
    echo "--- $what: windows-hello"; sed 's/^/    /' "$work/hello.out"
    echo "--- $what: mudp-peer"; sed 's/^/    /' "$work/peer.out"
  fi
}

exchange open 46600 46601
exchange keyed 46602 46603 "$(printf '5a%.0s' {1..32})"
[ $failures -eq 0 ] || exit 1
echo "interop: Windows host and Linux server exchanged data both ways, open and keyed"
