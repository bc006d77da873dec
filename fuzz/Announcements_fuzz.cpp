// The three announcement formats as the discovery engine receives them. The
// first input byte picks the link-quality zones lent to the reader: below
// 0x80 the configuration's (the defaults, since the scratch registry names
// no ident.ini), else (byte & 0x7F) % 21 thresholds, one byte each, from the
// input. The rest is the datagram: the frame length word, then the content,
// whose id word picks the format as the engine does.
#include "FuzzSupport.h"

#include <algorithm>
#include <cstdlib>

#include "host/IdentConfig.h"
#include "records/RecoveryStatus.h"
#include "records/VCIStatus.h"
#include "records/VCIStatusMsg.h"
#include "serialize/ObjectId.h"

namespace {

struct Zones {
  std::vector<uint32_t> thresholds;
  bool defaults;
};

std::string Value(const CArgList& list, const char* name) {
  std::string value;
  list.GetValue(name, value);
  return value;
}

// The documented mapping of the default zones 30, 50, 60, 100.
int DefaultZone(int raw) { return raw <= 30 ? 0 : raw <= 50 ? 1 : raw <= 60 ? 2 : raw <= 100 ? 3 : 0; }

void CheckZone(const CVCIIdentMsg& msg, const Zones& zones) {
  const CArgList& w = msg.GetWireless();
  if (!zones.defaults || Value(w, wireless_info::IF_ENABLE) != "True") return;
  int raw = atoi(Value(w, wireless_info::LINK_QUALITY_RAW).c_str());
  FUZZ_CHECK(atoi(Value(w, wireless_info::LINK_QUALITY).c_str()) == DefaultZone(raw));
}

CVCIIdentMsg Read(const uint8_t* data, size_t size, const Zones& zones, bool& ok) {
  CVCIIdentMsg msg;
  msg.SetLinkQualityZones(static_cast<uint32_t>(zones.thresholds.size()), zones.thresholds.data());
  ok = fuzz::Load(msg, data, size);
  if (ok) CheckZone(msg, zones);
  return msg;
}

// Every announcement the engine takes in, converted ones included, can be
// written (the detail cache keeps it) and reads back with the fields that
// travel, each cut to the width it travels in.
// The link byte is written from the zone and read as the raw value.
void CheckRewrite(CVCIIdentMsg& a, const Zones& zones) {
  fuzz::Bytes bytes;
  FUZZ_CHECK(fuzz::Store(a, bytes));
  bool ok;
  CVCIIdentMsg b = Read(bytes.data(), bytes.size(), zones, ok);
  FUZZ_CHECK(ok);
  FUZZ_CHECK(b.GetVersion() == CVCIIdentMsg::CURRENT_VERSION && b.GetSerial() == a.GetSerial());
  FUZZ_CHECK(b.GetTokenLow() == a.GetTokenLow() && b.GetTokenHigh() == a.GetTokenHigh());
  FUZZ_CHECK(b.GetKind() == (a.GetKind() & 0xFF) && b.GetModuleState() == (a.GetModuleState() & 0xFF));
  FUZZ_CHECK(b.GetModuleType() == (a.GetModuleType() & 0xFF) && b.GetSessions() == a.GetSessions());
  for (size_t i = 0; i < b.GetSessions().m_Sessions.size(); ++i)
    FUZZ_CHECK(b.GetSessions().m_Sessions[i].m_uiSession == a.GetSessions().m_Sessions[i].m_uiSession);
  const CArgList &wa = a.GetWireless(), &wb = b.GetWireless();
  bool enabled = Value(wa, wireless_info::IF_ENABLE) == "True";
  FUZZ_CHECK(Value(wb, wireless_info::IF_ENABLE) == (enabled ? "True" : "False"));
  FUZZ_CHECK(wb.Count() == (enabled ? 6u : 1u));
  if (!enabled) return;
  for (const char* name : {wireless_info::AP_STATE, wireless_info::SIGNAL_LEVEL, wireless_info::NOISE_LEVEL})
    FUZZ_CHECK(Value(wb, name) == Value(wa, name));
  FUZZ_CHECK(Value(wb, wireless_info::LINK_QUALITY_RAW) == Value(wa, wireless_info::LINK_QUALITY));
}

void CheckCurrent(const uint8_t* data, size_t size, const Zones& zones) {
  bool ok;
  CVCIIdentMsg msg = Read(data, size, zones, ok);
  if (ok) CheckRewrite(msg, zones);
}

// The conversion the engine makes of a legacy message.
void CheckLegacy(const uint8_t* data, size_t size, const Zones& zones) {
  CVCIStatusMsg legacy;
  if (!fuzz::Load(legacy, data, size)) return;
  CVCIIdentMsg msg = legacy.ToIdentMsg();
  CVCIStatusMsg::PresenceFlags flags = CVCIStatusMsg::GetPresenceFlags();
  uint32_t kind = flags.uiEthernet ? VCI_KIND_ETHERNET : flags.uiWireless ? VCI_KIND_WIRELESS : VCI_KIND_USB;
  FUZZ_CHECK(msg.GetKind() == kind && msg.IsTokenZero() && msg.GetSerial() == legacy.m_uiSerial);
  FUZZ_CHECK(msg.GetModuleState() == legacy.m_uiModuleState && msg.GetModuleType() == legacy.m_uiModuleType);
  const auto& sessions = msg.GetSessions().m_Sessions;
  FUZZ_CHECK(sessions.size() == legacy.m_Clients.size());
  for (const auto& s : sessions) {
    FUZZ_CHECK(s.m_uiKind != 0 && (s.m_uiKind & (s.m_uiKind - 1)) == 0 && s.m_uiKind <= VCI_KIND_BLUETOOTH);
    if (s.m_uiKind == VCI_KIND_LOCAL) FUZZ_CHECK(s.m_strAddress == "127.0.0.1");
  }
  CheckRewrite(msg, zones);
}

void CheckRecovery(const uint8_t* data, size_t size, const Zones& zones) {
  CRecoveryStatus a;
  if (!fuzz::Load(a, data, size)) return;
  fuzz::Bytes bytes;
  FUZZ_CHECK(fuzz::Store(a, bytes));
  CRecoveryStatus b;
  FUZZ_CHECK(fuzz::Load(b, bytes));
  FUZZ_CHECK(b.m_uiSerial == a.m_uiSerial && b.m_strText == a.m_strText && b.m_uiModuleState == a.m_uiModuleState);
  FUZZ_CHECK(b.m_Block == a.m_Block && std::equal(a.m_Unused, a.m_Unused + 3, b.m_Unused));
  CVCIIdentMsg msg = a.ToIdentMsg();
  FUZZ_CHECK(msg.GetKind() == VCI_KIND_USB && msg.IsTokenZero() && msg.GetSessions().m_Sessions.empty());
  CheckRewrite(msg, zones);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const CIdentConfig config;
  fuzz::Input in(data, size);
  Zones zones;
  uint8_t pick = in.Byte();
  zones.defaults = pick < 0x80;
  if (zones.defaults) {
    std::shared_ptr<const CIdentConfig::CSettings> s = config.GetSettings();
    zones.thresholds.assign(s->m_Zones, s->m_Zones + s->GetZonesInUse());
  } else {
    for (int n = (pick & 0x7F) % (CIdentConfig::MAX_ZONES + 1); n > 0; --n) zones.thresholds.push_back(in.Byte());
  }
  // A datagram too short for an id word behind its frame length is an
  // unknown packet.
  if (in.Size() < 8) return 0;
  const uint8_t* content = in.Data() + 4;
  size_t length = in.Size() - 4;
  uint32_t id = content[0] | content[1] << 8 | content[2] << 16 | static_cast<uint32_t>(content[3]) << 24;
  if (id == OBJID_CVCIIdentMsg) CheckCurrent(content, length, zones);
  if (id == OBJID_CVCIStatusMsg) CheckLegacy(content, length, zones);
  if (id == OBJID_CRecoveryStatus) CheckRecovery(content, length, zones);
  return 0;
}
