#!/bin/sh
# A C server process and two C client processes inside one network namespace.
# Each starts once the one before is ready (bound, registered): the server
# lists its clients in the order they registered.
host=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# Waits until file $1 holds a line $2, at most 60 s.
wait_line() {
  i=0
  while ! grep -qx "$2" "$1" 2>/dev/null; do
    i=$((i + 1))
    [ $i -le 600 ] || { echo "no line '$2' in $1 within 60 s"; return 1; }
    sleep 0.1
  done
}
timeout 120 "$host" server 46600 2 >"$out/server" 2>&1 &
server=$!
wait_line "$out/server" "bound 46600"
timeout 90 "$host" client alice 46601 46600 >"$out/alice" 2>&1 &
alice=$!
wait_line "$out/alice" "registered"
timeout 90 "$host" client bob 46602 46600 >"$out/bob" 2>&1
bob=$?
wait $alice
alice=$?
wait $server
server=$?
cat "$out/server" "$out/alice" "$out/bob"
[ $server -eq 0 ] && [ $alice -eq 0 ] && [ $bob -eq 0 ] || {
  echo "exit status: server $server, alice $alice, bob $bob"
  exit 1
}
grep -q '^clients: alice 127.0.0.2:46601 bob 127.0.0.2:46602$' "$out/server" || { echo "server list wrong"; exit 1; }
grep -q '^live: bob 127.0.0.2:46602$' "$out/alice" || { echo "alice's live users wrong"; exit 1; }
grep -q '^live: alice 127.0.0.2:46601$' "$out/bob" || { echo "bob's live users wrong"; exit 1; }
echo "c registry host: ok"
