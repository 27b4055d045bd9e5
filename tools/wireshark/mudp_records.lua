-- Bodies and reserved bytes of the MUDP dissector (see mudp.lua, which loads
-- this file): PEERINFO records, the path mark and the FEEDBACK loss report.
-- Loaded on its own it only returns its functions.

local bit = bit32 or bit
local band, rshift = bit.band, bit.rshift

local MESSAGE_HEADER_SIZE = 80
local PEERINFO_SIZE = 144
local MAX_PACKETS = 32767
local MARK_MAGIC = 0xA7
local MARK_VERSION = 1
local REPORT_VERSION = 1

local M = {}
-- Set by bind: fields, expert items, text helpers, the PEERINFO layout.
local f, e, add_text, gb18030_text, julian_to_date, ms_to_clock, ENC_NAME
local peer_layout

function M.bind(ctx)
    f, e, ENC_NAME = ctx.f, ctx.e, ctx.ENC_NAME
    add_text, gb18030_text = ctx.add_text, ctx.gb18030_text
    julian_to_date, ms_to_clock = ctx.julian_to_date, ctx.ms_to_clock
    -- Fields of a PEERINFO record: offset, width, field, kind.
    peer_layout = {
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
end

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

-- One entry at tvb offset at (its 12-byte head is in the body), read up to
-- stop; `malformed(item, why)` marks a fault. Returns the offset after what
-- was read, its ranges and missing packets, and whether it hit a fault.
local function dissect_report_entry(tvb, rt, at, stop, k, malformed)
    local date, time, n = tvb(at, 4):le_int(), tvb(at + 4, 4):le_int(), tvb(at + 8, 2):le_uint()
    local et = rt:add(f.report_entry, tvb(at, math.min(12 + 4 * n, stop - at)))
    et:add_le(f.report_date, tvb(at, 4)):append_text(" (" .. julian_to_date(date) .. ")")
    et:add_le(f.report_time, tvb(at + 4, 4)):append_text(" (" .. ms_to_clock(time) .. ")")
    et:add_le(f.report_ranges, tvb(at + 8, 2))
    et:add_le(f.report_spare, tvb(at + 10, 2))
    et:set_text(string.format("Entry %d: message %d/%d, %s", k, date, time, plural(n, "range")))
    at = at + 12
    local ranges, missing = 0, 0
    for j = 1, n do
        if at + 4 > stop then
            malformed(et, string.format("range %d of %d lies past the end of the body", j, n))
            return at, ranges, missing, true
        end
        local first, last = tvb(at, 2):le_uint(), tvb(at + 2, 2):le_uint()
        local gt = et:add(f.report_range, tvb(at, 4))
        gt:add_le(f.report_first, tvb(at, 2))
        gt:add_le(f.report_last, tvb(at + 2, 2))
        gt:set_text(string.format("Missing packets %d–%d", first, last))
        at = at + 4
        if first < 1 or last < first or last > MAX_PACKETS then
            malformed(gt, first > last and "range reversed" or "range outside 1 to 32767")
            return at, ranges, missing, true
        end
        ranges = ranges + 1
        missing = missing + last - first + 1
    end
    return at, ranges, missing, false
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
            local r, miss, stopped
            at, r, miss, stopped = dissect_report_entry(tvb, rt, at, stop, k, malformed)
            entries, ranges, missing = entries + 1, ranges + r, missing + miss
            if stopped then break end
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

M.dissect_peer = dissect_peer
M.dissect_peer_records = dissect_peer_records
M.dissect_mark = dissect_mark
M.dissect_loss_report = dissect_loss_report
M.plural = plural
return M
