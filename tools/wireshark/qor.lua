-- Wireshark dissector for the QOR device protocol on UDP port 5266: every message by name, every
-- field by name, a request linked to its replies by MAC and request id, expert info on a failure
-- status and on a message too short for its fields.
--
-- Install: copy this file into Wireshark's personal plugins folder (on Linux
-- ~/.local/lib/wireshark/plugins/, on Windows %APPDATA%\Wireshark\plugins\), or try it once with
-- `tshark -X lua_script:qor.lua -r capture.pcapng` or `wireshark -X lua_script:qor.lua`.

local qor = Proto("qor", "QOR device protocol")

local PORT = 5266

local types = {
  [0x0001] = "DiscoverRequest",
  [0x0002] = "AssignAddressRequest",
  [0x0003] = "FillRequest",
  [0x0004] = "DataRequest",
  [0x0005] = "WriteRequest",
  [0x0007] = "ReadRequest",
  [0x0008] = "RestartRequest",
  [0x8001] = "DiscoverReply",
  [0x8002] = "FinalReply",
  [0x8003] = "ProgressReply",
}

-- The shortest each message may be; a DataRequest carries at least one data byte.
local minimum = {
  [0x0001] = 4, [0x0002] = 16, [0x0003] = 24, [0x0004] = 21, [0x0005] = 28, [0x0007] = 24,
  [0x0008] = 16, [0x8001] = 24, [0x8002] = 20, [0x8003] = 20,
}

local f = {
  version = ProtoField.uint16("qor.version", "Version", base.DEC),
  type = ProtoField.uint16("qor.type", "Type", base.HEX, types),
  mac = ProtoField.ether("qor.mac", "MAC address"),
  reserved = ProtoField.uint16("qor.reserved", "Reserved", base.HEX),
  request_id = ProtoField.uint32("qor.request_id", "Request id", base.DEC),
  ip = ProtoField.ipv4("qor.ip", "IP address"),
  fill = ProtoField.uint32("qor.fill", "Fill value", base.HEX),
  offset = ProtoField.uint32("qor.offset", "Staging offset", base.HEX),
  data = ProtoField.bytes("qor.data", "Data"),
  data_length = ProtoField.uint32("qor.data_length", "Data length", base.DEC),
  address = ProtoField.uint32("qor.address", "Memory address", base.HEX),
  length = ProtoField.uint32("qor.length", "Length", base.DEC),
  crc = ProtoField.uint32("qor.crc", "CRC-32", base.HEX),
  vendor = ProtoField.uint16("qor.vendor", "Vendor ID", base.HEX),
  product = ProtoField.uint16("qor.product", "Product ID", base.HEX),
  staging = ProtoField.uint32("qor.staging", "Staging buffer size", base.DEC),
  status = ProtoField.uint32("qor.status", "Status", base.DEC),
  payload = ProtoField.bytes("qor.payload", "Payload"),
  payload_length = ProtoField.uint32("qor.payload_length", "Payload length", base.DEC),
  progress = ProtoField.uint32("qor.progress", "Progress", base.HEX),
  response_in = ProtoField.framenum("qor.response_in", "Response in", base.NONE,
                                    frametype.RESPONSE),
  request_in = ProtoField.framenum("qor.request_in", "Request in", base.NONE, frametype.REQUEST),
  response_time = ProtoField.relative_time("qor.response_time", "Response time"),
}
qor.fields = {
  f.version, f.type, f.mac, f.reserved, f.request_id, f.ip, f.fill, f.offset, f.data,
  f.data_length, f.address, f.length, f.crc, f.vendor, f.product, f.staging, f.status, f.payload,
  f.payload_length, f.progress, f.response_in, f.request_in, f.response_time,
}

local e = {
  failure = ProtoExpert.new("qor.status.failure", "The target reports a failure",
                            expert.group.RESPONSE_CODE, expert.severity.WARN),
  truncated = ProtoExpert.new("qor.truncated", "Message too short for its fields",
                              expert.group.MALFORMED, expert.severity.ERROR),
  unknown = ProtoExpert.new("qor.type.unknown", "Unknown message type",
                            expert.group.UNDECODED, expert.severity.WARN),
}
qor.experts = { e.failure, e.truncated, e.unknown }

-- Requests and their replies. Request ids start afresh with every run of the host program, so
-- a reply belongs to the latest request before it with its MAC and id. Worked out on the first
-- pass over the capture, in order, and read on every later one.
local latest = {}       -- MAC and id -> frame of the latest request with them
local sent_at = {}      -- request frame -> its time
local request_of = {}   -- reply frame -> request frame
local response_of = {}  -- request frame -> frame of its FinalReply

local function link_request(pinfo, tree, k)
  if not pinfo.visited then
    latest[k] = pinfo.number
    sent_at[pinfo.number] = pinfo.abs_ts
  end
  local answer = response_of[pinfo.number]
  if answer ~= nil then tree:add(f.response_in, answer):set_generated() end
end

local function link_reply(pinfo, tree, k, final)
  if not pinfo.visited and latest[k] ~= nil then
    request_of[pinfo.number] = latest[k]
    if final and response_of[latest[k]] == nil then response_of[latest[k]] = pinfo.number end
  end
  local request = request_of[pinfo.number]
  if request ~= nil then
    tree:add(f.request_in, request):set_generated()
    local seconds = pinfo.abs_ts - sent_at[request]
    local whole = math.floor(seconds)
    tree:add(f.response_time, NSTime(whole, math.floor((seconds - whole) * 1e9 + 0.5)))
        :set_generated()
  end
end

function qor.dissector(buffer, pinfo, root)
  local length = buffer:len()
  if length < 4 then return 0 end
  pinfo.cols.protocol = qor.name
  local tree = root:add(qor, buffer(), "QOR device protocol")
  tree:add(f.version, buffer(0, 2))
  local type = buffer(2, 2):uint()
  local type_item = tree:add(f.type, buffer(2, 2))
  local name = types[type] or string.format("Unknown 0x%04X", type)
  local info = name
  if types[type] == nil then type_item:add_proto_expert_info(e.unknown) end

  local need = minimum[type] or 12
  if length < need then
    tree:add_proto_expert_info(e.truncated, string.format(
      "%s needs at least %d bytes, this one has %d", name, need, length))
    info = info .. " [truncated]"
  end

  -- The fields the message holds, as far as it holds them.
  local function has(offset, size) return length >= offset + size end
  if type ~= 0x0001 and has(4, 6) then
    tree:add(f.mac, buffer(4, 6))
    info = info .. " " .. tostring(buffer(4, 6):ether())
    if has(10, 2) then tree:add(f.reserved, buffer(10, 2)) end
  end
  local tagged = (type >= 0x0003 and type <= 0x0008) or type == 0x8002 or type == 0x8003
  local id
  if tagged and has(12, 4) then
    id = buffer(12, 4):uint()
    tree:add(f.request_id, buffer(12, 4))
    info = info .. " id=" .. id
  end

  if type == 0x0002 and has(12, 4) then
    tree:add(f.ip, buffer(12, 4))
    info = info .. " ip=" .. tostring(buffer(12, 4):ipv4())
  elseif type == 0x0003 then
    if has(16, 4) then tree:add(f.fill, buffer(16, 4)) end
    if has(20, 4) then
      tree:add(f.length, buffer(20, 4))
      info = info .. " length=" .. buffer(20, 4):uint()
    end
  elseif type == 0x0004 then
    if has(16, 4) then
      tree:add(f.offset, buffer(16, 4))
      info = info .. string.format(" offset=0x%X", buffer(16, 4):uint())
    end
    if length > 20 then
      tree:add(f.data, buffer(20))
      tree:add(f.data_length, length - 20):set_generated()
      info = info .. " bytes=" .. (length - 20)
    end
  elseif type == 0x0005 or type == 0x0007 then
    if has(16, 4) then
      tree:add(f.address, buffer(16, 4))
      info = info .. string.format(" address=0x%08X", buffer(16, 4):uint())
    end
    if has(20, 4) then
      tree:add(f.length, buffer(20, 4))
      info = info .. " length=" .. buffer(20, 4):uint()
    end
    if type == 0x0005 and has(24, 4) then tree:add(f.crc, buffer(24, 4)) end
  elseif type == 0x8001 then
    if has(12, 4) then
      tree:add(f.ip, buffer(12, 4))
      info = info .. " ip=" .. tostring(buffer(12, 4):ipv4())
    end
    if has(16, 2) then tree:add(f.vendor, buffer(16, 2)) end
    if has(18, 2) then tree:add(f.product, buffer(18, 2)) end
    if has(20, 4) then tree:add(f.staging, buffer(20, 4)) end
  elseif type == 0x8002 then
    if has(16, 4) then
      local status = buffer(16, 4):uint()
      local item = tree:add(f.status, buffer(16, 4))
      info = info .. " status=" .. status
      if status == 0 then
        item:append_text(" (success)")
      else
        item:append_text(" (failure)")
        item:add_proto_expert_info(e.failure, "The target reports a failure: status " .. status)
      end
      if length > 20 then tree:add(f.payload, buffer(20)) end
      tree:add(f.payload_length, length - 20):set_generated()
    end
  elseif type == 0x8003 and has(16, 4) then
    tree:add(f.progress, buffer(16, 4))
    info = info .. string.format(" progress=0x%08X", buffer(16, 4):uint())
  end

  if id ~= nil then
    local k = tostring(buffer(4, 6):ether()) .. "/" .. id
    if type < 0x8000 then
      link_request(pinfo, tree, k)
    else
      link_reply(pinfo, tree, k, type == 0x8002)
    end
  end

  pinfo.cols.info = info
  return length
end

function qor.init()
  latest, sent_at, request_of, response_of = {}, {}, {}, {}
end

DissectorTable.get("udp.port"):add(PORT, qor)
