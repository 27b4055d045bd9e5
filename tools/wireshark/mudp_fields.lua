-- Fields and expert items of the MUDP dissector (see mudp.lua, which loads
-- this file). Loaded on its own, as Wireshark loads every .lua in a plugin
-- folder, it only returns its functions: nothing is created or registered.

local M = {}

local checksum_status = { [0] = "Bad", [1] = "Good", [2] = "Unverified" }
local access_values = { [0] = "No direct path", [1] = "Direct path open" }
local mark_kinds = { [0] = "None (peer does not take part)", [1] = "Data mark", [2] = "Feedback mark" }
local keyed_types = { [0x11] = "Initiation", [0x12] = "Response", [0x13] = "Cookie reply", [0x14] = "Transport" }
local diff_kinds = { [1] = "Difference", [2] = "Whole list" }

-- The datagram header, its payload and the PEERLIST records.
local function datagram_fields()
    return {
    date = ProtoField.int32("mudp.date", "Message date (Julian day)"),
    time = ProtoField.int32("mudp.time", "Message time (ms since midnight)"),
    type = ProtoField.int16("mudp.type", "Type"),
    local_ip = ProtoField.string("mudp.local_ip", "Sender local address"),
    local_port = ProtoField.uint16("mudp.local_port", "Sender local port"),
    index = ProtoField.int16("mudp.index", "Packet index"),
    total = ProtoField.int16("mudp.total", "Packet total"),
    len = ProtoField.int16("mudp.len", "Payload length"),
    checksum = ProtoField.uint16("mudp.checksum", "Checksum", base.HEX),
    checksum_calc = ProtoField.uint16("mudp.checksum.calculated", "Calculated checksum", base.HEX),
    checksum_status = ProtoField.uint8("mudp.checksum.status", "Checksum status", base.DEC, checksum_status),
    reserved = ProtoField.bytes("mudp.reserved", "Reserved"),
    payload = ProtoField.bytes("mudp.payload", "Payload"),
    unused = ProtoField.bytes("mudp.unused", "Unused payload bytes"),
    msg_offset = ProtoField.uint32("mudp.message_offset", "Offset in message"),
    cont_word = ProtoField.string("mudp.continuation.word", "Continuation of word"),
    reassembled_in = ProtoField.framenum("mudp.reassembled_in", "Reassembled in frame"),
    reassembled_length = ProtoField.uint32("mudp.reassembled.length", "Reassembled message length"),

    data = ProtoField.bytes("mudp.data", "Data"),
    trailing = ProtoField.bytes("mudp.trailing", "Bytes after the header"),

    peer_count = ProtoField.uint32("mudp.peerlist.records", "Complete records"),
    peer = ProtoField.none("mudp.peer", "Peer record"),
    peer_name = ProtoField.string("mudp.peer.name", "Name"),
    peer_ip = ProtoField.string("mudp.peer.ip", "Address"),
    peer_local_ip = ProtoField.string("mudp.peer.local_ip", "Local address"),
    peer_port = ProtoField.uint16("mudp.peer.port", "Port"),
    peer_local_port = ProtoField.uint16("mudp.peer.local_port", "Local port"),
    peer_server_name = ProtoField.string("mudp.peer.server_name", "Server name"),
    peer_server_ip = ProtoField.string("mudp.peer.server_ip", "Server address"),
    peer_server_port = ProtoField.uint16("mudp.peer.server_port", "Server port"),
    peer_padding = ProtoField.uint16("mudp.peer.padding", "Padding"),
    peer_access = ProtoField.int32("mudp.peer.access", "Access", base.DEC, access_values),
    peer_life = ProtoField.int32("mudp.peer.life", "Life"),
    }
end

-- The path mark in the reserved bytes and the loss report of a FEEDBACK.
local function mark_fields(f)
    f.mark_magic = ProtoField.uint8("mudp.mark.magic", "Magic", base.HEX)
    f.mark_version = ProtoField.uint8("mudp.mark.version", "Version", base.DEC, nil, 0xF0)
    f.mark_kind = ProtoField.uint8("mudp.mark.kind", "Kind", base.DEC, mark_kinds, 0x0F)
    f.mark_flags = ProtoField.uint8("mudp.mark.flags", "Flags", base.HEX)
    f.mark_feedback_now = ProtoField.bool("mudp.mark.flags.feedback_now", "Feedback now", 8, nil, 0x01)
    f.mark_hears_feedback = ProtoField.bool("mudp.mark.flags.hears_feedback", "Sender hears feedback", 8, nil, 0x02)
    f.mark_new_series = ProtoField.bool("mudp.mark.flags.new_series", "New series", 8, nil, 0x04)
    f.mark_rtt = ProtoField.uint16("mudp.mark.rtt_hint", "Round-trip hint (ms)")
    f.mark_txn = ProtoField.uint32("mudp.mark.txn", "Transmission number")
    f.mark_sent = ProtoField.uint32("mudp.mark.sent_us", "Send time (µs)")
    f.mark_newest = ProtoField.uint32("mudp.mark.feedback.newest", "Newest transmission number received")
    f.mark_hold = ProtoField.uint32("mudp.mark.feedback.hold_us", "Hold time (µs)")
    f.mark_received = ProtoField.uint32("mudp.mark.feedback.received", "Numbered datagrams received")

    f.report = ProtoField.none("mudp.report", "Loss report")
    f.report_version = ProtoField.uint8("mudp.report.version", "Version")
    f.report_entries = ProtoField.uint8("mudp.report.entries", "Entries")
    f.report_spare = ProtoField.uint16("mudp.report.spare", "Spare")
    f.report_entry = ProtoField.none("mudp.report.entry", "Entry")
    f.report_date = ProtoField.int32("mudp.report.date", "Message date (Julian day)")
    f.report_time = ProtoField.int32("mudp.report.time", "Message time (ms since midnight)")
    f.report_ranges = ProtoField.uint16("mudp.report.ranges", "Ranges")
    f.report_range = ProtoField.none("mudp.report.range", "Missing packets")
    f.report_first = ProtoField.uint16("mudp.report.first", "First missing packet")
    f.report_last = ProtoField.uint16("mudp.report.last", "Last missing packet")
    f.report_missing = ProtoField.uint32("mudp.report.missing", "Missing packets reported")
    f.report_unread = ProtoField.bytes("mudp.report.unread", "Bytes left unread")
end

-- Keyed datagrams (their clear header fields) and the PEERDIFF body.
local function keyed_fields(f)
    f.keyed_type = ProtoField.uint8("mudp.keyed.type", "Type", base.HEX, keyed_types)
    f.keyed_flags = ProtoField.uint8("mudp.keyed.flags", "Flags", base.HEX)
    f.keyed_carries = ProtoField.bool("mudp.keyed.flags.carries_datagram", "Carries a datagram", 8, nil, 0x01)
    f.keyed_proven = ProtoField.bool("mudp.keyed.flags.proven", "Proven", 8, nil, 0x01)
    f.keyed_answer_me = ProtoField.bool("mudp.keyed.flags.answer_me", "Answer me", 8, nil, 0x02)
    f.keyed_zero = ProtoField.bytes("mudp.keyed.zero", "Zero")
    f.keyed_sender = ProtoField.uint32("mudp.keyed.sender_index", "Sender index", base.HEX)
    f.keyed_receiver = ProtoField.uint32("mudp.keyed.receiver_index", "Receiver index", base.HEX)
    f.keyed_ephemeral = ProtoField.bytes("mudp.keyed.ephemeral", "Ephemeral public key")
    f.keyed_stamp = ProtoField.uint64("mudp.keyed.stamp", "Stamp (µs since 1970 UTC)")
    f.keyed_counter = ProtoField.uint64("mudp.keyed.counter", "Counter")
    f.keyed_nonce = ProtoField.bytes("mudp.keyed.nonce", "Cookie nonce")
    f.keyed_encrypted = ProtoField.bytes("mudp.keyed.encrypted", "Encrypted payload")
    f.keyed_tag = ProtoField.bytes("mudp.keyed.tag", "Tag")
    f.keyed_padding = ProtoField.bytes("mudp.keyed.padding", "Padding")
    f.keyed_mac1 = ProtoField.bytes("mudp.keyed.mac1", "mac1")
    f.keyed_mac2 = ProtoField.bytes("mudp.keyed.mac2", "mac2")

    f.diff = ProtoField.none("mudp.diff", "List difference")
    f.diff_version = ProtoField.uint8("mudp.diff.version", "Version")
    f.diff_kind = ProtoField.uint8("mudp.diff.kind", "Kind", base.DEC, diff_kinds)
    f.diff_spare = ProtoField.uint16("mudp.diff.spare", "Spare")
    f.diff_run = ProtoField.uint32("mudp.diff.run", "Run", base.HEX)
    f.diff_from = ProtoField.uint32("mudp.diff.from", "From list")
    f.diff_to = ProtoField.uint32("mudp.diff.to", "To list")
    f.diff_puts = ProtoField.uint32("mudp.diff.puts", "Records put")
    f.diff_removes = ProtoField.uint32("mudp.diff.removes", "Records removed")
end

-- One set of fields per message header: the message's own and the HOLEREQ
-- carried inside a TRANSHOLE.
local function header_fields(prefix, title)
    return {
        text = ProtoField.string(prefix .. ".header", title .. " text"),
        word = ProtoField.string(prefix .. ".word", "Protocol word"),
        name = ProtoField.string(prefix .. ".name", "Sender name"),
        field2 = ProtoField.int32(prefix .. ".field2", "Field 2"),
        field3 = ProtoField.int32(prefix .. ".field3", "Field 3"),
        field4 = ProtoField.int32(prefix .. ".field4", "Field 4"),
        addr = ProtoField.string(prefix .. ".addr", "Address"),
        port = ProtoField.uint16(prefix .. ".port", "Port"),
        ignored = ProtoField.string(prefix .. ".ignored", "Ignored field"),
        acked_total = ProtoField.uint32(prefix .. ".acked_total", "Acknowledged packet total"),
    }
end

-- Every field: f (by name), hf (message header), hr (embedded HOLEREQ),
-- and the list of all of them for Proto.fields.
function M.fields()
    local f = datagram_fields()
    mark_fields(f)
    keyed_fields(f)
    local hf = header_fields("mudp", "Message header")
    local hr = header_fields("mudp.holereq", "Embedded HOLEREQ")
    local all = {}
    for _, set in ipairs({ f, hf, hr }) do
        for _, field in pairs(set) do
            all[#all + 1] = field
        end
    end
    return f, hf, hr, all
end

-- The expert items by name, and the list of them for Proto.experts.
function M.experts()
    local e = {
    checksum_good = ProtoExpert.new("mudp.checksum.good.expert", "Checksum good",
        expert.group.CHECKSUM, expert.severity.CHAT),
    checksum_bad = ProtoExpert.new("mudp.checksum.bad.expert", "Bad checksum: the receiver asks for the packet again",
        expert.group.CHECKSUM, expert.severity.ERROR),
    size = ProtoExpert.new("mudp.size.expert", "Datagram is not 548 bytes",
        expert.group.MALFORMED, expert.severity.ERROR),
    type = ProtoExpert.new("mudp.type.expert", "Type is not 2: the receiver drops the datagram",
        expert.group.PROTOCOL, expert.severity.WARN),
    numbering = ProtoExpert.new("mudp.numbering.expert", "Index, total or len out of range: the receiver drops the datagram",
        expert.group.MALFORMED, expert.severity.WARN),
    unterminated = ProtoExpert.new("mudp.unterminated.expert", "Text fills its field without a terminating zero",
        expert.group.MALFORMED, expert.severity.WARN),
    unknown_word = ProtoExpert.new("mudp.unknown_word.expert", "Unknown protocol word: the receiver answers UNKOWN",
        expert.group.PROTOCOL, expert.severity.WARN),
    continuation = ProtoExpert.new("mudp.continuation.expert", "Continuation of a multi-packet message",
        expert.group.REASSEMBLE, expert.severity.NOTE),
    split_record = ProtoExpert.new("mudp.split_record.expert", "Peer record split across packets",
        expert.group.REASSEMBLE, expert.severity.NOTE),
    no_holereq = ProtoExpert.new("mudp.no_holereq.expert", "TRANSHOLE without an embedded HOLEREQ",
        expert.group.PROTOCOL, expert.severity.WARN),
    unknown_mark = ProtoExpert.new("mudp.mark.unknown.expert", "Unknown path mark: the receiver reads no mark",
        expert.group.PROTOCOL, expert.severity.WARN),
    bad_report = ProtoExpert.new("mudp.report.malformed.expert",
        "Malformed loss report: the ranges before the fault are answered, the rest is ignored",
        expert.group.MALFORMED, expert.severity.WARN),
        bad_diff = ProtoExpert.new("mudp.diff.malformed.expert",
            "Malformed list difference: the receiver asks for the whole list",
            expert.group.MALFORMED, expert.severity.WARN),
        keyed = ProtoExpert.new("mudp.keyed.expert", "Keyed datagram: the payload is encrypted",
            expert.group.SECURITY, expert.severity.CHAT),
    }
    local all = {}
    for _, item in pairs(e) do
        all[#all + 1] = item
    end
    return e, all
end

return M
