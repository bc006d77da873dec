#include "SimWire.h"

#include <algorithm>
#include <atomic>

#include "records/CompList.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"

namespace vcisim {

namespace {

const uint32_t kArgListId = 2123;
const uint32_t kArgId = 2122;
const uint32_t kSessionListId = 2118;
const uint32_t kSessionId = 2117;

bool U8(CArchiveBuffer& ar, uint32_t v) { return ar.Write(static_cast<unsigned char>(v & 0xFF)); }
bool U32(CArchiveBuffer& ar, uint32_t v) { return ar.Write(v); }
bool Str(CArchiveBuffer& ar, const std::string& s) { return ar.Write(s); }

const char* InterfaceName(uint32_t kind) {
  switch (kind) {
    case 1:
      return "Ethernet";
    case 2:
      return "USB";
    case 4:
      return "Wireless";
    case 8:
      return "Local";
    case 16:
      return "Bluetooth";
  }
  return "Ethernet";
}

// The announcement's own one-byte sequence number, one per datagram of the
// whole process.
std::atomic<uint32_t> g_Sequence{0};

bool WriteCurrent(const SimIdentity& id, CArchiveBuffer& ar) {
  const uint32_t v = id.messageVersion;
  bool ok = U32(ar, OBJID_CVCIIdentMsg) && U8(ar, v);
  if (!ok || v == 0) return ok;
  uint8_t token[8];
  for (int i = 0; i < 8; ++i) token[i] = static_cast<uint8_t>(id.deviceToken >> (8 * (7 - i)));
  ok = U32(ar, id.serial) && ar.WriteRaw(token, 8) && U8(ar, id.interfaceKind) && U8(ar, id.moduleState) &&
       WriteSessionList(ar, id.sessions, id.address) && U8(ar, g_Sequence.fetch_add(1) & 0xFF);
  if (ok && v >= 2) {
    // The link byte travels raw: a receiver maps it onto its own zones.
    const SimWireless& w = id.wireless;
    ok = U8(ar, w.enabled ? 1 : 0);
    if (ok && w.enabled)
      ok = U8(ar, w.apState) && U8(ar, w.linkQualityRaw) && U8(ar, static_cast<uint32_t>(w.signalLevel)) &&
           U8(ar, static_cast<uint32_t>(w.noiseLevel));
  }
  if (ok && v >= 3) ok = U8(ar, id.moduleType);
  return ok;
}

bool WriteLegacy(const SimIdentity& id, CArchiveBuffer& ar) {
  const uint32_t v = id.messageVersion;
  bool ok = U32(ar, OBJID_CVCIStatusMsg) && U32(ar, v);
  if (!ok || v == 0) return ok;
  // Its address on each kind of interface: its own address on the one it
  // announces on.
  auto addressFor = [&](uint32_t kind) { return id.interfaceKind == kind ? id.address : std::string("0.0.0.0"); };
  uint32_t productVersion = 0;
  CCompList::ParseVersionNumber(id.productVersion, productVersion);
  uint32_t productDate = static_cast<uint32_t>(strtoul(id.productDate.c_str(), nullptr, 0));
  ok = Str(ar, "") && Str(ar, addressFor(4)) && Str(ar, addressFor(2)) && Str(ar, addressFor(1)) &&
       U32(ar, id.serial) && U32(ar, productVersion) && U32(ar, productDate) && U32(ar, 0) && U32(ar, 0) &&
       U32(ar, 0) && U32(ar, 0) && U32(ar, id.moduleType) && U32(ar, id.interfaceKind == 1) &&
       U32(ar, id.interfaceKind == 4) && U32(ar, id.interfaceKind == 2) && U32(ar, 0) &&
       U32(ar, static_cast<uint32_t>(id.sessions.size()));
  for (size_t i = 0; ok && i < id.sessions.size(); ++i) {
    const SimSession& s = id.sessions[i];
    ok = U32(ar, OBJID_CClientInfo) && U8(ar, s.flag ? 1 : 0) && U32(ar, s.number) &&
         Str(ar, InterfaceName(s.interfaceKind)) && Str(ar, s.text1) && Str(ar, s.text2);
  }
  if (ok && v >= 2) ok = U32(ar, id.moduleState);
  return ok;
}

bool WriteRecovery(const SimIdentity& id, CArchiveBuffer& ar) {
  const uint32_t v = id.messageVersion;
  bool ok = U32(ar, OBJID_CRecoveryStatus) && U32(ar, v);
  if (!ok || v == 0) return ok;
  const std::string block = "vci-sim recovery " + id.productVersion;
  ok = U32(ar, id.serial) && U32(ar, 0) && U32(ar, 0) && U32(ar, 0) && Str(ar, "") && U32(ar, id.moduleState) &&
       U32(ar, static_cast<uint32_t>(block.size() + 1));
  return ok && ar.WriteRaw(block.c_str(), static_cast<uint32_t>(block.size() + 1));
}

}  // namespace

bool WriteArgList(CArchiveBuffer& ar, const NameValues& pairs) {
  NameValues sorted = pairs;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const NameValues::value_type& a, const NameValues::value_type& b) { return a.first < b.first; });
  bool ok = U32(ar, kArgListId) && ar.Write(static_cast<int32_t>(0)) && U32(ar, 1) && Str(ar, "") &&
            U32(ar, static_cast<uint32_t>(sorted.size()));
  for (size_t i = 0; ok && i < sorted.size(); ++i)
    ok = U32(ar, kArgId) && U32(ar, 1) && Str(ar, sorted[i].first) && Str(ar, sorted[i].second);
  return ok;
}

bool WriteSessionList(CArchiveBuffer& ar, const std::vector<SimSession>& sessions, const std::string& vciAddress) {
  const size_t n = std::min<size_t>(sessions.size(), 255);
  bool ok = U32(ar, kSessionListId) && ar.Write(static_cast<int32_t>(0)) && U8(ar, 1) && U8(ar, static_cast<uint32_t>(n));
  for (size_t i = 0; ok && i < n; ++i) {
    const SimSession& s = sessions[i];
    ok = U32(ar, kSessionId) && U32(ar, 1) && U32(ar, s.number) && Str(ar, s.text1) && Str(ar, s.text2) &&
         Str(ar, s.address.empty() ? vciAddress : s.address) && U32(ar, s.interfaceKind) && U32(ar, s.flag ? 1 : 0);
  }
  return ok;
}

bool WriteConfig(CArchiveBuffer& ar, int32_t result, uint32_t key, const NameValues& pairs, bool repeatKey) {
  const uint32_t count = pairs.empty() ? 0 : (repeatKey ? 2 : 1);
  bool ok = U32(ar, OBJID_CConfig) && ar.Write(result) && U32(ar, 1) && U32(ar, count);
  for (uint32_t i = 0; ok && i < count; ++i) ok = U32(ar, key) && WriteArgList(ar, pairs);
  return ok;
}

bool WriteAnnouncement(const SimIdentity& identity, CArchiveBuffer& ar) {
  switch (identity.format) {
    case AnnounceFormat::CURRENT:
      return WriteCurrent(identity, ar);
    case AnnounceFormat::LEGACY:
      return WriteLegacy(identity, ar);
    case AnnounceFormat::RECOVERY:
      return WriteRecovery(identity, ar);
  }
  return false;
}

}  // namespace vcisim
