#!/bin/sh
# A C server process and two C client processes inside one network namespace.
host=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
timeout 30 "$host" server 46600 2 >"$out/server" 2>&1 &
server=$!
sleep 0.3
timeout 20 "$host" client alice 46601 46600 >"$out/alice" 2>&1 &
alice=$!
sleep 0.2
timeout 20 "$host" client bob 46602 46600 >"$out/bob" 2>&1
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
