#include "records/VCIIdentMsg.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "serialize/ArchiveBuffer.h"
#include "serialize/FieldVisitor.h"
#include "serialize/ObjectId.h"

namespace {

// Atomic: the receive threads read announcements under the engine's receive
// lock, while a fetch reads its detail cache back under the cache-file lock
// alone, so two reads may store into it at once; the last one wins, as it
// would one after the other.
std::atomic<uint8_t> g_ucSequence{0};

std::string Decimal(int value) {
  char text[16];
  snprintf(text, sizeof text, "%d", value);
  return text;
}

}  // namespace

CVCIIdentMsg::CVCIIdentMsg()
    : CSerialize(OBJID_CVCIIdentMsg), m_ucVersion(CURRENT_VERSION), m_uiSerial(0), m_uiProductVersion(0),
      m_uiProductDate(0), m_uiModuleType(0), m_uiKind(0), m_uiModuleState(0), m_uiNumZones(0), m_pZones(nullptr) {
  m_Token[0] = m_Token[1] = 0;
}

CVCIIdentMsg::CVCIIdentMsg(uint32_t serial, uint32_t moduleState, uint32_t tokenLow, uint32_t tokenHigh,
                           const CSessionList& sessions, uint32_t kind)
    : CVCIIdentMsg(serial, moduleState, tokenLow, tokenHigh, sessions, kind, 0, 0, 0) {}

CVCIIdentMsg::CVCIIdentMsg(uint32_t serial, uint32_t moduleState, uint32_t tokenLow, uint32_t tokenHigh,
                           const CSessionList& sessions, uint32_t kind, uint32_t productVersion,
                           uint32_t productDate, uint32_t moduleType)
    : CVCIIdentMsg() {
  m_uiSerial = serial;
  m_uiModuleState = moduleState;
  m_Token[0] = tokenLow;
  m_Token[1] = tokenHigh;
  m_Sessions = sessions;
  m_uiKind = kind;
  m_uiProductVersion = productVersion;
  m_uiProductDate = productDate;
  m_uiModuleType = moduleType;
}

uint8_t CVCIIdentMsg::GetSequenceCounter() { return g_ucSequence; }
void CVCIIdentMsg::SetSequenceCounter(uint8_t value) { g_ucSequence = value; }

void CVCIIdentMsg::SetLinkQualityZones(uint32_t count, const uint32_t* zones) {
  m_uiNumZones = zones ? count : 0;
  m_pZones = zones;
}

uint32_t CVCIIdentMsg::GetLinkQualityZone(uint32_t raw) const {
  for (uint32_t i = 0; i < m_uiNumZones; ++i)
    if (raw <= m_pZones[i]) return i;
  return 0;
}

bool CVCIIdentMsg::Serialize(CArchiveBuffer& ar) {
  if (!ar.IsStoring()) {
    uint32_t numZones = m_uiNumZones;
    const uint32_t* zones = m_pZones;
    *this = CVCIIdentMsg();
    SetLinkQualityZones(numZones, zones);
  }
  return SerializeFields(ar);
}

bool CVCIIdentMsg::VisitFields(CFieldVisitor& v) {
  bool enabled = false;
  int32_t apState = 0, zone = 0, raw = 0, signal = 0, noise = 0;
  if (!v.IntoRecord()) {
    std::string value;
    enabled = m_Wireless.GetValue(wireless_info::IF_ENABLE, value) && value == "True";
    auto number = [this, &value](const char* name, int32_t& n) {
      if (!m_Wireless.GetValue(name, value)) return false;
      n = atoi(value.c_str());
      return true;
    };
    if (v.OnWire()) {
      // The link byte sent is the "link-quality" pair; a missing value ends
      // the lookups: it and every value behind it go out as 0.
      (void)(number(wireless_info::AP_STATE, apState) && number(wireless_info::LINK_QUALITY, raw) &&
             number(wireless_info::SIGNAL_LEVEL, signal) && number(wireless_info::NOISE_LEVEL, noise));
    } else {
      number(wireless_info::AP_STATE, apState);
      number(wireless_info::LINK_QUALITY, zone);
      number(wireless_info::LINK_QUALITY_RAW, raw);
      number(wireless_info::SIGNAL_LEVEL, signal);
      number(wireless_info::NOISE_LEVEL, noise);
    }
  }
  if (!v.Begin(*this) || !v.Version(m_ucVersion, CURRENT_VERSION) || !v.Field("serial", m_uiSerial) ||
      !v.Field("tokenLow", m_Token[0]) || !v.Field("tokenHigh", m_Token[1]) || !v.Byte("kind", m_uiKind) ||
      !v.Byte("moduleState", m_uiModuleState) || !v.Field("sessions", m_Sessions) ||
      !v.Counter("sequence", g_ucSequence) || !v.Since(2) || !v.Flag("wireless", enabled, 1))
    return false;
  if (enabled && !(v.Byte("apState", apState, 0, 255) && v.Shown("linkQuality", zone) &&
                   v.Byte("linkQualityRaw", raw, 0, 255) && v.Byte("signalLevel", signal, -128, 127) &&
                   v.Byte("noiseLevel", noise, -128, 127)))
    return false;
  if (v.IntoRecord()) {
    m_Wireless.SetValue(wireless_info::IF_ENABLE, enabled ? "True" : "False");
    if (enabled) {
      // A read maps the raw link quality onto the lent zones; one taken
      // from the JSON form keeps the raw byte, so that it is sent again.
      m_Wireless.SetValue(wireless_info::AP_STATE, Decimal(apState));
      m_Wireless.SetValue(wireless_info::LINK_QUALITY,
                          Decimal(v.OnWire() ? static_cast<int>(GetLinkQualityZone(static_cast<uint32_t>(raw))) : raw));
      m_Wireless.SetValue(wireless_info::LINK_QUALITY_RAW, Decimal(raw));
      m_Wireless.SetValue(wireless_info::SIGNAL_LEVEL, Decimal(signal));
      m_Wireless.SetValue(wireless_info::NOISE_LEVEL, Decimal(noise));
    }
  }
  return v.Since(3) && v.Byte("moduleType", m_uiModuleType);
}
