#!/bin/sh
# Runs a command in a network namespace of its own: loopback up, with the
# extra local addresses 127.0.0.2 to 127.0.0.9 so that traffic sent to one of
# them also comes from it. Nothing leaves the namespace.
if [ -z "$MUDP_IN_NETNS" ]; then
  MUDP_IN_NETNS=1 exec unshare -rn "$0" "$@"
fi
ip link set lo up || exit 1
for i in 2 3 4 5 6 7 8 9; do ip addr add 127.0.0.$i/32 dev lo || exit 1; done
exec "$@"
