-- Keyed datagrams and list differences for the MUDP dissector (see mudp.lua,
-- which loads this file). Loaded on its own it only returns its functions.
--
-- With a network key set, units send only keyed datagrams, told apart by
-- their first byte and their exact size (docs/secure-protocol.md); none is
-- 548 bytes, the size of every plain datagram. Their clear header fields are
-- shown; what is sealed shows as encrypted payload and tag.

local PLAIN_SIZE = 548
local PEERINFO_SIZE = 144
local DIFF_HEAD_SIZE = 24
local DIFF_FIXED, DIFF_PACKED = 1, 2
local SAME_SERVER = 1

local M = {}
-- Set by bind: fields, expert items, the record and counting helpers.
local f, e, dissect_peer, plural, ENC_NAME

function M.bind(ctx)
    f, e, dissect_peer, plural, ENC_NAME = ctx.f, ctx.e, ctx.dissect_peer, ctx.plural, ctx.ENC_NAME
end

-- Layouts: offset, size, field name, little-endian; flags name their bits.
local layouts = {
    initiation = { size = 660, type = 0x11, zeros = { { 2, 2 }, { 612, 16 } },
        { 0, 1, "keyed_type" }, { 1, 1, "keyed_flags", bits = { "keyed_carries" } }, { 2, 2, "keyed_zero" },
        { 4, 4, "keyed_sender", true }, { 8, 32, "keyed_ephemeral" }, { 40, 8, "keyed_stamp", true },
        { 48, PLAIN_SIZE, "keyed_encrypted" }, { 596, 16, "keyed_tag" }, { 612, 16, "keyed_padding" },
        { 628, 16, "keyed_mac1" }, { 644, 16, "keyed_mac2" } },
    response = { size = 76, type = 0x12, zeros = { { 1, 3 } },
        { 0, 1, "keyed_type" }, { 1, 3, "keyed_zero" }, { 4, 4, "keyed_sender", true },
        { 8, 4, "keyed_receiver", true }, { 12, 32, "keyed_ephemeral" }, { 44, 16, "keyed_tag" },
        { 60, 16, "keyed_mac1" } },
    ["cookie reply"] = { size = 64, type = 0x13, zeros = { { 1, 3 } },
        { 0, 1, "keyed_type" }, { 1, 3, "keyed_zero" }, { 4, 4, "keyed_receiver", true },
        { 8, 24, "keyed_nonce" }, { 32, 16, "keyed_encrypted" }, { 48, 16, "keyed_tag" } },
    transport = { size = 16 + PLAIN_SIZE + 16, type = 0x14, zeros = { { 2, 2 } },
        { 0, 1, "keyed_type" }, { 1, 1, "keyed_flags", bits = { "keyed_proven", "keyed_answer_me" } },
        { 2, 2, "keyed_zero" }, { 4, 4, "keyed_receiver", true }, { 8, 8, "keyed_counter", true },
        { 16, PLAIN_SIZE, "keyed_encrypted" }, { 16 + PLAIN_SIZE, 16, "keyed_tag" } },
    keepalive = { size = 32, type = 0x14, zeros = { { 2, 2 } },
        { 0, 1, "keyed_type" }, { 1, 1, "keyed_flags", bits = { "keyed_proven", "keyed_answer_me" } },
        { 2, 2, "keyed_zero" }, { 4, 4, "keyed_receiver", true }, { 8, 8, "keyed_counter", true },
        { 16, 16, "keyed_tag" } },
}

-- The kind of keyed datagram tvb is ("initiation", ..., "keepalive"), or nil.
function M.keyed_kind(tvb)
    local size = tvb:len()
    if size == PLAIN_SIZE or size < 1 then return nil end
    local t = tvb(0, 1):uint()
    for kind, l in pairs(layouts) do
        if l.type == t and l.size == size then return kind end
    end
    return nil
end

-- Whether the bytes its layout keeps zero are zero: the test for keyed
-- datagrams on ports other than the registered one.
function M.keyed_zeros_clear(tvb, kind)
    for _, z in ipairs(layouts[kind].zeros) do
        if not tvb(z[1], z[2]):bytes():tohex():match("^0*$") then return false end
    end
    return true
end

-- Shows a keyed datagram of `kind` under root; returns the Info text.
function M.dissect_keyed(tvb, root, kind)
    local kt = root:add(tvb(), "Keyed " .. kind)
    kt:add_proto_expert_info(e.keyed)
    for _, d in ipairs(layouts[kind]) do
        local r = tvb(d[1], d[2])
        local item = d[4] and kt:add_le(f[d[3]], r) or kt:add(f[d[3]], r)
        for _, b in ipairs(d.bits or {}) do item:add(f[b], r) end
    end
    local info = "Keyed " .. kind
    if kind == "initiation" or kind == "response" then
        info = info .. string.format(", sender index 0x%08x", tvb(4, 4):le_uint())
    end
    if kind ~= "initiation" then
        local at = (kind == "response") and 8 or 4
        info = info .. string.format(", receiver index 0x%08x", tvb(at, 4):le_uint())
    end
    if kind == "transport" or kind == "keepalive" then
        info = info .. ", counter " .. tostring(tvb(8, 8):le_uint64())
    end
    kt:set_text(info)
    return info
end

---------------------------------------------------------------------------
-- PEERDIFF: the list difference after the message header
---------------------------------------------------------------------------
-- Head (24 bytes, little-endian): version, kind (1 difference, 2 whole
-- list), spare, run, from, to, records put, records removed; then the put
-- records and the removed ones: 144 bytes each in version 1, packed in
-- version 2 (flags; name, address and local address as length and bytes;
-- port and local port; the server's name, address and port unless flag
-- bit 0 says they are the record before's; access; life). Read as a client
-- reads it;
-- `whole` is false for packet 1 of a message of several, whose records go
-- on in the next packets.

-- The fault of a head a client cannot read, or nil.
local function diff_head_fault(version, kind, from, to, removes)
    if version ~= DIFF_FIXED and version ~= DIFF_PACKED then
        return string.format("version %d, not %d or %d", version, DIFF_FIXED, DIFF_PACKED)
    elseif kind ~= 1 and kind ~= 2 then
        return string.format("kind %d", kind)
    elseif kind == 1 and from >= to then
        return string.format("from %d is not below to %d", from, to)
    elseif kind == 2 and (from ~= 0 or removes ~= 0) then
        return "whole list with from or removed records"
    end
    return nil
end

-- Shows `count` records from tvb offset at, as far as stop; returns the
-- offset after them and the fault when the body ends first.
local function diff_records(tvb, tree, at, stop, count, title, whole)
    if count == 0 then return at, nil end
    local fit = math.min(count, math.floor((stop - at) / PEERINFO_SIZE))
    local span = math.min(count * PEERINFO_SIZE, stop - at)
    local rt = span > 0 and tree:add(tvb(at, span), title) or tree:add(f.diff)
    rt:set_text(string.format("%s: %d of %d in this %s", title, fit, count, whole and "message" or "packet"))
    for k = 1, fit do
        dissect_peer(tvb, rt, at, at, at + PEERINFO_SIZE, k)
        at = at + PEERINFO_SIZE
    end
    if fit < count and whole then
        return at, string.format("%s past the end of the body", plural(count - fit, "record"))
    end
    return at, nil
end

-- Reads one packed record at `at` (before `stop`) into tree; returns the
-- offset after it, or nil when it runs past stop or a text is too long.
local function packed_record(tvb, tree, at, stop, first, index, server)
    local start = at
    local rt = tree:add(f.peer, tvb(at, math.min(1, stop - at)))
    local v = {}
    local function text(field, width, enc)
        if at >= stop then return false end
        local n = tvb(at, 1):uint()
        if n >= width or at + 1 + n > stop then return false end
        if n > 0 then
            rt:add(field, tvb(at + 1, n), tvb(at + 1, n):string(enc))
        else
            rt:add(field, tvb(at, 1), "")
        end
        v[#v + 1] = n > 0 and tvb(at + 1, n):string(enc) or ""
        at = at + 1 + n
        return true
    end
    local function number(field, width, signed)
        if at + width > stop then return false end
        rt:add_le(field, tvb(at, width))
        v[#v + 1] = signed and tvb(at, width):le_int() or tvb(at, width):le_uint()
        at = at + width
        return true
    end
    local flags = at < stop and tvb(at, 1):uint() or nil
    local ok = flags ~= nil and flags <= SAME_SERVER and not (first and flags == SAME_SERVER)
    if ok then
        at = at + 1
        ok = text(f.peer_name, 40, ENC_NAME) and text(f.peer_ip, 16, ENC_ASCII) and
            text(f.peer_local_ip, 16, ENC_ASCII) and number(f.peer_port, 2) and number(f.peer_local_port, 2)
    end
    if ok and flags ~= SAME_SERVER then
        ok = text(f.peer_server_name, 40, ENC_NAME) and text(f.peer_server_ip, 16, ENC_ASCII) and
            number(f.peer_server_port, 2)
    elseif ok then
        rt:add(tvb(start, 1), "Server as in the record before: " .. server)
    end
    ok = ok and number(f.peer_access, 4, true) and number(f.peer_life, 4, true)
    if not ok then
        rt:set_text(string.format("Peer record %d (packed; cut at the end of the body)", index))
        return nil
    end
    rt:set_len(at - start)
    rt:set_text(string.format("Peer record %d: %s %s:%d", index, v[1], v[2], v[4]))
    return at, flags ~= SAME_SERVER and string.format("%s %s:%d", v[6], v[7], v[8]) or server
end

-- Shows `count` packed records from tvb offset at, as far as stop; returns
-- the offset after them and the fault when the body ends first.
local function packed_records(tvb, tree, at, stop, count, title, whole)
    if count == 0 then return at, nil end
    local rt = tree:add(tvb(at, math.max(0, math.min(1, stop - at))), title)
    local begin, fit, server = at, 0, ""
    while fit < count do
        local after, srv = packed_record(tvb, rt, at, stop, fit == 0, fit + 1, server)
        if not after then break end
        at, server, fit = after, srv, fit + 1
    end
    if at > begin then rt:set_len(at - begin) end
    rt:set_text(string.format("%s: %d of %d in this %s (packed)", title, fit, count, whole and "message" or "packet"))
    if fit < count and whole then
        return at, string.format("%s past the end of the body", plural(count - fit, "record"))
    end
    return at, nil
end

-- Shows the body of `length` bytes at off; returns the Info text.
function M.dissect_diff(tvb, tree, off, length, whole)
    local dt = length > 0 and tree:add(f.diff, tvb(off, length)) or tree:add(f.diff)
    local function malformed(why)
        dt:add_proto_expert_info(e.bad_diff, "Malformed list difference: " .. why ..
            "; the receiver asks for the whole list")
        dt:append_text(" (malformed)")
        return "malformed"
    end
    if length < DIFF_HEAD_SIZE then
        return malformed("body of " .. plural(length, "byte") .. ", shorter than its 24-byte head")
    end
    local version, kind = tvb(off, 1):uint(), tvb(off + 1, 1):uint()
    local run, from, to = tvb(off + 4, 4):le_uint(), tvb(off + 8, 4):le_uint(), tvb(off + 12, 4):le_uint()
    local puts, removes = tvb(off + 16, 4):le_uint(), tvb(off + 20, 4):le_uint()
    for i, name in ipairs({ "diff_version", "diff_kind", "diff_spare", "diff_run", "diff_from", "diff_to",
        "diff_puts", "diff_removes" }) do
        local at, w = ({ 0, 1, 2, 4, 8, 12, 16, 20 })[i], ({ 1, 1, 2, 4, 4, 4, 4, 4 })[i]
        dt:add_le(f[name], tvb(off + at, w))
    end
    local info = kind == 2 and string.format("whole list %d, %s", to, plural(puts, "record"))
        or string.format("difference %d to %d, %d put, %d removed", from, to, puts, removes)
    dt:set_text(string.format("List %s (run 0x%08x)", info, run))
    local fault = diff_head_fault(version, kind, from, to, removes)
    if fault then return info .. ", " .. malformed(fault) end
    local stop = off + length
    local records = version == DIFF_PACKED and packed_records or diff_records
    local at, short = records(tvb, dt, off + DIFF_HEAD_SIZE, stop, puts, "Records put", whole)
    if not short then
        at, short = records(tvb, dt, at, stop, removes, "Records removed", whole)
    end
    if short then return info .. ", " .. malformed(short) end
    if whole and at < stop then dt:add(f.trailing, tvb(at, stop - at)) end
    return info
end

return M
