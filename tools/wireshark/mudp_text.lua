-- Text and number helpers of the MUDP dissector (see mudp.lua, which loads
-- this file): the datagram checksum, fixed-width texts, GB18030 names, the
-- "$"-separated message header. Loaded on its own it only returns its
-- functions.

local bit = bit32 or bit
local band, bxor, rshift = bit.band, bit.bxor, bit.rshift
-- Names are GB18030 bytes; builds without that encoding show them as UTF-8.
local ENC_NAME = ENC_GB18030 or ENC_UTF_8

local M = { ENC_NAME = ENC_NAME }
local e -- the expert items, set by bind

function M.bind(ctx)
    e = ctx.e
end

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
-- Protocol words and the meaning of header positions 2 to 4
---------------------------------------------------------------------------
local known_words = {
    REQUEST = { "date", "time", "packet index" },
    RECEIVED = { "date", "time" },
    DATAFAIL = { "date", "time" },
    REG = {}, UNREG = {}, REGACC = {}, UNREGACC = {}, ALIVE = {}, RE_ALIVE = {},
    REGDUP = {}, UNKOWN = {}, PEERLIST = {}, DATA = {}, TRANS = {}, TRANSHOLE = {},
    HOLEREQ = {}, HOLEREG = {}, HOLEACC = {}, NOLVHOLE = {}, FEEDBACK = {},
    -- Only between our own units: user lists by difference.
    PEERDIFF = {}, PEERSYNC = {},
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

-- Adds the zero-terminated text of a field of n bytes present at off: the
-- text as the field's value, the whole width as its extent, a note when no
-- zero ends it. Returns the raw text and its length.
local function add_terminated(tree, field, tvb, off, n, encoding)
    local raw = tvb:raw(off, n)
    local z = raw:find("\0", 1, true)
    local used = z and (z - 1) or n
    local item
    if used > 0 then
        item = tree:add_packet_field(field, tvb(off, used), encoding)
        item:set_len(n)
    else
        item = tree:add(field, tvb(off, n), "")
    end
    if not z then item:add_proto_expert_info(e.unterminated) end
    return raw:sub(1, used), used
end

-- Adds a zero-terminated text of a fixed-width field; returns the text (raw
-- bytes) or nil when the field is not in the capture.
local function add_text(tree, field, tvb, off, width, encoding)
    local n = avail(tvb, off, width)
    if n <= 0 then return nil end
    return (add_terminated(tree, field, tvb, off, n, encoding or ENC_ASCII))
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
    local htree = tree:add(tvb(off, n), title)
    local text, used = add_terminated(htree, fs.text, tvb, off, n, ENC_NAME)

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

M.crc16_iso3309 = crc16_iso3309
M.known_words = known_words
M.avail = avail
M.add_text = add_text
M.gb18030_text = gb18030_text
M.julian_to_date = julian_to_date
M.ms_to_clock = ms_to_clock
M.dissect_header = dissect_header
return M
