-- Wireshark dissector for the VCI identification service: the announcements
-- (UDP 8194), the control port (TCP 8098), the event connections to an
-- application's event port, and a VCI's application and configuration
-- services (TCP 9000, 9004).
--
--   tshark -X lua_script:tools/wireshark/vci-ident.lua -r capture -Y vciident
--
-- Every frame is a little-endian length word (counting itself) followed by
-- one archive: the object id word, then the record's fields. The record
-- layouts below follow the codec's readers field for field, and the fields
-- carry the names `vci-ident-tool decode` prints, so that a frame reads the
-- same in both. A body whose id word carries 0x8000 is enciphered with the
-- service's key and shown as such. Nothing a peer sends may end the
-- dissection: each frame is read under pcall, and what does not fit becomes
-- expert info on the record where the reading stopped.

local vci = Proto("vciident", "VCI identification service")

local ENCIPHERED = 0x8000
-- The largest frame the service's sockets accept; a larger length word is
-- garbage, never a frame to wait for.
local MAX_FRAME = 4 * 1024 * 1024

local KIND_NAMES = {[1] = "Ethernet", [2] = "USB", [4] = "Wireless", [8] = "Local", [16] = "Bluetooth"}
local EVENT_NAMES = {[0x8001] = "bluetooth error", [0x8002] = "table", [0x8003] = "bindings",
                     [0x8004] = "interface error 1", [0x8005] = "interface error 2",
                     [0x8006] = "interface error 3", [0x8007] = "interface error 4"}
-- The built-in link quality zones of the service.
local LINK_ZONES = {30, 50, 60, 100}

-- Record layouts by object id, filled below.
local L = {}
local CLASS_NAMES = {}

-- Fields -----------------------------------------------------------------

local F = {}
local function def(ctor, names, ...)
  for name in names:gmatch("%S+") do F[name] = ctor("vciident." .. name, name, ...) end
end
def(ProtoField.uint32, "length count version tokenLow tokenHigh sequence apState linkQuality linkQualityRaw " ..
    "moduleType session number productVersion productDate unused ethernetFlag wirelessFlag usbFlag " ..
    "fourthFlag eventPort noReplyTimeout versionNumber buildDate instanceToken reserved " ..
    "command size number1 number2 key serials", base.DEC)
def(ProtoField.uint32, "serial serialNumber moduleState", base.DEC)
def(ProtoField.uint32, "sessionId", base.HEX_DEC)
def(ProtoField.uint32, "kind kinds", base.DEC, KIND_NAMES)
def(ProtoField.uint32, "eventCode", base.HEX, EVENT_NAMES)
def(ProtoField.uint32, "id", base.DEC, CLASS_NAMES)
def(ProtoField.int32, "result number3 signalLevel noiseLevel", base.DEC)
def(ProtoField.int64, "seconds nanoseconds", base.DEC)
def(ProtoField.bool, "enciphered wireless flag flag1 flag2 persistLog legacy bluetooth")
def(ProtoField.string, "class text1 text2 text3 text4 text5 text7 text8 text9 address interface unusedText " ..
    "wirelessAddress usbAddress ethernetAddress text blockText clientName productName name names " ..
    "listName value foreign local versionText textList1 textList2 mask broadcast hwAddr kindName")
def(ProtoField.bytes, "block contents body unread")
local fieldList = {}
for _, f in pairs(F) do fieldList[#fieldList + 1] = f end
vci.fields = fieldList

local E = {
  length = ProtoExpert.new("vciident.length_beyond", "Length beyond the data",
                           expert.group.MALFORMED, expert.severity.ERROR),
  id = ProtoExpert.new("vciident.unknown_id", "Unknown or unexpected object id",
                       expert.group.MALFORMED, expert.severity.ERROR),
  version = ProtoExpert.new("vciident.unknown_version", "Version the layout does not know",
                            expert.group.MALFORMED, expert.severity.WARN),
  count = ProtoExpert.new("vciident.count_beyond", "Count larger than what follows",
                          expert.group.MALFORMED, expert.severity.ERROR),
  short = ProtoExpert.new("vciident.short", "The data ends inside a field",
                          expert.group.MALFORMED, expert.severity.ERROR),
  enciphered = ProtoExpert.new("vciident.enciphered", "Body enciphered with the service's key",
                               expert.group.SECURITY, expert.severity.NOTE),
  partial = ProtoExpert.new("vciident.partial", "Frame continues in a later segment",
                            expert.group.REASSEMBLE, expert.severity.NOTE),
  lua = ProtoExpert.new("vciident.dissector_error", "Dissector error",
                        expert.group.MALFORMED, expert.severity.ERROR),
}
vci.experts = {E.length, E.id, E.version, E.count, E.short, E.enciphered, E.partial, E.lua}

-- Reading ----------------------------------------------------------------

-- A reader R: tvb, pos (next byte), stop (end of the archive), stack (the
-- open record subtrees, innermost last), seen (the first value of each field
-- per class, for the column text).

local function fail(expert, text) error({vciident = true, expert = expert, text = text}, 0) end

local function take(R, n, what)
  if R.pos + n > R.stop then
    fail(E.short, string.format("%s: %d bytes needed at byte %d, %d left", what, n, R.pos, R.stop - R.pos))
  end
  local range = R.tvb(R.pos, n)
  R.pos = R.pos + n
  return range
end

local function note(R, name, value)
  local top = R.stack[#R.stack]
  if top then
    local seen = R.seen[top.class]
    if seen[name] == nil then seen[name] = value end
  end
end

local function put(R, t, name, range, value)
  t:add(F[name], range, value)
  note(R, name, value)
  return value
end

local function u32(R, t, name) local r = take(R, 4, name); return put(R, t, name, r, r:le_uint()) end
local function i32(R, t, name) local r = take(R, 4, name); return put(R, t, name, r, r:le_int()) end
local function u8(R, t, name) local r = take(R, 1, name); return put(R, t, name, r, r:uint()) end
local function i8(R, t, name) local r = take(R, 1, name); return put(R, t, name, r, r:int()) end
local function i64(R, t, name) local r = take(R, 8, name); return put(R, t, name, r, r:le_int64()) end
-- An 8-bit boolean: any byte but 0 is true.
local function b8(R, t, name) local r = take(R, 1, name); return put(R, t, name, r, r:uint() ~= 0) end
-- A 32-bit flag that is true only as 1.
local function b32(R, t, name) local r = take(R, 4, name); return put(R, t, name, r, r:le_uint() == 1) end

-- Text as the tools print it: cut at the first zero byte, and every byte
-- that is not part of valid UTF-8 shown as U+FFFD.
local function readable(raw)
  raw = raw:match("^[^\0]*")
  local out, i, n = {}, 1, #raw
  while i <= n do
    local c = raw:byte(i)
    local len = c < 0x80 and 1 or (c >= 0xC2 and c <= 0xDF) and 2 or (c >= 0xE0 and c <= 0xEF) and 3 or
                (c >= 0xF0 and c <= 0xF4) and 4 or 0
    local ok = len > 0 and i + len - 1 <= n
    for k = i + 1, ok and i + len - 1 or i do
      local b = raw:byte(k)
      if b < 0x80 or b > 0xBF then ok = false end
    end
    if ok and len == 3 then
      local b = raw:byte(i + 1)
      ok = not ((c == 0xE0 and b < 0xA0) or (c == 0xED and b > 0x9F))
    elseif ok and len == 4 then
      local b = raw:byte(i + 1)
      ok = not ((c == 0xF0 and b < 0x90) or (c == 0xF4 and b > 0x8F))
    end
    if ok then
      out[#out + 1] = raw:sub(i, i + len - 1)
      i = i + len
    else
      out[#out + 1] = "\239\191\189"
      i = i + 1
    end
  end
  return table.concat(out)
end

-- A counted string: its byte count, then the bytes.
local function str(R, t, name)
  local start = R.pos
  local n = take(R, 4, name):le_uint()
  if n > R.stop - R.pos then
    R.pos = start
    fail(E.length, string.format("%s: string of %d bytes, %d left", name, n, R.stop - R.pos - 4))
  end
  local value = n > 0 and readable(R.tvb(R.pos, n):raw()) or ""
  R.pos = R.pos + n
  return put(R, t, name, R.tvb(start, 4 + n), value)
end

-- An element count, trusted only when the bytes left can hold that many
-- elements of their smallest size (as the codec checks it).
local function count(R, t, minSize, width)
  local r = take(R, width or 4, "count")
  local n = width == 1 and r:uint() or r:le_uint()
  put(R, t, "count", r, n)
  if n * minSize > R.stop - R.pos then
    fail(E.count, string.format("count %d: at least %d bytes needed, %d left", n, n * minSize, R.stop - R.pos))
  end
  return n
end

local function strList(R, t, name)
  for _ = 1, count(R, t, 4) do str(R, t, name) end
end

-- One record: its id word (which must be `expect` when given), the result
-- code of a reply, the version, then the layout's fields. Returns the
-- version read.
local function record(R, parent, expect)
  local start = R.pos
  local idRange = take(R, 4, "object id")
  local id = idRange:le_uint()
  local layout = L[id]
  if not layout or (expect and id ~= expect) then
    parent:add(F.id, idRange, id)
    fail(E.id, string.format("object id %d%s", id,
                             expect and string.format(" where %s (%d) belongs", L[expect].name, expect) or ""))
  end
  local t = parent:add(F.class, idRange, layout.name)
  R.stack[#R.stack + 1] = {tree = t, start = start, class = layout.name}
  R.seen[layout.name] = R.seen[layout.name] or {}
  put(R, t, "id", idRange, id)
  if layout.result then i32(R, t, "result") end
  local version
  if layout.newest then
    version = (layout.byteVersion and u8 or u32)(R, t, "version")
    if version > layout.newest then
      t:add_proto_expert_info(E.version, string.format("version %d; this layout knows up to %d, later fields are not shown",
                                                       version, layout.newest))
      R.unknownVersion = true
    end
  end
  if version ~= 0 and layout.body then layout.body(R, t, version or 0) end
  t:set_len(R.pos - start)
  R.stack[#R.stack] = nil
  return version
end

local function nested(R, t, id) return record(R, t, id) end

-- Layouts ----------------------------------------------------------------

local function layout(id, name, def)
  def.name = name
  L[id] = def
  CLASS_NAMES[id] = name
end

local ID = {AppVersion = 2143, AppList = 2114, App = 2113, CompList = 2154, Comp = 2155, ArgList = 2123,
            Arg = 2122, SessionList = 2118, Session = 2117, Status = 2108, StatusMap = 2121, BindMap = 2164,
            ClientInfo = 2025, IdentMsg = 2157, LogFileRecv = 2216, DynItem = 2160, CachedItem = 2162,
            IF = 2119}

local function versionOnly() return {newest = 1} end

layout(2094, "CGetApplications_Send", versionOnly())
layout(2156, "CGetAppComps_Send", versionOnly())
layout(2189, "CGetSysComps_Send", versionOnly())
layout(2021, "CGetConfigNEW_Send", {newest = 1, body = function(R, t) u32(R, t, "key") end})

layout(ID.AppVersion, "CAppVersion", {newest = 2, body = function(R, t)
  for _, name in ipairs({"versionText", "text2", "text3", "text4", "text5", "name", "text7", "text8", "text9"}) do
    str(R, t, name)
  end
  strList(R, t, "textList1")
  strList(R, t, "textList2")
end})
layout(ID.App, "CAppList::CApp", {newest = 1, body = function(R, t)
  nested(R, t, ID.AppVersion)
  b8(R, t, "flag1"); str(R, t, "text"); u32(R, t, "number1"); b8(R, t, "flag2"); u32(R, t, "number2")
  i32(R, t, "number3")
end})
layout(ID.AppList, "CAppList", {result = true, newest = 1, body = function(R, t)
  for _ = 1, count(R, t, 4) do nested(R, t, ID.App) end
end})
layout(ID.Comp, "CCompList::CComp", {newest = 1, body = function(R, t) nested(R, t, ID.AppVersion) end})
layout(ID.CompList, "CCompList", {result = true, newest = 1, body = function(R, t)
  for _ = 1, count(R, t, 4) do nested(R, t, ID.Comp) end
end})
layout(ID.Arg, "CArgList::CArg", {newest = 1, body = function(R, t) str(R, t, "name"); str(R, t, "value") end})
layout(ID.ArgList, "CArgList", {result = true, newest = 1, body = function(R, t)
  str(R, t, "listName")
  for _ = 1, count(R, t, 4) do nested(R, t, ID.Arg) end
end})
layout(2018, "CConfig", {result = true, newest = 1, body = function(R, t)
  for _ = 1, count(R, t, 8) do u32(R, t, "key"); nested(R, t, ID.ArgList) end
end})

layout(ID.Session, "CSessionList::CSession", {newest = 1, body = function(R, t)
  u32(R, t, "session"); str(R, t, "text1"); str(R, t, "text2"); str(R, t, "address"); u32(R, t, "kind")
  b32(R, t, "flag")
end})
-- The one record whose version and count are single bytes.
layout(ID.SessionList, "CSessionList", {result = true, newest = 1, byteVersion = true, body = function(R, t)
  for _ = 1, count(R, t, 4, 1) do nested(R, t, ID.Session) end
end})

layout(ID.IdentMsg, "CVCIIdentMsg", {newest = 3, byteVersion = true, body = function(R, t, version)
  u32(R, t, "serial"); u32(R, t, "tokenLow"); u32(R, t, "tokenHigh"); u8(R, t, "kind"); u8(R, t, "moduleState")
  nested(R, t, ID.SessionList)
  u8(R, t, "sequence")
  if version >= 2 then
    local r = take(R, 1, "wireless")
    local enabled = put(R, t, "wireless", r, r:uint() == 1)
    if enabled then
      u8(R, t, "apState")
      local raw = R.tvb(R.pos, R.stop > R.pos and 1 or 0)
      if R.stop > R.pos then
        local zone = 0
        for i, limit in ipairs(LINK_ZONES) do
          if raw:uint() <= limit then zone = i - 1; break end
        end
        t:add(F.linkQuality, raw, zone):set_generated()
      end
      u8(R, t, "linkQualityRaw"); i8(R, t, "signalLevel"); i8(R, t, "noiseLevel")
    end
  end
  if version >= 3 then u8(R, t, "moduleType") end
end})
layout(ID.ClientInfo, "CClientInfo", {body = function(R, t)
  b8(R, t, "flag"); u32(R, t, "number"); str(R, t, "interface"); str(R, t, "text1"); str(R, t, "text2")
end})
layout(2026, "CVCIStatusMsg", {newest = 2, body = function(R, t, version)
  for _, name in ipairs({"unusedText", "wirelessAddress", "usbAddress", "ethernetAddress"}) do str(R, t, name) end
  u32(R, t, "serial"); u32(R, t, "productVersion"); u32(R, t, "productDate")
  for _ = 1, 4 do u32(R, t, "unused") end
  u32(R, t, "moduleType")
  for _, name in ipairs({"ethernetFlag", "wirelessFlag", "usbFlag", "fourthFlag"}) do u32(R, t, name) end
  local n = count(R, t, 4 + 1 + 4 + 3 * 4)
  if n > 255 then fail(E.count, string.format("%d clients; an announcement holds at most 255", n)) end
  for _ = 1, n do nested(R, t, ID.ClientInfo) end
  if version >= 2 then u32(R, t, "moduleState") end
end})
layout(2070, "CRecoveryStatus", {newest = 2, body = function(R, t)
  u32(R, t, "serial")
  for _ = 1, 3 do u32(R, t, "unused") end
  str(R, t, "text"); u32(R, t, "moduleState")
  local r = take(R, 4, "block length")
  local n = put(R, t, "size", r, r:le_uint())
  if n == 0 then return end
  if n > R.stop - R.pos then fail(E.length, string.format("block of %d bytes, %d left", n, R.stop - R.pos)) end
  local block = R.tvb(R.pos, n)
  local text = block:raw():match("^([^\0]*)\0")
  if text then put(R, t, "blockText", block, readable(text)) else put(R, t, "block", block, block:bytes()) end
  R.pos = R.pos + n
end})

layout(ID.Status, "CVCIStatus", {newest = 3, body = function(R, t, version)
  u32(R, t, "serial"); u32(R, t, "moduleState")
  nested(R, t, ID.AppList); nested(R, t, ID.SessionList); nested(R, t, ID.CompList); nested(R, t, ID.CompList)
  nested(R, t, ID.ArgList)
  u32(R, t, "kinds"); b8(R, t, "legacy"); b8(R, t, "bluetooth")
  for _ = 1, count(R, t, 8) do u32(R, t, "kind"); str(R, t, "address") end
  if version >= 2 then nested(R, t, ID.ArgList) end
  if version >= 3 then u32(R, t, "moduleType") end
end})
layout(ID.StatusMap, "CVCIStatusMap", {newest = 1, body = function(R, t)
  for _ = 1, count(R, t, 4) do nested(R, t, ID.Status) end
end})
layout(ID.BindMap, "CBindMap", {newest = 1, body = function(R, t)
  for _ = 1, count(R, t, 8) do
    local n = count(R, t, 20)
    str(R, t, "foreign")
    for _ = 1, n do i64(R, t, "seconds"); i64(R, t, "nanoseconds"); str(R, t, "local") end
  end
end})
layout(ID.DynItem, "CVCIStatusDynItem", {newest = 1, body = function(R, t) nested(R, t, ID.Status) end})
layout(2161, "CVCIStatusDynMap", {newest = 1, body = function(R, t)
  for _ = 1, count(R, t, 8) do u32(R, t, "serial"); nested(R, t, ID.DynItem) end
end})
layout(ID.CachedItem, "CVCICachedItem", {newest = 1, body = function(R, t)
  nested(R, t, ID.Status); nested(R, t, ID.IdentMsg)
end})
layout(2163, "CVCICachedMap", {newest = 1, body = function(R, t)
  for _ = 1, count(R, t, 8) do u32(R, t, "serial"); nested(R, t, ID.CachedItem) end
end})
layout(2159, "CInvalidVCIList", {newest = 1, body = function(R, t)
  for _ = 1, count(R, t, 4) do u32(R, t, "serials") end
end})
layout(ID.IF, "CIFList::CIF", {newest = 1, body = function(R, t)
  for _, name in ipairs({"address", "mask", "broadcast", "hwAddr"}) do str(R, t, name) end
  local kind = u32(R, t, "kind")
  t:add(F.kindName, R.tvb(R.pos - 4, 4), KIND_NAMES[kind] or "Unknown"):set_generated()
  str(R, t, "name")
end})
layout(2120, "CIFList", {result = true, newest = 1, body = function(R, t)
  for _ = 1, count(R, t, 8) do nested(R, t, ID.IF) end
end})

layout(2034, "CIdentConnect_Send", {newest = 3, body = function(R, t, version)
  u32(R, t, "eventPort"); str(R, t, "clientName")
  if version >= 2 then b8(R, t, "persistLog") end
  if version >= 3 then u32(R, t, "noReplyTimeout") end
end})
layout(2037, "CIdentConnect_Recv", {result = true, newest = 2, body = function(R, t)
  u32(R, t, "sessionId"); u32(R, t, "versionNumber"); u32(R, t, "buildDate"); u32(R, t, "instanceToken")
  str(R, t, "productName")
  nested(R, t, ID.StatusMap); nested(R, t, ID.BindMap)
end})
layout(2043, "CIdentDisconnect_Send", {body = function(R, t) u32(R, t, "sessionId") end})
layout(2044, "CIdentDisconnect_Recv", {result = true})
layout(2075, "CIdentEvent_Send", {newest = 1, body = function(R, t)
  local code = u32(R, t, "eventCode")
  u32(R, t, "reserved")
  -- Codes other than table and bindings carry an empty table, which the
  -- service writes and an application does not read.
  if code == 0x8003 then nested(R, t, ID.BindMap)
  elseif code == 0x8002 or R.pos < R.stop then nested(R, t, ID.StatusMap) end
end})
layout(2076, "CIdentEvent_Recv", {result = true})
layout(2145, "CBluetoothReq_Send", {newest = 1, body = function(R, t)
  u32(R, t, "sessionId"); u32(R, t, "serialNumber"); u32(R, t, "command")
end})
layout(2146, "CBluetoothReq_Recv", {result = true})
layout(2215, "CLogFile_Send", {newest = 1, body = function(R, t) strList(R, t, "names") end})
layout(ID.LogFileRecv, "CLogFile_Recv", {result = true, newest = 1, body = function(R, t)
  str(R, t, "name")
  local r = take(R, 4, "size")
  local n = put(R, t, "size", r, r:le_uint())
  if n > R.stop - R.pos then fail(E.length, string.format("contents of %d bytes, %d left", n, R.stop - R.pos)) end
  local contents = R.tvb(R.pos, n)
  put(R, t, "contents", contents, n > 0 and contents:bytes() or ByteArray.new())
  R.pos = R.pos + n
end})
layout(2217, "CLogFiles_Recv", {result = true, newest = 1, body = function(R, t)
  for _ = 1, count(R, t, 8) do str(R, t, "name"); nested(R, t, ID.LogFileRecv) end
end})

-- Column texts -------------------------------------------------------------

local REQUEST_NAMES = {[2094] = "GetApplications", [2156] = "GetAppComps", [2189] = "GetSysComps",
                       [2021] = "GetConfig"}
-- The request each TCP stream carried last, so that a reply can name it
-- (a component list answers two requests).
local requestOfStream = {}
local f_stream = Field.new("tcp.stream")

local function kindName(kind) return KIND_NAMES[kind] or (kind and "kind " .. kind or "?") end
local function countOf(seen, class) return (seen[class] or {}).count or 0 end
local function resultText(s) return s.result ~= 0 and string.format(" result=%d", s.result) or "" end
local function plural(count, word, suffix)
  return string.format("%d %s%s", count, word, count == 1 and "" or (suffix or "s"))
end

local function infoText(id, seen, request)
  local s = seen[CLASS_NAMES[id]] or {}
  if id == 2157 then
    return string.format("announce %d v%d %s", s.serial or 0, s.version or 0, kindName(s.kind))
  elseif id == 2026 then
    local kind = (s.ethernetFlag or 0) ~= 0 and 1 or (s.wirelessFlag or 0) ~= 0 and 4 or 2
    return string.format("announce %d legacy v%d %s", s.serial or 0, s.version or 0, kindName(kind))
  elseif id == 2070 then
    return string.format("announce %d recovery v%d state %d", s.serial or 0, s.version or 0, s.moduleState or 0)
  elseif id == 2034 then
    return string.format("register app=%s port=%d", s.clientName or "", s.eventPort or 0)
  elseif id == 2037 then
    return string.format("register reply session=0x%X%s %s", s.sessionId or 0, resultText(s),
                         plural(countOf(seen, "CVCIStatusMap"), "VCI"))
  elseif id == 2043 then
    return string.format("unregister session=0x%X", s.sessionId or 0)
  elseif id == 2044 then
    return "unregister reply" .. resultText(s)
  elseif id == 2075 then
    local code = s.eventCode or 0
    if code == 0x8002 then return "event table " .. plural(countOf(seen, "CVCIStatusMap"), "VCI") end
    if code == 0x8003 then return "event bindings " .. plural(countOf(seen, "CBindMap"), "address", "es") end
    return string.format("event 0x%04X %s", code, EVENT_NAMES[code] or "")
  elseif id == 2076 then
    return "event ack" .. resultText(s)
  elseif id == 2145 then
    return string.format("bluetooth request session=0x%X serial=%d command=%d", s.sessionId or 0,
                         s.serialNumber or 0, s.command or 0)
  elseif id == 2146 then
    return "bluetooth reply" .. resultText(s)
  elseif id == 2215 then
    return "fetch data files"
  elseif id == 2217 then
    return "data files reply " .. plural(s.count or 0, "file") .. resultText(s)
  elseif id == 2216 then
    return string.format("data file %s", s.name or "")
  elseif id == 2021 then
    return string.format("GetConfig key=%d", s.key or 0)
  elseif REQUEST_NAMES[id] then
    return REQUEST_NAMES[id]
  elseif id == 2114 then
    return "GetApplications reply " .. plural(s.count or 0, "app") .. resultText(s)
  elseif id == 2154 then
    return (REQUEST_NAMES[request] or "component list") .. " reply " .. plural(s.count or 0, "comp") .. resultText(s)
  elseif id == 2018 then
    if (s.count or 0) == 0 then return "GetConfig reply 0 sections" .. resultText(s) end
    return string.format("GetConfig reply key=%d %s%s", s.key or 0, plural(countOf(seen, "CArgList"), "value"),
                         resultText(s))
  end
  return CLASS_NAMES[id] or string.format("object %d", id)
end

-- Frames -------------------------------------------------------------------

-- Ports that event connections were learned on, from registrations.
local learnedPorts = {}
local tcpPortTable = DissectorTable.get("tcp.port")

local function setInfo(pinfo, text)
  -- Several frames in one segment share the row.
  if tostring(pinfo.cols.protocol) == "VCI-IDENT" then
    pinfo.cols.info:append("; " .. text)
  else
    pinfo.cols.protocol = "VCI-IDENT"
    pinfo.cols.info = text
  end
end

-- One frame (length word first) in tvb, as far as the capture holds it.
local function dissectFrame(tvb, pinfo, root, overTcp)
  local have = tvb:len()
  local tree = root:add(vci, tvb())
  local length = tvb(0, 4):le_uint()
  tree:add(F.length, tvb(0, 4), length)
  local stop, bad = have, false
  if length > have then
    bad = true
    tree:add_proto_expert_info(E.length, string.format("the length word says %d bytes, %d arrived", length, have))
  elseif length < 4 then
    bad = true
    tree:add_proto_expert_info(E.length, string.format("the length word says %d bytes, less than itself", length))
  else
    stop = length
  end
  if stop < 8 then
    tree:add_proto_expert_info(E.short, "no object id word")
    setInfo(pinfo, "frame without an object id [malformed]")
    return
  end
  local word = tvb(4, 4):le_uint()
  local id = bit32.band(word, bit32.bnot(ENCIPHERED))
  if bit32.band(word, ENCIPHERED) ~= 0 then
    tree:add(F.class, tvb(4, 4), CLASS_NAMES[id] or "?")
    tree:add(F.id, tvb(4, 4), id)
    tree:add(F.enciphered, tvb(4, 4), true)
    if stop > 8 then tree:add(F.body, tvb(8, stop - 8)) end
    tree:add_proto_expert_info(E.enciphered)
    if not L[id] then tree:add_proto_expert_info(E.id, string.format("object id %d", id)) end
    setInfo(pinfo, string.format("%s (enciphered)", CLASS_NAMES[id] or ("object " .. id)))
    return
  end
  local R = {tvb = tvb, pos = 4, stop = stop, stack = {}, seen = {}}
  local ok, err = pcall(record, R, tree)
  if not ok then
    -- The open records end where the reading stopped; the innermost one
    -- carries the reason.
    for i = #R.stack, 1, -1 do
      local open = R.stack[i]
      open.tree:set_len(math.max(R.pos - open.start, 4))
    end
    local at = #R.stack > 0 and R.stack[#R.stack].tree or tree
    if type(err) == "table" and err.vciident then
      at:add_proto_expert_info(err.expert, err.text)
    else
      at:add_proto_expert_info(E.lua, tostring(err))
    end
  elseif R.pos < stop then
    tree:add(F.unread, tvb(R.pos, stop - R.pos))
  end

  local stream = overTcp and f_stream()
  stream = stream and stream.value
  if stream and REQUEST_NAMES[id] then requestOfStream[stream] = id end
  local text = infoText(id, R.seen, stream and requestOfStream[stream])
  setInfo(pinfo, (ok and not bad and not R.unknownVersion) and text or text .. " [malformed]")

  -- A registration names the port its events go to: connections to it are
  -- read as event connections.
  local s = R.seen.CIdentConnect_Send
  local port = s and s.eventPort
  if overTcp and id == 2034 and port and port > 0 and port < 65536 and not learnedPorts[port] then
    learnedPorts[port] = true
    if not tcpPortTable:get_dissector(port) then tcpPortTable:add(port, vci) end
  end
end

-- The frames in a TCP segment, each as soon as it is whole. A frame still
-- missing bytes is shown as the part that arrived (a capture may end inside
-- it) and the rest is asked of the reassembly.
local function dissectTcp(tvb, pinfo, root)
  local offset, total = 0, tvb:len()
  while offset < total do
    local left = total - offset
    local length = left >= 4 and tvb(offset, 4):le_uint() or 4
    -- A length word no frame can have: the rest of the segment is shown as
    -- that frame rather than waited for.
    if left >= 4 and (length < 8 or length > MAX_FRAME) then length = left end
    if length > left then
      local t = root:add(vci, tvb(offset))
      t:append_text(string.format(", frame part: %d of %d bytes", left, length))
      if left >= 4 then t:add(F.length, tvb(offset, 4), length) end
      t:add_proto_expert_info(E.partial, string.format("%d of %d bytes; the rest is in later segments, " ..
                                                       "or the capture ends inside the frame", left, length))
      setInfo(pinfo, string.format("frame part %d of %d bytes", left, length))
      pinfo.desegment_offset = offset
      pinfo.desegment_len = length - left
      return total
    end
    dissectFrame(tvb(offset, length):tvb(), pinfo, root, true)
    offset = offset + length
  end
  return total
end

local PT_UDP = 3

function vci.dissector(tvb, pinfo, root)
  if tvb:len() < 4 then
    root:add(vci, tvb()):add_proto_expert_info(E.short, "less than a length word")
    return tvb:len()
  end
  if pinfo.port_type == PT_UDP then -- one datagram is one frame
    dissectFrame(tvb, pinfo, root, false)
    return tvb:len()
  end
  return dissectTcp(tvb, pinfo, root)
end

-- Event connections go to a port the application chose: their first frame
-- is an event or an acknowledgement with a plausible length.
local function heuristic(tvb, pinfo, root)
  if tvb:len() < 8 then return false end
  local length = tvb(0, 4):le_uint()
  local id = bit32.band(tvb(4, 4):le_uint(), bit32.bnot(ENCIPHERED))
  if (id ~= 2075 and id ~= 2076) or length < 8 or length > MAX_FRAME then return false end
  pinfo.conversation = vci
  dissectTcp(tvb, pinfo, root)
  return true
end
vci:register_heuristic("tcp", heuristic)

DissectorTable.get("udp.port"):add(8194, vci)
for _, port in ipairs({8098, 9000, 9004}) do tcpPortTable:add(port, vci) end
