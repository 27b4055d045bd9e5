-- Wireshark dissector for the MUDP peer messaging protocol.
--
-- Every datagram is 548 bytes: a 48-byte little-endian header and 500 payload
-- bytes. The payloads of a message's packets, in order, form the message; its
-- first 80 bytes are a "$"-separated text header naming a protocol word. This
-- dissector shows the datagram header (with the CRC-16 verified), the message
-- header of packet 1, the peer records of a PEERLIST and the list difference
-- of a PEERDIFF, the HOLEREQ text embedded in a TRANSHOLE, the path mark that
-- the library's units write into the 12 reserved header bytes, the loss
-- report of a FEEDBACK, and the whole message in the frame that completes a
-- multi-packet one. Units that share a network key send keyed datagrams
-- instead: their clear header fields are shown, the rest as encrypted.
--
-- This file loads the others of its folder (mudp_*.lua), which only return
-- functions. Load with: tshark -X lua_script:mudp.lua ...  or copy the whole
-- folder's files into the personal plugins folder (see docs/wireshark.md).

local here = debug.getinfo(1, "S").source:match("^@(.*[/\\])") or ""
local function load(name)
    return dofile(here .. name)
end

local text = load("mudp_text.lua")
local records = load("mudp_records.lua")
local keyed = load("mudp_keyed.lua")
local defs = load("mudp_fields.lua")

local DATAGRAM_SIZE = 548
local HEADER_SIZE = 48
local PAYLOAD_SIZE = 500
local MESSAGE_HEADER_SIZE = 80
local HOLEREQ_AREA = 80
local DEFAULT_PORT = 45454

local mudp = Proto("mudp", "MUDP Peer Messaging Protocol")

local f, hf, hr, all_fields = defs.fields()
mudp.fields = all_fields
local e, all_experts = defs.experts()
mudp.experts = all_experts

-- One context for the helpers: fields, expert items and each other's functions.
local ctx = { f = f, e = e }
for _, module in ipairs({ text, records, keyed }) do
    for name, value in pairs(module) do
        if name ~= "bind" then ctx[name] = value end
    end
end
for _, module in ipairs({ text, records, keyed }) do
    module.bind(ctx)
end
local crc16_iso3309, avail, gb18030_text = text.crc16_iso3309, text.avail, text.gb18030_text
local julian_to_date, ms_to_clock, dissect_header = text.julian_to_date, text.ms_to_clock, text.dissect_header
local add_text = text.add_text
local dissect_peer_records, dissect_mark = records.dissect_peer_records, records.dissect_mark
local dissect_loss_report = records.dissect_loss_report


mudp.prefs.udp_port = Pref.uint("UDP port", DEFAULT_PORT, "UDP port dissected as MUDP")
mudp.prefs.reassemble = Pref.bool("Reassemble messages", true,
    "Show the whole message in the frame that completes a multi-packet message")
mudp.prefs.heuristic = Pref.bool("Detect on other ports", true,
    "Also dissect 548-byte UDP datagrams of type 2 with a valid checksum on any port")

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
    elseif word == "PEERDIFF" and off + MESSAGE_HEADER_SIZE <= tvb:len() then
        info = info .. " (" .. keyed.dissect_diff(tvb, tree, body_off, math.max(0, body_len), whole) .. ")"
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

-- A keyed datagram, recognised by its first byte and exact size.
local function dissect_keyed(tvb, pinfo, tree, kind)
    pinfo.cols.protocol = "MUDP"
    local root = tree:add(mudp, tvb())
    local info = keyed.dissect_keyed(tvb, root, kind)
    pinfo.cols.info = info
    root:append_text(", " .. info)
    return tvb:len()
end

-- The checksum at 34 against the 500 payload bytes; returns whether it
-- matches (false when the payload is not all in the capture).
local function dissect_checksum(tvb, ht, sum)
    local citem = ht:add_le(f.checksum, tvb(34, 2))
    if avail(tvb, HEADER_SIZE, PAYLOAD_SIZE) ~= PAYLOAD_SIZE then
        ht:add(f.checksum_status, tvb(34, 2), 2):set_generated()
        return false
    end
    local calc = crc16_iso3309(tvb:raw(HEADER_SIZE, PAYLOAD_SIZE))
    ht:add(f.checksum_calc, tvb(34, 2), calc):set_generated()
    if calc == sum then
        citem:append_text(" [correct]")
        ht:add(f.checksum_status, tvb(34, 2), 1):set_generated()
        citem:add_proto_expert_info(e.checksum_good)
        return true
    end
    citem:append_text(string.format(" [incorrect, should be 0x%04x]", calc))
    ht:add(f.checksum_status, tvb(34, 2), 0):set_generated()
    citem:add_proto_expert_info(e.checksum_bad)
    return false
end

-- The 48-byte datagram header under root; returns its values, whether the
-- numbering is in range and whether the checksum matches.
local function dissect_datagram_header(tvb, root)
    local h = {
        date = tvb(0, 4):le_int(), time = tvb(4, 4):le_int(), ptype = tvb(8, 2):le_int(),
        index = tvb(28, 2):le_int(), total = tvb(30, 2):le_int(), len = tvb(32, 2):le_int(),
    }
    local ht = root:add(tvb(0, HEADER_SIZE), "Datagram header")
    ht:add_le(f.date, tvb(0, 4)):append_text(" (" .. julian_to_date(h.date) .. ")")
    ht:add_le(f.time, tvb(4, 4)):append_text(" (" .. ms_to_clock(h.time) .. ")")
    local titem = ht:add_le(f.type, tvb(8, 2))
    if h.ptype ~= 2 then titem:add_proto_expert_info(e.type) end
    add_text(ht, f.local_ip, tvb, 10, 16)
    ht:add_le(f.local_port, tvb(26, 2))
    local iitem = ht:add_le(f.index, tvb(28, 2))
    ht:add_le(f.total, tvb(30, 2))
    ht:add_le(f.len, tvb(32, 2))
    h.numbered = h.total >= 1 and h.index >= 1 and h.index <= h.total and h.len >= 0 and h.len <= PAYLOAD_SIZE
    if not h.numbered then
        iitem:add_proto_expert_info(e.numbering)
    end
    h.intact = dissect_checksum(tvb, ht, tvb(34, 2):le_uint())
    dissect_mark(tvb, ht, 36)
    return h
end

-- The payload of packet `index` > 1 of a message; returns the Info text.
local function dissect_continuation(tvb, pt, key, index, used)
    local base = (index - 1) * PAYLOAD_SIZE
    local m = messages[key]
    local word = m and m.word
    local info = "Continuation"
    pt:add(f.msg_offset, tvb(HEADER_SIZE, 0), base):set_generated()
    pt:add_proto_expert_info(e.continuation)
    if word then
        pt:add(f.cont_word, tvb(HEADER_SIZE, 0), word):set_generated()
        info = word .. " continuation"
    end
    if word == "PEERLIST" and used > 0 then
        dissect_peer_records(tvb, pt, HEADER_SIZE, base, used)
    elseif used > 0 then
        pt:add(f.data, tvb(HEADER_SIZE, used))
    end
    return info
end

-- The payload of a plain datagram; returns the Info text.
local function dissect_payload(tvb, pinfo, root, h, present)
    local index, total = h.index, h.total
    local pt = root:add(f.payload, tvb(HEADER_SIZE, present))
    pt:set_text(string.format("Payload (%d bytes used)", math.max(0, math.min(h.len, PAYLOAD_SIZE))))
    local used = math.max(0, math.min(h.len, present))
    local key = message_key(pinfo, h.date, h.time)
    local info
    if index == 1 then
        local word
        word, info = dissect_message_start(tvb, pt, HEADER_SIZE, used, total == 1)
        if total > 1 then
            local m = message_entry(key, total)
            m.word = m.word or word
        end
    else
        info = dissect_continuation(tvb, pt, key, index, used)
    end
    if used < present then
        pt:add(f.unused, tvb(HEADER_SIZE + used, present - used))
    end
    -- Packets a receiver would file: intact, numbered, of a message of several.
    -- Like the receiver, the message is the full payloads of packets 1 to
    -- total - 1 and the used bytes of the last.
    if total > 1 and h.numbered and h.intact then
        local m = file_packet(pinfo, key, index, total,
            tvb:raw(HEADER_SIZE, index < total and PAYLOAD_SIZE or used))
        if completed_in[pinfo.number] == key then
            show_reassembled(root, m, total)
            info = info .. " (reassembled)"
        elseif m.done then
            root:add(f.reassembled_in, tvb(0, 0), m.done):set_generated()
        end
    end
    return info
end

local function dissect(tvb, pinfo, tree)
    local size = tvb:len()
    if size == 0 then return 0 end
    local kind = keyed.keyed_kind(tvb)
    if kind then return dissect_keyed(tvb, pinfo, tree, kind) end
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
    local h = dissect_datagram_header(tvb, root)
    local present = avail(tvb, HEADER_SIZE, PAYLOAD_SIZE)
    if present <= 0 then
        pinfo.cols.info = string.format("MUDP [%d/%d] (no payload)", h.index, h.total)
        return size
    end
    local info = string.format("%s [%d/%d]", dissect_payload(tvb, pinfo, root, h, present), h.index, h.total)
    pinfo.cols.info = info
    root:append_text(", " .. info)
    return size
end

function mudp.dissector(tvb, pinfo, tree)
    return dissect(tvb, pinfo, tree)
end

-- Datagrams on other ports: exactly 548 bytes, type 2, sane numbering and a
-- checksum that matches; or a keyed datagram whose zero bytes are zero.
local function heuristic(tvb, pinfo, tree)
    if not mudp.prefs.heuristic then return false end
    local kind = keyed.keyed_kind(tvb)
    if kind then
        if not keyed.keyed_zeros_clear(tvb, kind) then return false end
        dissect_keyed(tvb, pinfo, tree, kind)
        return true
    end
    if tvb:len() ~= DATAGRAM_SIZE then return false end
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
