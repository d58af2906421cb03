-- Wireshark dissector for the KVT5100 cash register link, as written by
-- `kvttrace pcap dbgerror.log -o run.pcapng` (link type USER0, 147): one
-- packet per frame or control byte, its direction in the packet flags.
--
--   tshark -X lua_script:contrib/wireshark/kvt5100.lua -r run.pcapng
--   wireshark -X lua_script:contrib/wireshark/kvt5100.lua run.pcapng
-- or copy this file into Wireshark's personal plugins folder.

local kvt = Proto("kvt5100", "KVT5100 cash register link")

local frame_types = {
    [1] = "command frame", [2] = "data frame", [3] = "end-of-data frame",
    [4] = "ACK", [5] = "NAK", [6] = "NUL (lost reply)", [7] = "garbage",
}

local f = kvt.fields
f.type = ProtoField.uint8("kvt5100.type", "Frame type", base.DEC, frame_types)
f.direction = ProtoField.string("kvt5100.direction", "Direction")
f.stx = ProtoField.uint8("kvt5100.stx", "STX", base.HEX)
f.command = ProtoField.uint8("kvt5100.command", "Command code", base.HEX)
f.etx = ProtoField.uint8("kvt5100.etx", "ETX", base.HEX)
f.data = ProtoField.string("kvt5100.data", "Data")
f.data_length = ProtoField.uint16("kvt5100.data_length", "Data length")
f.checksum = ProtoField.string("kvt5100.checksum", "Checksum digits")
f.checksum_expected = ProtoField.string("kvt5100.checksum.expected", "Checksum of the data")
f.checksum_good = ProtoField.bool("kvt5100.checksum.good", "Checksum good")
f.cr = ProtoField.uint8("kvt5100.cr", "CR", base.HEX)
f.block_checksum = ProtoField.string("kvt5100.block_checksum", "Block checksum digits")
f.block_expected = ProtoField.string("kvt5100.block_checksum.expected", "Sum of the frames before it")
f.block_good = ProtoField.bool("kvt5100.block_checksum.good", "Block checksum matches the frames")
f.sub = ProtoField.uint8("kvt5100.sub", "SUB", base.HEX)
f.control = ProtoField.uint8("kvt5100.control", "Control byte", base.HEX)
f.retry = ProtoField.bool("kvt5100.retry", "Resending of the frame before")
f.garbage = ProtoField.bytes("kvt5100.garbage", "Garbage")

local ef_bad_checksum = ProtoExpert.new("kvt5100.checksum.bad", "Checksum does not match the data",
                                        expert.group.CHECKSUM, expert.severity.WARN)
local ef_bad_block = ProtoExpert.new("kvt5100.block_checksum.bad", "Block checksum does not match the frames",
                                     expert.group.CHECKSUM, expert.severity.WARN)
kvt.experts = { ef_bad_checksum, ef_bad_block }

local direction_field = Field.new("frame.packet_flags_direction")  -- pcapng EPB flags: 1 inbound, 2 outbound

-- The checksum of a frame: the two's complement of the byte sum, as two
-- upper-case hex digits.
local function checksum(tvb, offset, length)
    local sum = 0
    for i = offset, offset + length - 1 do sum = (sum + tvb(i, 1):uint()) % 256 end
    return (256 - sum) % 256
end

-- Link state over the capture, worked out on the first pass in packet order:
-- the block sums since the last command frame (the driver counts each data
-- frame it sends once, retries not; it counts every good frame it receives)
-- and whether a frame repeats the one before it after a NAK or garbage.
local state = {}
local per_packet = {}
function kvt.init()
    state = { out_sum = 0, in_sum = 0, last_out = nil, last_reply_bad = false }
    per_packet = {}
end

local function outbound(pinfo)
    local direction = direction_field()
    if direction then return direction.value == 2 end
    return pinfo.p2p_dir == P2P_DIR_SENT
end

function kvt.dissector(tvb, pinfo, tree)
    local length = tvb:len()
    if length == 0 then return 0 end
    pinfo.cols.protocol = "KVT5100"
    local out = outbound(pinfo)
    local subtree = tree:add(kvt, tvb(), "KVT5100 link")
    subtree:add(f.direction, out and "PC->ECR" or "PC<-ECR")
    local first = tvb(0, 1):uint()
    local info
    local memo = per_packet[pinfo.number]
    if memo == nil then
        memo = {}
        per_packet[pinfo.number] = memo
        local bytes = tvb:bytes():tohex()
        if length == 1 then
            if out == false then state.last_reply_bad = first ~= 0x06 and first ~= 0x00 end
        else
            memo.retry = out and state.last_out == bytes and state.last_reply_bad
            if out then state.last_out = bytes end
            if length == 5 and first == 0x02 then
                state.out_sum, state.in_sum = 0, 0
            elseif length == 3 and tvb(2, 1):uint() == 0x1A then
                memo.block = out and state.out_sum or state.in_sum
            elseif length > 3 and tvb(length - 1, 1):uint() == 0x0D then
                local sum = checksum(tvb, 0, length - 3)
                local good = tvb(length - 3, 2):string() == string.format("%02X", sum)
                if out and not memo.retry then state.out_sum = (state.out_sum + sum) % 256 end
                if not out and good then state.in_sum = (state.in_sum + sum) % 256 end
            end
        end
    end

    if length == 5 and first == 0x02 and tvb(4, 1):uint() == 0x03 then
        subtree:add(f.type, 1)
        subtree:add(f.stx, tvb(0, 1))
        subtree:add(f.command, tvb(1, 1))
        local expected = string.format("%02X", checksum(tvb, 0, 2))
        local digits = tvb(2, 2):string()
        subtree:add(f.checksum, tvb(2, 2))
        subtree:add(f.checksum_expected, expected)
        local good = subtree:add(f.checksum_good, digits == expected)
        if digits ~= expected then good:add_proto_expert_info(ef_bad_checksum) end
        subtree:add(f.etx, tvb(4, 1))
        info = string.format("Command 0x%02X", tvb(1, 1):uint())
    elseif length == 3 and tvb(2, 1):uint() == 0x1A then
        subtree:add(f.type, 3)
        local digits = tvb(0, 2):string()
        local expected = string.format("%02X", memo.block or 0)
        subtree:add(f.block_checksum, tvb(0, 2))
        subtree:add(f.block_expected, expected)
        local good = subtree:add(f.block_good, digits == expected)
        if digits ~= expected then good:add_proto_expert_info(ef_bad_block) end
        subtree:add(f.sub, tvb(2, 1))
        info = "End of data, block checksum " .. digits
    elseif length > 3 and tvb(length - 1, 1):uint() == 0x0D then
        subtree:add(f.type, 2)
        local data_length = length - 3
        if data_length > 0 then subtree:add(f.data, tvb(0, data_length)) end
        subtree:add(f.data_length, data_length)
        local expected = string.format("%02X", checksum(tvb, 0, data_length))
        local digits = tvb(data_length, 2):string()
        subtree:add(f.checksum, tvb(data_length, 2))
        subtree:add(f.checksum_expected, expected)
        local good = subtree:add(f.checksum_good, digits == expected)
        if digits ~= expected then good:add_proto_expert_info(ef_bad_checksum) end
        subtree:add(f.cr, tvb(length - 1, 1))
        info = "Data " .. (data_length > 0 and tvb(0, data_length):string() or "(empty)")
    elseif length == 1 and (first == 0x06 or first == 0x15 or first == 0x00) then
        local kind = first == 0x06 and 4 or first == 0x15 and 5 or 6
        subtree:add(f.type, kind)
        subtree:add(f.control, tvb(0, 1))
        info = frame_types[kind]
    else
        subtree:add(f.type, 7)
        subtree:add(f.garbage, tvb())
        info = "Garbage"
    end
    if memo.retry then
        subtree:add(f.retry, true)
        info = info .. " [retry]"
    end
    pinfo.cols.info = (out and "PC->ECR " or "PC<-ECR ") .. info
    return length
end

-- Link type USER0 (147) as kvttrace writes it.
DissectorTable.get("wtap_encap"):add(wtap.USER0, kvt)
