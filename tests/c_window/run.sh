#!/bin/sh
# Two C host processes: one receives through its GLib loop, one sends once
# the receiver is bound.
host=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
timeout 90 "$host" receive 46401 >"$out/receiver" 2>&1 &
receiver=$!
i=0
while ! grep -qx "bound 46401" "$out/receiver" 2>/dev/null; do
  i=$((i + 1))
  [ $i -le 600 ] || { echo "the receiver did not bind within 60 s"; break; }
  sleep 0.1
done
timeout 90 "$host" send 46402 46401 "hello from C" >"$out/sender" 2>&1
sent=$?
wait $receiver
received=$?
cat "$out/receiver" "$out/sender"
[ $sent -eq 0 ] || { echo "sender failed ($sent)"; exit 1; }
[ $received -eq 0 ] || { echo "receiver failed ($received)"; exit 1; }
grep -q '^data hello from C$' "$out/receiver" || { echo "data not received"; exit 1; }
grep -q 'Packet Received:' "$out/receiver" || { echo "no receive log"; exit 1; }
echo "c host: ok"
