#!/bin/bash
# Records a session of the project's units on loopback, inside a network
# namespace of its own, and checks the dissector's reading of the capture.
#
#   capture_test.sh SESSION_PROGRAM DISSECTOR.lua WORK_DIR NETNS_RUN MALFORMED_PROGRAM
#
# MALFORMED_PROGRAM prints a hex dump of malformed datagrams, which become a
# second capture through text2pcap.
# Exit 77 (skipped) when tshark, dumpcap, text2pcap or tshark's Lua support
# is missing.
set -u

if [ "${1:-}" = "--record" ]; then
  # Inside the namespace: capture while the session runs.
  session=$2 pcap=$3 log=$4 datahex=$5
  dumpcap -i lo -f udp -w "$pcap" >"$log" 2>&1 &
  capture=$!
  for _ in $(seq 600); do
    grep -q "Capturing on" "$log" && break
    kill -0 "$capture" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -q "Capturing on" "$log"; then
    echo "dumpcap did not start:"; cat "$log"
    kill "$capture" 2>/dev/null; wait "$capture" 2>/dev/null
    exit 1
  fi
  sleep 0.2
  timeout 120 "$session" "$datahex"
  rc=$?
  # The session's last datagram is the server's REQUEST for the damaged one:
  # stop once dumpcap (which writes a few times a second) has it in the file.
  for _ in $(seq 600); do
    grep -aq 'REQUEST\$server' "$pcap" && break
    sleep 0.1
  done
  kill -INT "$capture"
  wait "$capture"
  exit $rc
fi

session=$1 lua=$2 work=$3 netns=$4 malformed=$5
for tool in tshark dumpcap text2pcap; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed: skipped"; exit 77; }
done
tshark -v 2>/dev/null | grep -qi "with Lua" || { echo "tshark has no Lua: skipped"; exit 77; }

mkdir -p "$work"
pcap=$work/session.pcapng
rm -f "$pcap"
timeout 240 "$netns" "$0" --record "$session" "$pcap" "$work/dumpcap.log" "$work/data.hex" ||
  { echo "session failed"; exit 1; }

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# tshark warns on stderr when run as root; anything else there is an error.
shark() {
  tshark -n -r "$pcap" -X lua_script:"$lua" "$@" 2>"$work/tshark.err"
  grep -v 'Running as user "root"' "$work/tshark.err" >"$work/tshark.errors"
}

# One line per datagram: source port|word|name|index|total|checksum status|
# continued word|peer names|embedded word|embedded name|embedded address|
# embedded port|address|port|destination port|info
shark -T fields -E separator='|' -E occurrence=a -E aggregator=',' \
  -e udp.srcport -e mudp.word -e mudp.name -e mudp.index -e mudp.total -e mudp.checksum.status \
  -e mudp.continuation.word -e mudp.peer.name -e mudp.holereq.word -e mudp.holereq.name \
  -e mudp.holereq.addr -e mudp.holereq.port -e mudp.addr -e mudp.port -e udp.dstport \
  -e _ws.col.Info >"$work/fields.txt"
if [ -s "$work/tshark.errors" ]; then fail "tshark reported errors"; cat "$work/tshark.errors"; fi

datagrams=$(wc -l <"$work/fields.txt")
[ "$datagrams" -ge 20 ] || fail "only $datagrams datagrams captured"
echo "$datagrams datagrams captured"

column() { cut -d'|' -f"$1" "$work/fields.txt"; }

# Every UDP datagram of the session is read as MUDP, on 45454 and (by the
# heuristic) between the clients' own ports.
unclaimed=$(awk -F'|' '$2 == "" && $7 == ""' "$work/fields.txt" | wc -l)
[ "$unclaimed" -eq 0 ] || fail "$unclaimed datagrams not dissected"

for word in REG REGACC PEERLIST DATA RECEIVED TRANSHOLE HOLEREQ HOLEREG HOLEACC NOLVHOLE REQUEST ALIVE; do
  column 2 | grep -qx "$word" || fail "no $word datagram"
done

# Checksums: every datagram the library built carries a good one (the Lua CRC
# agrees with qChecksum), and the one damaged on purpose is bad.
good=$(column 6 | grep -cx 1)
bad=$(column 6 | grep -cx 0)
[ "$bad" -eq 1 ] || fail "$bad datagrams with a bad checksum, expected 1"
[ "$good" -eq $((datagrams - 1)) ] || fail "$good good checksums of $datagrams"
awk -F'|' '$6 == "0"' "$work/fields.txt" | grep -q "ALIVE|mallory" || fail "the damaged datagram is not the ALIVE"

# Names decode from GB18030 in headers and peer records. The clients
# register as alice, 张三, bob: the server's lists hold one, two and three
# records, the last list over two packets with bob's record split.
grep -q "^46005|REG|张三|1|1|1|.*|REG 张三 \[1/1\]$" "$work/fields.txt" || fail "GB18030 name in REG"
grep -q "PEERLIST|server|1|1|1||alice|" "$work/fields.txt" || fail "one-record PEERLIST"
grep -q "PEERLIST|server|1|1|1||alice,张三|" "$work/fields.txt" || fail "two-record PEERLIST"
grep -q "PEERLIST|server|1|2|1||alice,张三,bob|" "$work/fields.txt" || fail "first packet of the three-record PEERLIST"
# Its second packet completes it: the reassembled list holds all three.
grep -q "^45454|PEERLIST|server|2|2|1|PEERLIST|alice,张三,bob|.*|PEERLIST continuation (reassembled) \[2/2\]$" \
  "$work/fields.txt" || fail "PEERLIST continuation and reassembly"

# The multi-packet DATA: its first packet, five continuations, and the
# resent fourth packet, which completes it.
grep -q "^46003|DATA|alice|1|7|1|" "$work/fields.txt" || fail "first packet of the 7-packet DATA"
[ "$(grep -c '|DATA|.*DATA continuation \[[2-7]/7\]$' "$work/fields.txt")" -eq 5 ] || fail "DATA continuations"
grep -q "^46003|DATA|alice|4|7|1|DATA|.*DATA continuation (reassembled) \[4/7\]$" "$work/fields.txt" ||
  fail "DATA reassembled"
# The reassembled bytes are the ones sent; with two passes, the earlier
# packets point to the frame that completes their message.
shark -Y "mudp.reassembled.length" -T fields -E occurrence=l -e mudp.word -e mudp.reassembled.length -e mudp.data \
  >"$work/reassembled.txt"
grep -q "^PEERLIST	512	$" "$work/reassembled.txt" || fail "reassembled PEERLIST length"
[ "$(grep "^DATA	3080	" "$work/reassembled.txt" | cut -f3 | tr -d ':')" = "$(cat "$work/data.hex")" ] ||
  fail "reassembled DATA differs from the bytes sent"
# (Three PEERLISTs and the DATA.)
refs=$(shark -2 -Y "mudp.reassembled_in" | wc -l)
[ "$refs" -ge 9 ] && [ "$refs" -eq "$(shark -2 -Y "mudp.total > 1 && !mudp.reassembled.length" | wc -l)" ] ||
  fail "reassembled-in references"

# Path marks: the units number the datagrams they pace and answer with
# feedback marks; the damaged datagram, made by hand, carries none. The
# dropped fourth packet of the DATA is asked for in a FEEDBACK loss report.
shark -T fields -E separator='|' -e mudp.mark.kind -e mudp.mark.txn -e mudp.mark.feedback.newest -e mudp.word \
  -e mudp.report.first -e mudp.report.last -e _ws.col.Info >"$work/marks.txt"
grep -q "^1|[1-9][0-9]*||DATA|" "$work/marks.txt" || fail "data mark with a transmission number"
grep -q "^2||[1-9][0-9]*|RECEIVED|" "$work/marks.txt" || fail "feedback mark"
grep -q "^0|||ALIVE|||ALIVE mallory" "$work/marks.txt" || fail "unmarked datagram"
grep -q "|FEEDBACK|4|4|FEEDBACK server (1 message, 1 range) \[1/1\]$" "$work/marks.txt" || fail "FEEDBACK loss report"

# TRANSHOLE carries alice's HOLEREQ with the address and port the server
# reported to alice in its REGACC.
seen() { awk -F'|' -v p="$1" '$2 == "REGACC" && $15 == p { print $13 "|" $14; exit }' "$work/fields.txt"; }
alice=$(seen 46003) bob=$(seen 46004)
[ "${alice#*|}" = "46003" ] && [ "${bob#*|}" = "46004" ] || fail "REGACC ports: $alice $bob"
grep -q "TRANSHOLE|alice|1|1|1|||HOLEREQ|alice|$alice|$bob|45454|TRANSHOLE alice (HOLEREQ) \[1/1\]$" \
  "$work/fields.txt" || fail "embedded HOLEREQ"
grep -q "^45454|HOLEREQ|alice|1|1|1|||||||$alice|46004|" "$work/fields.txt" || fail "HOLEREQ forwarded to bob"
grep -q "|RECEIVED|server|1|1|1|" "$work/fields.txt" || fail "RECEIVED from the server"
grep -q "^46003|HOLEREG|alice|.*|46004|" "$work/fields.txt" || fail "HOLEREG between client ports"
grep -q "^46004|NOLVHOLE||1|1|1|.*|NOLVHOLE \[1/1\]$" "$work/fields.txt" || fail "NOLVHOLE"

# The full tree dissects without Lua errors and shows the expert notes.
shark -V >"$work/tree.txt"
grep -q "Lua Error" "$work/tree.txt" && fail "Lua error in the tree"
[ "$(grep -c 'Expert Info (Error/Checksum): Bad checksum' "$work/tree.txt")" -eq 1 ] || fail "bad checksum expert"
grep -q "Expert Info (Chat/Checksum): Checksum good" "$work/tree.txt" || fail "good checksum expert"
grep -q "Peer record split across packets" "$work/tree.txt" || fail "split record note"
grep -q 'Message header text: REG\$张三$' "$work/tree.txt" || fail "GB18030 header text"
grep -q "Peer record 2: 张三 " "$work/tree.txt" || fail "GB18030 name in a record label"

# The port preference moves the port-based registration: with the heuristic
# off and the port set to carol's, only datagrams from or to it are read.
shark -o mudp.heuristic:FALSE -o mudp.udp_port:46005 -Y mudp -T fields -e udp.srcport -e udp.dstport \
  >"$work/pref.txt"
[ -s "$work/pref.txt" ] || fail "nothing dissected on the preferred port"
grep -qv "46005" "$work/pref.txt" && fail "port preference: other ports still dissected"
# "Decode As" reaches the datagrams between the clients' ports.
shark -o mudp.heuristic:FALSE -d udp.port==46003,mudp -Y "mudp && udp.srcport == 46004" -T fields -e mudp.word \
  >"$work/decode-as.txt"
grep -qx "HOLEACC" "$work/decode-as.txt" || fail "Decode As"

# Malformed datagrams are each shown, with their faults marked, and never
# stop the script.
"$malformed" >"$work/malformed.txt" || fail "malformed datagrams not generated"
text2pcap -q -u 46007,45454 "$work/malformed.txt" "$work/malformed.pcap" || fail "text2pcap"
expected=$(grep -c '^000000' "$work/malformed.txt")
pcap=$work/malformed.pcap
shark -V >"$work/malformed-tree.txt"
[ -s "$work/tshark.errors" ] && { fail "tshark errors on malformed datagrams"; cat "$work/tshark.errors"; }
grep -q "Lua Error" "$work/malformed-tree.txt" && { fail "Lua error on malformed datagrams"; grep "Lua Error" "$work/malformed-tree.txt"; }
[ "$(grep -c '^MUDP Peer Messaging Protocol' "$work/malformed-tree.txt")" -eq "$expected" ] ||
  fail "not every malformed datagram dissected"
for note in "Datagram is 9 bytes, not 548" "Datagram is 600 bytes" "Type is not 2" \
    "Index, total or len out of range" "Text fills its field without a terminating zero" \
    "Unknown protocol word" "TRANSHOLE without an embedded HOLEREQ" "Bad checksum" \
    "Continuation of a multi-packet message" "Ignored field: e" "Unknown path mark (magic 0xa7, version 2" \
    "Unknown path mark (magic 0xa7, version 1, kind 3)" "Unknown path mark (magic 0x12)" \
    "Malformed loss report: range reversed" "Malformed loss report: range 2 of 3 lies past the end" \
    "Malformed loss report: version 2, not 1" "Malformed loss report: body of 1 byte," \
    "Malformed list difference: 1 record past the end of the body" "Keyed datagram: the payload is encrypted"; do
  grep -q "$note" "$work/malformed-tree.txt" || fail "malformed datagrams: no \"$note\""
done
shark -T fields -e _ws.col.Info >"$work/malformed-info.txt"
grep -q "^REG BBBB" "$work/malformed-info.txt" || fail "name at the end of the header"
grep -q "cut" "$work/malformed-info.txt" && fail "name read past the end of the header"
grep -q "^FEEDBACK fb (2 messages, 1 range, malformed)" "$work/malformed-info.txt" || fail "malformed FEEDBACK info"
# Keyed datagrams by first byte and size (a plain one whose first byte is
# that of a transport datagram stays plain), lists by difference, PEERSYNC.
for info in "Keyed initiation, sender index 0x11223344" \
    "Keyed response, sender index 0x55667788, receiver index 0x11223344" \
    "Keyed cookie reply, receiver index 0x11223344" "Keyed transport, receiver index 0x55667788, counter 7" \
    "Keyed keepalive, receiver index 0x55667788, counter 7" "ALIVE early [1/1]" \
    "PEERDIFF srv (difference 3 to 5, 1 put, 1 removed) [1/1]" \
    "PEERDIFF srv (difference 3 to 5, 1 put, 1 removed, malformed) [1/1]" "PEERSYNC dora [1/1]"; do
  grep -qxF "$info" "$work/malformed-info.txt" || fail "own units' datagrams: no \"$info\""
done
[ "$(grep -c "Encrypted payload: " "$work/malformed-tree.txt")" -eq 3 ] || fail "encrypted payloads"
[ "$(grep -c "Tag: " "$work/malformed-tree.txt")" -eq 5 ] || fail "tags of keyed datagrams"

if [ "$failures" -ne 0 ]; then
  echo "$failures checks failed; fields in $work/fields.txt"
  exit 1
fi
echo "all dissector checks passed"
