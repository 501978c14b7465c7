-- Wireshark dissector for HUBD binary log records (link type 147, USER0).
-- A packet is one log record from byte 12 on (its time is the packet time):
-- pid u32, tid u32, level u8, then the NUL-terminated texts tag, thread
-- name, file, line, function and message, all little-endian.
--
--   tshark -X lua_script:hubd_log.lua -r hubd.pcap -Y "hubd.level <= 4"
-- or copy it into Wireshark's personal Lua plugins folder.

local hubd = Proto("hubd", "HUBD log record")

local level_names = {
    [2] = "CRIT", [3] = "ERROR", [4] = "WARN", [5] = "NOTI", [6] = "INFO", [7] = "DEBUG", [8] = "VERB",
}

local f = {
    time = ProtoField.absolute_time("hubd.time", "Time", base.LOCAL),
    pid = ProtoField.uint32("hubd.pid", "Process id"),
    tid = ProtoField.uint32("hubd.tid", "Thread id"),
    level = ProtoField.uint8("hubd.level", "Level", base.DEC, level_names),
    tag = ProtoField.string("hubd.tag", "Tag"),
    thread = ProtoField.string("hubd.thread", "Thread"),
    file = ProtoField.string("hubd.file", "File"),
    line = ProtoField.uint32("hubd.line", "Line"),
    func = ProtoField.string("hubd.func", "Function"),
    msg = ProtoField.string("hubd.msg", "Message"),
}
hubd.fields = { f.time, f.pid, f.tid, f.level, f.tag, f.thread, f.file, f.line, f.func, f.msg }

local cut_expert = ProtoExpert.new("hubd.cut", "Record cut: texts missing", expert.group.MALFORMED, expert.severity.NOTE)
hubd.experts = { cut_expert }

local FIXED = 9 -- pid, tid, level

-- The NUL-terminated text at offset: its range (terminator included) and
-- value, or nil when the record ends first.
local function text_at(tvb, offset)
    local len = tvb:len()
    if offset >= len then return nil end
    local stop = offset
    while stop < len and tvb(stop, 1):uint() ~= 0 do stop = stop + 1 end
    if stop >= len then return nil end
    local range = tvb(offset, stop - offset + 1)
    return range, range:stringz()
end

function hubd.dissector(tvb, pinfo, tree)
    if tvb:len() < FIXED then return 0 end
    pinfo.cols.protocol = "HUBD"
    local subtree = tree:add(hubd, tvb(), "HUBD log record")
    -- The packet time is the record's time, to the microsecond.
    local secs = math.floor(pinfo.abs_ts)
    local usecs = math.floor((pinfo.abs_ts - secs) * 1e6 + 0.5)
    if usecs >= 1000000 then secs, usecs = secs + 1, usecs - 1000000 end
    subtree:add(f.time, tvb(0, 0), NSTime.new(secs, usecs * 1000))
    subtree:add_le(f.pid, tvb(0, 4))
    subtree:add_le(f.tid, tvb(4, 4))
    subtree:add(f.level, tvb(8, 1))
    local level = tvb(8, 1):uint()

    local texts = {}
    local offset = FIXED
    local order = { "tag", "thread", "file", "line", "func", "msg" }
    for _, name in ipairs(order) do
        local range, value = text_at(tvb, offset)
        if not range then
            subtree:add_proto_expert_info(cut_expert)
            break
        end
        if name == "line" then
            subtree:add(f.line, range, tonumber(value) or 0)
        else
            subtree:add(f[name], range, value)
        end
        texts[name] = value
        offset = offset + range:len()
    end

    local msg = (texts.msg or ""):gsub("[\r\n]+$", "")
    pinfo.cols.info = string.format("%s %s: %s", level_names[level] or tostring(level), texts.tag or "", msg)
    return tvb:len()
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, hubd)
