-- Wireshark dissector for the MUDP peer messaging protocol.
--
-- Every datagram is 548 bytes: a 48-byte little-endian header and 500 payload
-- bytes. The payloads of a message's packets, in order, form the message; its
-- first 80 bytes are a "$"-separated text header naming a protocol word. This
-- dissector shows the datagram header (with the CRC-16 verified), the message
-- header of packet 1, the peer records of a PEERLIST and the HOLEREQ text
-- embedded in a TRANSHOLE, the path mark that the library's units write into
-- the 12 reserved header bytes, the loss report of a FEEDBACK, and the whole
-- message in the frame that completes a multi-packet one.
--
-- Load with: tshark -X lua_script:mudp.lua ...  or copy into the personal
-- plugins folder (see docs/wireshark.md).

local bit = bit32 or bit
local band, bxor, rshift = bit.band, bit.bxor, bit.rshift

local DATAGRAM_SIZE = 548
local HEADER_SIZE = 48
local PAYLOAD_SIZE = 500
local MESSAGE_HEADER_SIZE = 80
local PEERINFO_SIZE = 144
local HOLEREQ_AREA = 80
local MAX_PACKETS = 32767
local MARK_MAGIC = 0xA7
local MARK_VERSION = 1
local REPORT_VERSION = 1
local DEFAULT_PORT = 45454
-- Names are GB18030 bytes; builds without that encoding show them as UTF-8.
local ENC_NAME = ENC_GB18030 or ENC_UTF_8

local mudp = Proto("mudp", "MUDP Peer Messaging Protocol")

---------------------------------------------------------------------------
-- CRC-16 of ISO 3309 (reflected polynomial 0x8408, initial value 0xFFFF,
-- result inverted), the checksum every packet carries over its 500 payload
-- bytes.
---------------------------------------------------------------------------
local crc_table = {}
for i = 0, 255 do
    local c = i
    for _ = 1, 8 do
        if band(c, 1) ~= 0 then
            c = bxor(rshift(c, 1), 0x8408)
        else
            c = rshift(c, 1)
        end
    end
    crc_table[i] = c
end

local function crc16_iso3309(s)
    local crc = 0xFFFF
    for i = 1, #s do
        crc = bxor(rshift(crc, 8), crc_table[band(bxor(crc, s:byte(i)), 0xFF)])
    end
    return bxor(crc, 0xFFFF)
end

---------------------------------------------------------------------------
-- Fields
---------------------------------------------------------------------------
local checksum_status = { [0] = "Bad", [1] = "Good", [2] = "Unverified" }
local access_values = { [0] = "No direct path", [1] = "Direct path open" }
local mark_kinds = { [0] = "None (peer does not take part)", [1] = "Data mark", [2] = "Feedback mark" }

local f = {
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

    -- The path mark in the reserved bytes.
    mark_magic = ProtoField.uint8("mudp.mark.magic", "Magic", base.HEX),
    mark_version = ProtoField.uint8("mudp.mark.version", "Version", base.DEC, nil, 0xF0),
    mark_kind = ProtoField.uint8("mudp.mark.kind", "Kind", base.DEC, mark_kinds, 0x0F),
    mark_flags = ProtoField.uint8("mudp.mark.flags", "Flags", base.HEX),
    mark_feedback_now = ProtoField.bool("mudp.mark.flags.feedback_now", "Feedback now", 8, nil, 0x01),
    mark_hears_feedback = ProtoField.bool("mudp.mark.flags.hears_feedback", "Sender hears feedback", 8, nil, 0x02),
    mark_new_series = ProtoField.bool("mudp.mark.flags.new_series", "New series", 8, nil, 0x04),
    mark_rtt = ProtoField.uint16("mudp.mark.rtt_hint", "Round-trip hint (ms)"),
    mark_txn = ProtoField.uint32("mudp.mark.txn", "Transmission number"),
    mark_sent = ProtoField.uint32("mudp.mark.sent_us", "Send time (µs)"),
    mark_newest = ProtoField.uint32("mudp.mark.feedback.newest", "Newest transmission number received"),
    mark_hold = ProtoField.uint32("mudp.mark.feedback.hold_us", "Hold time (µs)"),
    mark_received = ProtoField.uint32("mudp.mark.feedback.received", "Numbered datagrams received"),

    -- The loss report in the body of a FEEDBACK.
    report = ProtoField.none("mudp.report", "Loss report"),
    report_version = ProtoField.uint8("mudp.report.version", "Version"),
    report_entries = ProtoField.uint8("mudp.report.entries", "Entries"),
    report_spare = ProtoField.uint16("mudp.report.spare", "Spare"),
    report_entry = ProtoField.none("mudp.report.entry", "Entry"),
    report_date = ProtoField.int32("mudp.report.date", "Message date (Julian day)"),
    report_time = ProtoField.int32("mudp.report.time", "Message time (ms since midnight)"),
    report_ranges = ProtoField.uint16("mudp.report.ranges", "Ranges"),
    report_range = ProtoField.none("mudp.report.range", "Missing packets"),
    report_first = ProtoField.uint16("mudp.report.first", "First missing packet"),
    report_last = ProtoField.uint16("mudp.report.last", "Last missing packet"),
    report_missing = ProtoField.uint32("mudp.report.missing", "Missing packets reported"),
    report_unread = ProtoField.bytes("mudp.report.unread", "Bytes left unread"),
}

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

local hf = header_fields("mudp", "Message header")
local hr = header_fields("mudp.holereq", "Embedded HOLEREQ")

local all_fields = {}
for _, set in ipairs({ f, hf, hr }) do
    for _, field in pairs(set) do
        all_fields[#all_fields + 1] = field
    end
end
mudp.fields = all_fields

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
}
mudp.experts = { e.checksum_good, e.checksum_bad, e.size, e.type, e.numbering, e.unterminated,
    e.unknown_word, e.continuation, e.split_record, e.no_holereq, e.unknown_mark, e.bad_report }

mudp.prefs.udp_port = Pref.uint("UDP port", DEFAULT_PORT, "UDP port dissected as MUDP")
mudp.prefs.reassemble = Pref.bool("Reassemble messages", true,
    "Show the whole message in the frame that completes a multi-packet message")
mudp.prefs.heuristic = Pref.bool("Detect on other ports", true,
    "Also dissect 548-byte UDP datagrams of type 2 with a valid checksum on any port")

---------------------------------------------------------------------------
-- Protocol words and the meaning of header positions 2 to 4
---------------------------------------------------------------------------
local known_words = {
    REQUEST = { "date", "time", "packet index" },
    RECEIVED = { "date", "time" },
    DATAFAIL = { "date", "time" },
    REG = {}, UNREG = {}, REGACC = {}, UNREGACC = {}, ALIVE = {}, RE_ALIVE = {},
    REGDUP = {}, UNKOWN = {}, PEERLIST = {}, DATA = {}, TRANS = {}, TRANSHOLE = {},
    HOLEREQ = {}, HOLEREG = {}, HOLEACC = {}, NOLVHOLE = {}, FEEDBACK = {},
}

---------------------------------------------------------------------------
-- Helpers
---------------------------------------------------------------------------

-- Bytes of tvb available from off, at most want.
local function avail(tvb, off, want)
    local n = tvb:len() - off
    if n < 0 then return 0 end
    if n > want then return want end
    return n
end

-- Adds a zero-terminated text of a fixed-width field; returns the text (raw
-- bytes) or nil when the field is not in the capture.
local function add_text(tree, field, tvb, off, width, encoding)
    local n = avail(tvb, off, width)
    if n <= 0 then return nil end
    local raw = tvb:raw(off, n)
    local z = raw:find("\0", 1, true)
    local used = z and (z - 1) or n
    local item
    if used > 0 then
        item = tree:add_packet_field(field, tvb(off, used), encoding or ENC_ASCII)
        item:set_len(n)
    else
        item = tree:add(field, tvb(off, n), "")
    end
    if not z then
        item:add_proto_expert_info(e.unterminated)
    end
    return raw:sub(1, used)
end

-- The text of `bytes` raw bytes at off decoded from GB18030, for labels and
-- the Info column. TvbRange:string cuts a converted text to the byte length
-- of its range, so the text is read up to its terminating zero instead and,
-- for a header field, cut at the first "$" (a byte GB18030 never uses inside
-- a character). A text not ended by a zero (or "$") shows as its bytes.
local function gb18030_text(tvb, off, bytes, header_field)
    if bytes <= 0 then return "" end
    local after = off + bytes < tvb:len() and tvb(off + bytes, 1):uint() or nil
    if after ~= 0 and not (header_field and after == 0x24) then
        return tvb:raw(off, bytes)
    end
    local ok, s = pcall(function() return tvb(off):stringz(ENC_NAME) end)
    if not ok or not s then
        return tvb:raw(off, bytes)
    end
    return header_field and (s:match("^[^%$]*")) or s
end

-- Decimal value of the leading digits, wrapping as 32-bit arithmetic does,
-- read as a signed 32-bit number (no digits read as 0).
local function leading_number(s)
    local v = 0
    local digits = s:match("^%d+") or ""
    for i = 1, #digits do
        v = (v * 10 + digits:byte(i) - 48) % 4294967296
    end
    if v >= 2147483648 then v = v - 4294967296 end
    return v
end

-- Splits text at "$": runs of "$" are one separator, empty fields vanish.
-- Returns a list of { text, start } with start a 0-based offset into text.
local function split_header(text)
    local out = {}
    local pos = 1
    while pos <= #text and #out < 7 do
        local s, e2 = text:find("[^%$]+", pos)
        if not s then break end
        out[#out + 1] = { text = text:sub(s, e2), start = s - 1 }
        pos = e2 + 1
    end
    -- Anything further is ignored by the receiver; keep it for display.
    local rest = {}
    while pos <= #text do
        local s, e2 = text:find("[^%$]+", pos)
        if not s then break end
        rest[#rest + 1] = { text = text:sub(s, e2), start = s - 1 }
        pos = e2 + 1
    end
    return out, rest
end

-- Gregorian date of a Julian day number, as "yyyy-mm-dd".
local function julian_to_date(jd)
    if jd <= 0 then return "?" end
    local a = jd + 32044
    local b = math.floor((4 * a + 3) / 146097)
    local c = a - math.floor(146097 * b / 4)
    local d = math.floor((4 * c + 3) / 1461)
    local e3 = c - math.floor(1461 * d / 4)
    local m = math.floor((5 * e3 + 2) / 153)
    local day = e3 - math.floor((153 * m + 2) / 5) + 1
    local month = m + 3 - 12 * math.floor(m / 10)
    local year = 100 * b + d - 4800 + math.floor(m / 10)
    return string.format("%04d-%02d-%02d", year, month, day)
end

local function ms_to_clock(ms)
    if ms < 0 then return "?" end
    return string.format("%02d:%02d:%02d.%03d", math.floor(ms / 3600000), math.floor(ms / 60000) % 60,
        math.floor(ms / 1000) % 60, ms % 1000)
end

---------------------------------------------------------------------------
-- Message header (80 bytes of text)
---------------------------------------------------------------------------

-- Dissects the header text at off (up to width bytes); returns the parsed
-- fields as a list of texts (position 0 is the word) or nil.
local function dissect_header(tvb, tree, off, width, fs, title)
    local n = avail(tvb, off, width)
    if n <= 0 then return nil end
    local raw = tvb:raw(off, n)
    local z = raw:find("\0", 1, true)
    local used = z and (z - 1) or n
    local text = raw:sub(1, used)
    local htree = tree:add(tvb(off, n), title)
    local titem
    if used > 0 then
        titem = htree:add_packet_field(fs.text, tvb(off, used), ENC_NAME)
    else
        titem = htree:add(fs.text, tvb(off, n), "")
    end
    if not z then titem:add_proto_expert_info(e.unterminated) end

    local parts, rest = split_header(text)
    local word = parts[1] and parts[1].text:upper() or ""
    local roles = known_words[word] or {}
    local values, ranges = {}, {}
    for pos, p in ipairs(parts) do
        local i = pos - 1
        local range = tvb(off + p.start, #p.text)
        values[i] = p.text
        ranges[i] = range
        if i == 0 then
            local item = htree:add(fs.word, range, p.text)
            if not known_words[word] then item:add_proto_expert_info(e.unknown_word) end
        elseif i == 1 then
            htree:add_packet_field(fs.name, range, ENC_NAME)
        elseif i >= 2 and i <= 4 then
            local v = leading_number(p.text)
            local field = ({ fs.field2, fs.field3, fs.field4 })[i - 1]
            local item = htree:add(field, range, v)
            local role = roles[i - 1]
            local label = string.format("Field %d%s: %d", i, role and (" (" .. role .. ")") or "", v)
            if p.text ~= tostring(v) then
                label = label .. string.format(" [text \"%s\"]", p.text)
            end
            item:set_text(label)
            if word == "RECEIVED" and i == 3 then
                local t = p.text:match(" Total:(%d+)")
                if t then
                    htree:add(fs.acked_total, range, tonumber(t))
                end
            end
        elseif i == 5 then
            htree:add(fs.addr, range, p.text)
        elseif i == 6 then
            htree:add(fs.port, range, leading_number(p.text) % 65536)
        end
    end
    for _, p in ipairs(rest) do
        htree:add(fs.ignored, tvb(off + p.start, #p.text), p.text)
    end
    htree:append_text(": " .. gb18030_text(tvb, off, used, false))
    return values, ranges
end

---------------------------------------------------------------------------
-- PEERLIST records
---------------------------------------------------------------------------
-- Fields of a PEERINFO record: offset, width, field, kind.
local peer_layout = {
    { 0, 40, f.peer_name, "name" },
    { 40, 16, f.peer_ip, "text" },
    { 56, 16, f.peer_local_ip, "text" },
    { 72, 2, f.peer_port, "uint" },
    { 74, 2, f.peer_local_port, "uint" },
    { 76, 40, f.peer_server_name, "name" },
    { 116, 16, f.peer_server_ip, "text" },
    { 132, 2, f.peer_server_port, "uint" },
    { 134, 2, f.peer_padding, "uint" },
    { 136, 4, f.peer_access, "int" },
    { 140, 4, f.peer_life, "int" },
}

-- Dissects record `number` whose first byte is at tvb offset `start`, of
-- which only the bytes in [lo, hi) belong to this packet: the fields wholly
-- inside are shown, and a record cut by a packet boundary is marked.
-- Returns whether the record was complete.
local function dissect_peer(tvb, tree, start, lo, hi, number)
    local from = math.max(start, lo)
    local to = math.min(start + PEERINFO_SIZE, hi)
    local rt = tree:add(f.peer, tvb(from, to - from))
    local v = {}
    for _, d in ipairs(peer_layout) do
        local o, w, field, kind = start + d[1], d[2], d[3], d[4]
        if o >= from and o + w <= to then
            if kind == "uint" then
                rt:add_le(field, tvb(o, w))
                v[d[1]] = tvb(o, w):le_uint()
            elseif kind == "int" then
                local item = rt:add_le(field, tvb(o, w))
                v[d[1]] = tvb(o, w):le_int()
                if d[1] == 140 and v[d[1]] == -9999 then item:append_text(" (marked for removal)") end
            else
                local raw = add_text(rt, field, tvb, o, w, kind == "name" and ENC_NAME or ENC_ASCII)
                if kind == "name" and raw and #raw < w then
                    v[d[1]] = gb18030_text(tvb, o, #raw, false)
                else
                    v[d[1]] = raw
                end
            end
        end
    end
    local complete = from == start and to == start + PEERINFO_SIZE
    local label = string.format("Peer record %d", number)
    if not complete then
        label = label .. string.format(" (bytes %d to %d of %d; the rest is in the %s packet)", from - start,
            to - start - 1, PEERINFO_SIZE, from > start and "previous" or "next")
        rt:add_proto_expert_info(e.split_record)
    end
    if v[0] then
        label = label .. ": " .. v[0]
        if v[40] then label = label .. " " .. v[40] end
        if v[72] then label = label .. ":" .. v[72] end
    end
    rt:set_text(label)
    return complete
end

-- Dissects the PEERLIST records that lie in this packet. Records start at
-- message offset 80; `base` is the message offset of this packet's payload
-- (at tvb offset payload_off) and `used` its payload bytes.
local function dissect_peer_records(tvb, tree, payload_off, base, used, whole)
    local lo = payload_off + math.max(0, MESSAGE_HEADER_SIZE - base)
    local hi = payload_off + used
    if hi <= lo then return end
    local list = tree:add(tvb(lo, hi - lo), "Peer records")
    local count = 0
    local k = math.max(0, math.floor((base - MESSAGE_HEADER_SIZE) / PEERINFO_SIZE))
    while true do
        local start = payload_off + MESSAGE_HEADER_SIZE + k * PEERINFO_SIZE - base
        if start >= hi then break end
        if start + PEERINFO_SIZE > lo then
            if dissect_peer(tvb, list, start, lo, hi, k + 1) then count = count + 1 end
        end
        k = k + 1
    end
    list:add(f.peer_count, tvb(lo, 0), count):set_generated()
    list:append_text(string.format(": %d complete%s", count, whole and "" or " in this packet"))
end

---------------------------------------------------------------------------
-- Path mark: the 12 reserved header bytes (tvb offset 36)
---------------------------------------------------------------------------
-- A peer of the original protocol leaves them zero. The library's units write
-- a magic byte, version (high nibble) and kind (low nibble), then
--   data mark:     flags, round-trip hint in 2 ms units, transmission number
--                  (4), send time in µs (4, low 32 bits of the sender's clock)
--   feedback mark: newest transmission number received (4), how long ago it
--                  arrived in 32 µs units (2), numbered datagrams received (4)
local function dissect_mark(tvb, tree, off)
    local r = tvb(off, 12)
    local mt = tree:add(f.reserved, r)
    if r:bytes():tohex():match("^0*$") then
        mt:set_text("Path mark: none (peer does not take part)")
        mt:add(f.mark_kind, r, 0):set_generated()
        return
    end
    local magic, vk = tvb(off, 1):uint(), tvb(off + 1, 1):uint()
    local version, kind = rshift(vk, 4), band(vk, 0x0F)
    if magic ~= MARK_MAGIC or version ~= MARK_VERSION or (kind ~= 1 and kind ~= 2) then
        mt:set_text("Path mark: unknown (" .. r:bytes():tohex() .. ")")
        local what = magic ~= MARK_MAGIC and string.format("magic 0x%02x", magic)
            or string.format("magic 0x%02x, version %d, kind %d", magic, version, kind)
        mt:add_proto_expert_info(e.unknown_mark, "Unknown path mark (" .. what .. "): the receiver reads no mark")
        return
    end
    mt:add(f.mark_magic, tvb(off, 1))
    mt:add(f.mark_version, tvb(off + 1, 1))
    mt:add(f.mark_kind, tvb(off + 1, 1))
    if kind == 1 then
        local flags, txn = tvb(off + 2, 1):uint(), tvb(off + 4, 4):le_uint()
        local ft = mt:add(f.mark_flags, tvb(off + 2, 1))
        ft:add(f.mark_feedback_now, tvb(off + 2, 1))
        ft:add(f.mark_hears_feedback, tvb(off + 2, 1))
        ft:add(f.mark_new_series, tvb(off + 2, 1))
        local hint = tvb(off + 3, 1):uint()
        mt:add(f.mark_rtt, tvb(off + 3, 1), hint * 2):append_text(string.format(" (%d units of 2 ms)", hint))
        local ti = mt:add_le(f.mark_txn, tvb(off + 4, 4))
        if txn == 0 then ti:append_text(" (not numbered: a control word)") end
        mt:add_le(f.mark_sent, tvb(off + 8, 4)):append_text(" (sender's clock, low 32 bits)")
        mt:set_text(string.format("Path mark: data, transmission %d%s", txn,
            band(flags, 1) ~= 0 and ", feedback now" or ""))
    else
        local newest, units, received = tvb(off + 2, 4):le_uint(), tvb(off + 6, 2):le_uint(), tvb(off + 8, 4):le_uint()
        mt:add_le(f.mark_newest, tvb(off + 2, 4))
        mt:add(f.mark_hold, tvb(off + 6, 2), units * 32):append_text(string.format(" (%d units of 32 µs)", units))
        mt:add_le(f.mark_received, tvb(off + 8, 4))
        mt:set_text(string.format("Path mark: feedback, newest %d, %d received", newest, received))
    end
end

---------------------------------------------------------------------------
-- FEEDBACK: the loss report after the message header
---------------------------------------------------------------------------
-- Head: version (1), entry count (1), spare (2); per entry: date (4), time
-- (4), range count (2), spare (2), then per range the first and last missing
-- packet numbers (2 + 2). Read as the sender reads it: it answers ranges in
-- order and stops at the first fault. Returns the Info text.
local function plural(n, word)
    return string.format("%d %s%s", n, word, n == 1 and "" or "s")
end

local function dissect_loss_report(tvb, tree, off, length)
    local rt = length > 0 and tree:add(f.report, tvb(off, length)) or tree:add(f.report)
    local stop = off + length
    local entries, ranges, missing = 0, 0, 0
    local at = off
    local fault
    local function malformed(item, why)
        item:add_proto_expert_info(e.bad_report, "Malformed loss report: " .. why ..
            "; the ranges before it are answered, the rest is ignored")
        fault = why
    end
    if length < 4 then
        malformed(rt, "body of " .. plural(length, "byte") .. ", shorter than its 4-byte head")
    else
        rt:add(f.report_version, tvb(at, 1))
        local count = tvb(at + 1, 1):uint()
        rt:add(f.report_entries, tvb(at + 1, 1))
        rt:add_le(f.report_spare, tvb(at + 2, 2))
        at = at + 4
        local version = tvb(off, 1):uint()
        if version ~= REPORT_VERSION then
            malformed(rt, string.format("version %d, not %d", version, REPORT_VERSION))
            count = 0
        end
        for k = 1, count do
            if at + 12 > stop then
                malformed(rt, string.format("entry %d of %d lies past the end of the body", k, count))
                break
            end
            local date, time, n = tvb(at, 4):le_int(), tvb(at + 4, 4):le_int(), tvb(at + 8, 2):le_uint()
            local span = math.min(12 + 4 * n, stop - at)
            local et = rt:add(f.report_entry, tvb(at, span))
            et:add_le(f.report_date, tvb(at, 4)):append_text(" (" .. julian_to_date(date) .. ")")
            et:add_le(f.report_time, tvb(at + 4, 4)):append_text(" (" .. ms_to_clock(time) .. ")")
            et:add_le(f.report_ranges, tvb(at + 8, 2))
            et:add_le(f.report_spare, tvb(at + 10, 2))
            et:set_text(string.format("Entry %d: message %d/%d, %s", k, date, time, plural(n, "range")))
            entries = entries + 1
            at = at + 12
            for j = 1, n do
                if at + 4 > stop then
                    malformed(et, string.format("range %d of %d lies past the end of the body", j, n))
                    break
                end
                local first, last = tvb(at, 2):le_uint(), tvb(at + 2, 2):le_uint()
                local gt = et:add(f.report_range, tvb(at, 4))
                gt:add_le(f.report_first, tvb(at, 2))
                gt:add_le(f.report_last, tvb(at + 2, 2))
                gt:set_text(string.format("Missing packets %d–%d", first, last))
                at = at + 4
                if first < 1 or last < first or last > MAX_PACKETS then
                    malformed(gt, first > last and "range reversed" or "range outside 1 to 32767")
                    break
                end
                ranges = ranges + 1
                missing = missing + last - first + 1
            end
            if fault then break end
        end
        rt:add(f.report_missing, tvb(off, 0), missing):set_generated()
    end
    if at < stop then
        rt:add(f.report_unread, tvb(at, stop - at))
    end
    local summary = plural(entries, "message") .. ", " .. plural(ranges, "range")
    rt:append_text(": " .. summary .. (fault and " (malformed)" or ""))
    return summary .. (fault and ", malformed" or "")
end

---------------------------------------------------------------------------
-- Message start: the header and what follows it
---------------------------------------------------------------------------

-- Dissects `length` bytes of a message from tvb offset off: packet 1's
-- payload, or a whole reassembled message (whole: nothing follows). Returns
-- the word (upper case) and the Info text for it ("WORD name", with the
-- embedded word of a TRANSHOLE).
local function dissect_message_start(tvb, tree, off, length, whole)
    local values, ranges = dissect_header(tvb, tree, off, MESSAGE_HEADER_SIZE, hf, "Message header")
    values, ranges = values or {}, ranges or {}
    local word = (values[0] or ""):upper()
    local name = ranges[1] and gb18030_text(tvb, ranges[1]:offset(), ranges[1]:len(), true) or ""
    local info = values[0] or "?"
    if name ~= "" then info = info .. " " .. name end
    local body_off = off + MESSAGE_HEADER_SIZE
    local body_len = length - MESSAGE_HEADER_SIZE
    if word == "PEERLIST" and body_len > 0 then
        dissect_peer_records(tvb, tree, off, 0, length, whole)
    elseif word == "TRANSHOLE" then
        if body_len > 0 then
            local embedded = dissect_header(tvb, tree, body_off, math.min(body_len, HOLEREQ_AREA), hr,
                "Embedded HOLEREQ")
            if embedded and embedded[0] then
                info = info .. " (" .. embedded[0] .. ")"
            end
        else
            tree:add_proto_expert_info(e.no_holereq)
        end
    elseif word == "FEEDBACK" and off + MESSAGE_HEADER_SIZE <= tvb:len() then
        info = info .. " (" .. dissect_loss_report(tvb, tree, body_off, math.max(0, body_len)) .. ")"
    elseif (word == "DATA" or word == "TRANS") and body_len > 0 then
        tree:add(f.data, tvb(body_off, body_len))
    elseif body_len > 0 then
        tree:add(f.trailing, tvb(body_off, body_len))
    end
    return word, info
end

---------------------------------------------------------------------------
-- Reassembly
---------------------------------------------------------------------------

-- Messages by sender, destination and identity (the receiver tells the
-- copies of one buffer sent to several peers apart by its own endpoint):
-- the word of packet 1 and, while reassembling, the payloads seen.
local messages = {}
-- Frame number -> key of the message that this frame completed.
local completed_in = {}

local MAX_REASSEMBLED_PACKETS = 4096

function mudp.init()
    messages = {}
    completed_in = {}
end

local function message_key(pinfo, date, time)
    return string.format("%s:%d>%s:%d/%d/%d", tostring(pinfo.src), pinfo.src_port, tostring(pinfo.dst),
        pinfo.dst_port, date, time)
end

-- Files the payload of this packet (first pass only). Copies of a packet
-- already filed, as resends are, change nothing.
local function message_entry(key, total)
    local m = messages[key]
    if not m then
        m = { total = total, parts = {}, count = 0 }
        messages[key] = m
    end
    return m
end

local function file_packet(pinfo, key, index, total, payload)
    local m = message_entry(key, total)
    if pinfo.visited or m.done or m.total ~= total or m.parts[index] then return m end
    if mudp.prefs.reassemble and total <= MAX_REASSEMBLED_PACKETS then
        m.parts[index] = payload
    else
        m.parts[index] = true
    end
    m.count = m.count + 1
    if m.count == total then
        m.done = pinfo.number
        completed_in[pinfo.number] = key
    end
    return m
end

-- In the frame that completes a message, a tree of the whole message.
local function show_reassembled(tree, m, total)
    for i = 1, total do
        if type(m.parts[i]) ~= "string" then return end
    end
    local bytes = table.concat(m.parts, "", 1, total)
    local rtvb = ByteArray.new(bytes, true):tvb("Reassembled message")
    local rt = tree:add(rtvb(), string.format("Reassembled message (%d bytes in %d packets)", #bytes, total))
    rt:add(f.reassembled_length, rtvb(), #bytes):set_generated()
    dissect_message_start(rtvb, rt, 0, #bytes, true)
end

---------------------------------------------------------------------------
-- Datagram
---------------------------------------------------------------------------

local function dissect(tvb, pinfo, tree)
    local size = tvb:len()
    if size == 0 then return 0 end
    pinfo.cols.protocol = "MUDP"
    local root = tree:add(mudp, tvb(0, math.min(size, DATAGRAM_SIZE)))
    if size ~= DATAGRAM_SIZE then
        root:add_proto_expert_info(e.size, string.format("Datagram is %d bytes, not 548%s", size,
            size < DATAGRAM_SIZE and ": the receiver drops it" or ": the receiver reads the first 548"))
    end
    if size < HEADER_SIZE then
        pinfo.cols.info = "MUDP (truncated)"
        return size
    end

    local date = tvb(0, 4):le_int()
    local time = tvb(4, 4):le_int()
    local ptype = tvb(8, 2):le_int()
    local index = tvb(28, 2):le_int()
    local total = tvb(30, 2):le_int()
    local len = tvb(32, 2):le_int()
    local sum = tvb(34, 2):le_uint()

    local ht = root:add(tvb(0, HEADER_SIZE), "Datagram header")
    ht:add_le(f.date, tvb(0, 4)):append_text(" (" .. julian_to_date(date) .. ")")
    ht:add_le(f.time, tvb(4, 4)):append_text(" (" .. ms_to_clock(time) .. ")")
    local titem = ht:add_le(f.type, tvb(8, 2))
    if ptype ~= 2 then titem:add_proto_expert_info(e.type) end
    add_text(ht, f.local_ip, tvb, 10, 16)
    ht:add_le(f.local_port, tvb(26, 2))
    local iitem = ht:add_le(f.index, tvb(28, 2))
    ht:add_le(f.total, tvb(30, 2))
    ht:add_le(f.len, tvb(32, 2))
    local numbered = total >= 1 and index >= 1 and index <= total and len >= 0 and len <= PAYLOAD_SIZE
    if not numbered then
        iitem:add_proto_expert_info(e.numbering)
    end
    local citem = ht:add_le(f.checksum, tvb(34, 2))
    local present = avail(tvb, HEADER_SIZE, PAYLOAD_SIZE)
    local intact = false
    if present == PAYLOAD_SIZE then
        local calc = crc16_iso3309(tvb:raw(HEADER_SIZE, PAYLOAD_SIZE))
        ht:add(f.checksum_calc, tvb(34, 2), calc):set_generated()
        if calc == sum then
            intact = true
            citem:append_text(" [correct]")
            ht:add(f.checksum_status, tvb(34, 2), 1):set_generated()
            citem:add_proto_expert_info(e.checksum_good)
        else
            citem:append_text(string.format(" [incorrect, should be 0x%04x]", calc))
            ht:add(f.checksum_status, tvb(34, 2), 0):set_generated()
            citem:add_proto_expert_info(e.checksum_bad)
        end
    else
        ht:add(f.checksum_status, tvb(34, 2), 2):set_generated()
    end
    dissect_mark(tvb, ht, 36)

    if present <= 0 then
        pinfo.cols.info = string.format("MUDP [%d/%d] (no payload)", index, total)
        return size
    end
    local pt = root:add(f.payload, tvb(HEADER_SIZE, present))
    pt:set_text(string.format("Payload (%d bytes used)", math.max(0, math.min(len, PAYLOAD_SIZE))))
    local used = math.max(0, math.min(len, present))
    local key = message_key(pinfo, date, time)

    local info
    local m
    if index == 1 then
        local word
        word, info = dissect_message_start(tvb, pt, HEADER_SIZE, used, total == 1)
        if total > 1 then
            m = message_entry(key, total)
            m.word = m.word or word
        end
    else
        local base = (index - 1) * PAYLOAD_SIZE
        m = messages[key]
        local word = m and m.word
        pt:add(f.msg_offset, tvb(HEADER_SIZE, 0), base):set_generated()
        pt:add_proto_expert_info(e.continuation)
        if word then
            pt:add(f.cont_word, tvb(HEADER_SIZE, 0), word):set_generated()
            info = word .. " continuation"
        else
            info = "Continuation"
        end
        if word == "PEERLIST" and used > 0 then
            dissect_peer_records(tvb, pt, HEADER_SIZE, base, used)
        elseif used > 0 then
            pt:add(f.data, tvb(HEADER_SIZE, used))
        end
    end
    if used < present then
        pt:add(f.unused, tvb(HEADER_SIZE + used, present - used))
    end

    -- Packets a receiver would file: intact, numbered, of a message of several.
    -- Like the receiver, the message is the full payloads of packets 1 to
    -- total - 1 and the used bytes of the last.
    if total > 1 and numbered and intact then
        m = file_packet(pinfo, key, index, total, tvb:raw(HEADER_SIZE, index < total and PAYLOAD_SIZE or used))
        if completed_in[pinfo.number] == key then
            show_reassembled(root, m, total)
            info = info .. " (reassembled)"
        elseif m.done then
            root:add(f.reassembled_in, tvb(0, 0), m.done):set_generated()
        end
    end

    info = string.format("%s [%d/%d]", info, index, total)
    pinfo.cols.info = info
    root:append_text(", " .. info)
    return size
end

function mudp.dissector(tvb, pinfo, tree)
    return dissect(tvb, pinfo, tree)
end

-- Datagrams on other ports: exactly 548 bytes, type 2, sane numbering and a
-- checksum that matches.
local function heuristic(tvb, pinfo, tree)
    if not mudp.prefs.heuristic or tvb:len() ~= DATAGRAM_SIZE then return false end
    if tvb(8, 2):le_int() ~= 2 then return false end
    local index, total, len = tvb(28, 2):le_int(), tvb(30, 2):le_int(), tvb(32, 2):le_int()
    if total < 1 or index < 1 or index > total or len < 0 or len > PAYLOAD_SIZE then return false end
    if crc16_iso3309(tvb:raw(HEADER_SIZE, PAYLOAD_SIZE)) ~= tvb(34, 2):le_uint() then return false end
    dissect(tvb, pinfo, tree)
    return true
end

local udp_port = DissectorTable.get("udp.port")
local current_port = mudp.prefs.udp_port
udp_port:add(current_port, mudp)
udp_port:add_for_decode_as(mudp)
mudp:register_heuristic("udp", heuristic)

function mudp.prefs_changed()
    if mudp.prefs.udp_port ~= current_port then
        if current_port ~= 0 then udp_port:remove(current_port, mudp) end
        current_port = mudp.prefs.udp_port
        if current_port ~= 0 then udp_port:add(current_port, mudp) end
    end
end
