-- SPDX-License-Identifier: MIT
-- Wireshark dissector for nimbet frames over UDP.
--
-- Load it with:  wireshark -X lua_script:tools/wireshark/nimbet.lua
--           or:  tshark -X lua_script:tools/wireshark/nimbet.lua -Y nimbet
-- or copy it into the personal Lua plugins folder (Help > About > Folders).
-- The UDP port is a preference (Edit > Preferences > Protocols > NIMBET,
-- default 47000); frames on other ports are found by their format byte and
-- CRC.
--
-- A frame (multi-byte numbers big-endian):
--
--   0        1              45          53    54                 len-2   len
--   +--------+--------------+-----------+-----+--------------------+-------+
--   | format | location(44) | srcid (8) | seq | tuples: T0 T1 L d..| CRC16 |
--   +--------+--------------+-----------+-----+--------------------+-------+
--
-- format is 2; the CRC is CRC-16/XMODEM over everything before it. A tuple
-- is a 2-byte type code (3 characters of a 40-symbol alphabet: a + 40 b +
-- 1600 c), a length byte and the data. Control tuples: "cad" (8 bytes: the
-- addressed node), "cac" (control byte: bit 0 reply, bits 1..7 kind 0
-- single / 1 fragment / 2 last fragment; then a sequence byte), "acm" (an
-- acknowledgement) and "cat" (transfer descriptor: flags 0x01 first part,
-- 0x02 last part, 0x04 echo in an acknowledgement; 32-bit nonce; with first
-- the 32-bit total length; with last the CRC-32 of the whole data).

local nimbet = Proto("nimbet", "NIMBET sensor-node frame")

local kinds = { [0] = "single", [1] = "fragment", [2] = "last fragment" }

local f = {
    format     = ProtoField.uint8("nimbet.format", "Format"),
    location   = ProtoField.bytes("nimbet.location", "Location"),
    loc_root   = ProtoField.bytes("nimbet.location.root", "Root"),
    loc_node   = ProtoField.string("nimbet.location.node", "Node"),
    loc_x      = ProtoField.uint16("nimbet.location.x", "X"),
    loc_y      = ProtoField.uint16("nimbet.location.y", "Y"),
    loc_z      = ProtoField.uint16("nimbet.location.z", "Z"),
    loc_dev    = ProtoField.uint8("nimbet.location.deviation", "Deviation"),
    srcid      = ProtoField.string("nimbet.srcid", "Source identifier"),
    seq        = ProtoField.uint8("nimbet.seq", "Sequence number"),
    tuple      = ProtoField.bytes("nimbet.tuple", "Tuple"),
    tuple_type = ProtoField.string("nimbet.tuple.type", "Type"),
    tuple_code = ProtoField.uint16("nimbet.tuple.code", "Type code", base.HEX),
    tuple_len  = ProtoField.uint8("nimbet.tuple.len", "Length"),
    tuple_data = ProtoField.bytes("nimbet.tuple.data", "Data"),
    tuple_text = ProtoField.string("nimbet.tuple.text", "Text"),
    cad        = ProtoField.string("nimbet.cad", "Addressed to"),
    cac_ctl    = ProtoField.uint8("nimbet.cac.control", "Control", base.HEX),
    cac_reply  = ProtoField.bool("nimbet.cac.reply", "Reply", 8, { "acknowledgement", "request" }, 0x01),
    cac_kind   = ProtoField.uint8("nimbet.cac.kind", "Kind", base.DEC, kinds, 0xFE),
    cac_seq    = ProtoField.uint8("nimbet.cac.seq", "Sequence"),
    acm        = ProtoField.none("nimbet.acm", "Acknowledgement"),
    part       = ProtoField.uint8("nimbet.frag.part", "Part number (modulo 256)"),
    part_len   = ProtoField.uint8("nimbet.frag.len", "Part length"),
    part_data  = ProtoField.bytes("nimbet.frag.data", "Part data"),
    part_last  = ProtoField.bool("nimbet.frag.last", "Last part"),
    cat_flags  = ProtoField.uint8("nimbet.cat.flags", "Descriptor flags", base.HEX),
    cat_first  = ProtoField.bool("nimbet.cat.first", "First part", 8, nil, 0x01),
    cat_last   = ProtoField.bool("nimbet.cat.last", "Last part", 8, nil, 0x02),
    cat_echo   = ProtoField.bool("nimbet.cat.echo", "Echo", 8, nil, 0x04),
    cat_hasidx = ProtoField.bool("nimbet.cat.indexed", "Part index", 8, nil, 0x08),
    cat_nonce  = ProtoField.uint32("nimbet.cat.nonce", "Transfer nonce", base.HEX),
    cat_total  = ProtoField.uint32("nimbet.cat.total", "Total length"),
    cat_crc32  = ProtoField.uint32("nimbet.cat.crc32", "CRC-32 of the data", base.HEX),
    cat_index  = ProtoField.uint32("nimbet.cat.index", "Part index"),
    crc        = ProtoField.uint16("nimbet.crc", "CRC-16", base.HEX),
    crc_good   = ProtoField.bool("nimbet.crc.good", "CRC correct"),
}
nimbet.fields = {}
for _, field in pairs(f) do
    table.insert(nimbet.fields, field)
end

local e_crc = ProtoExpert.new("nimbet.crc.bad", "Bad CRC-16", expert.group.CHECKSUM, expert.severity.ERROR)
local e_tuple = ProtoExpert.new("nimbet.tuple.overrun", "Tuple runs past the end of the frame",
    expert.group.MALFORMED, expert.severity.ERROR)
local e_short = ProtoExpert.new("nimbet.short", "Control tuple too short", expert.group.MALFORMED,
    expert.severity.WARN)
nimbet.experts = { e_crc, e_tuple, e_short }

nimbet.prefs.port = Pref.uint("UDP port", 47000, "UDP port of nimbet frames")

local HEADER = 54
local MIN_FRAME = 59

local band = (bit32 and bit32.band) or bit.band
local bxor = (bit32 and bit32.bxor) or bit.bxor
local lshift = (bit32 and bit32.lshift) or bit.lshift
local rshift = (bit32 and bit32.rshift) or bit.rshift

-- CRC-16/XMODEM: polynomial 0x1021, start 0, no reflection.
local function crc16(tvb, offset, len)
    local crc = 0
    for i = offset, offset + len - 1 do
        crc = bxor(crc, lshift(tvb(i, 1):uint(), 8))
        for _ = 1, 8 do
            if band(crc, 0x8000) ~= 0 then
                crc = band(bxor(lshift(crc, 1), 0x1021), 0xFFFF)
            else
                crc = band(lshift(crc, 1), 0xFFFF)
            end
        end
    end
    return crc
end

local alphabet = "0123456789-/ @abcdefghijklmnopqrstuvwxyz"

-- The 3 characters of a packed type code.
local function type_name(code)
    if code >= 64000 then
        return "???"
    end
    local s = ""
    for _ = 1, 3 do
        local v = code % 40
        s = s .. alphabet:sub(v + 1, v + 1)
        code = (code - v) / 40
    end
    return s
end

local function dotted(tvb, offset, len)
    local parts = {}
    for i = 0, len - 1 do
        parts[#parts + 1] = tostring(tvb(offset + i, 1):uint())
    end
    return table.concat(parts, ".")
end

local function printable(tvb, offset, len)
    for i = offset, offset + len - 1 do
        local b = tvb(i, 1):uint()
        if b < 0x20 or b > 0x7e then
            return false
        end
    end
    return true
end

-- A coordinate byte: 6-bit mantissa times ten to a 2-bit power.
local function coordinate(b)
    return math.floor(rshift(b, 2) * (10 ^ band(b, 3)))
end

local function add_location(tree, tvb)
    local loc = tree:add(f.location, tvb(1, 44))
    loc:add(f.loc_root, tvb(1, 16))
    for n = 0, 3 do
        local off = 17 + 6 * n
        local name = type_name(tvb(off, 2):uint()) .. type_name(tvb(off + 2, 2):uint()) ..
            type_name(tvb(off + 4, 2):uint())
        loc:add(f.loc_node, tvb(off, 6), name):set_text("Node " .. (n + 1) .. ": " .. name)
    end
    loc:add(f.loc_x, tvb(41, 1), coordinate(tvb(41, 1):uint()))
    loc:add(f.loc_y, tvb(42, 1), coordinate(tvb(42, 1):uint()))
    loc:add(f.loc_z, tvb(43, 1), coordinate(tvb(43, 1):uint()))
    loc:add(f.loc_dev, tvb(44, 1))
end

-- The decoded control tuples; returns a short text for the Info column.
local function add_control(sub, name, tvb, off, len)
    if name == "cad" then
        if len ~= 8 then
            sub:add_proto_expert_info(e_short)
            return nil
        end
        local dest = dotted(tvb, off, 8)
        sub:add(f.cad, tvb(off, 8), dest)
        return "to " .. dest
    elseif name == "cac" then
        if len < 2 then
            sub:add_proto_expert_info(e_short)
            return nil
        end
        local ctl = tvb(off, 1):uint()
        sub:add(f.cac_ctl, tvb(off, 1))
        sub:add(f.cac_reply, tvb(off, 1))
        sub:add(f.cac_kind, tvb(off, 1))
        sub:add(f.cac_seq, tvb(off + 1, 1))
        local kind = kinds[rshift(ctl, 1)] or "invalid"
        local what = band(ctl, 1) == 1 and "ack of " or "request, "
        return what .. kind .. " #" .. tvb(off + 1, 1):uint()
    elseif name == "acm" then
        sub:add(f.acm, tvb(off - 3, 3))
        return nil
    elseif name == "cat" then
        if len < 5 then
            sub:add_proto_expert_info(e_short)
            return nil
        end
        local flags = tvb(off, 1):uint()
        local d = sub:add(f.cat_flags, tvb(off, 1))
        d:add(f.cat_first, tvb(off, 1))
        d:add(f.cat_last, tvb(off, 1))
        d:add(f.cat_echo, tvb(off, 1))
        d:add(f.cat_hasidx, tvb(off, 1))
        sub:add(f.cat_nonce, tvb(off + 1, 4))
        local at = off + 5
        if band(flags, 0x01) ~= 0 and at + 4 <= off + len then
            sub:add(f.cat_total, tvb(at, 4))
            at = at + 4
        end
        if band(flags, 0x02) ~= 0 and at + 4 <= off + len then
            sub:add(f.cat_crc32, tvb(at, 4))
            at = at + 4
        end
        if band(flags, 0x08) ~= 0 and at + 4 <= off + len then
            sub:add(f.cat_index, tvb(at, 4))
        end
        return nil
    end
    return nil
end

local function dissect(tvb, pinfo, tree)
    local len = tvb:len()
    if len < MIN_FRAME or tvb(0, 1):uint() ~= 2 then
        return 0
    end
    pinfo.cols.protocol = "NIMBET"
    local root = tree:add(nimbet, tvb(), "NIMBET frame")
    root:add(f.format, tvb(0, 1))
    add_location(root, tvb)
    local src = dotted(tvb, 45, 8)
    root:add(f.srcid, tvb(45, 8), src)
    root:add(f.seq, tvb(53, 1))

    local info = { src .. " seq " .. tvb(53, 1):uint() .. ":" }
    local cac_kind, cac_reply, cac_seq = nil, nil, nil
    local first_data = nil
    local off = HEADER
    local crc_at = len - 2
    local index = 0
    while off < crc_at do
        if off + 3 > crc_at then
            root:add_proto_expert_info(e_tuple)
            break
        end
        local code = tvb(off, 2):uint()
        local name = type_name(code)
        local tlen = tvb(off + 2, 1):uint()
        local overrun = off + 3 + tlen > crc_at
        local shown = overrun and (crc_at - off) or (3 + tlen)
        local sub = root:add(f.tuple, tvb(off, shown))
        sub:set_text("Tuple " .. name .. ", " .. tlen .. " bytes")
        sub:add(f.tuple_type, tvb(off, 2), name)
        sub:add(f.tuple_code, tvb(off, 2))
        sub:add(f.tuple_len, tvb(off + 2, 1))
        if overrun then
            sub:add_proto_expert_info(e_tuple)
            break
        end
        if tlen > 0 then
            sub:add(f.tuple_data, tvb(off + 3, tlen))
            if printable(tvb, off + 3, tlen) then
                sub:add(f.tuple_text, tvb(off + 3, tlen), tvb(off + 3, tlen):string())
            end
        end
        if index == 0 then
            first_data = { off = off + 3, len = tlen }
        end
        local text = add_control(sub, name, tvb, off + 3, tlen)
        if name == "cac" and tlen >= 2 then
            cac_reply = band(tvb(off + 3, 1):uint(), 1) == 1
            cac_kind = rshift(tvb(off + 3, 1):uint(), 1)
            cac_seq = tvb(off + 4, 1):uint()
        end
        if text then
            info[#info + 1] = text
        elseif name ~= "cad" and name ~= "cac" and name ~= "cat" then
            if tlen > 0 and tlen <= 24 and printable(tvb, off + 3, tlen) then
                info[#info + 1] = name .. ' "' .. tvb(off + 3, tlen):string() .. '"'
            else
                info[#info + 1] = name .. (tlen > 0 and (" [" .. tlen .. "]") or "")
            end
        end
        off = off + 3 + tlen
        index = index + 1
    end

    -- A fragment request carries its part in the first tuple.
    if cac_kind ~= nil and not cac_reply and (cac_kind == 1 or cac_kind == 2) and first_data then
        local part = root:add(f.part, tvb(HEADER, 0), cac_seq)
        part:set_generated()
        root:add(f.part_len, tvb(first_data.off - 1, 1))
        if first_data.len > 0 then
            root:add(f.part_data, tvb(first_data.off, first_data.len))
        end
        root:add(f.part_last, tvb(HEADER, 0), cac_kind == 2):set_generated()
    end

    local stored = tvb(crc_at, 2):uint()
    local computed = crc16(tvb, 0, crc_at)
    local crc_item = root:add(f.crc, tvb(crc_at, 2))
    root:add(f.crc_good, tvb(crc_at, 2), stored == computed):set_generated()
    if stored ~= computed then
        crc_item:append_text(string.format(" [wrong: should be 0x%04x]", computed))
        crc_item:add_proto_expert_info(e_crc)
        info[#info + 1] = "[BAD CRC]"
    end
    pinfo.cols.info = table.concat(info, " ")
    return len
end

function nimbet.dissector(tvb, pinfo, tree)
    return dissect(tvb, pinfo, tree)
end

-- Frames on other ports: a format byte of 2 and a CRC that checks.
local function heuristic(tvb, pinfo, tree)
    local len = tvb:len()
    if len < MIN_FRAME or tvb(0, 1):uint() ~= 2 or crc16(tvb, 0, len - 2) ~= tvb(len - 2, 2):uint() then
        return false
    end
    dissect(tvb, pinfo, tree)
    pinfo.conversation = nimbet
    return true
end

local registered_port = nil
local function register_port()
    local udp = DissectorTable.get("udp.port")
    if registered_port then
        udp:remove(registered_port, nimbet)
    end
    registered_port = nimbet.prefs.port
    udp:add(registered_port, nimbet)
end

function nimbet.prefs_changed()
    register_port()
end

register_port()
nimbet:register_heuristic("udp", heuristic)
