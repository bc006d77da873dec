#include "records/VCIIdentMsg.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "serialize/ArchiveBuffer.h"
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

bool CVCIIdentMsg::Serialize(CArchiveBuffer& ar) { return ar.IsStoring() ? Store(ar) : Load(ar); }

bool CVCIIdentMsg::Store(CArchiveBuffer& ar) {
  if (!ar.Write(GetId()) || !ar.Write(static_cast<unsigned char>(CURRENT_VERSION)) || !ar.Write(m_uiSerial) ||
      !ar.Write(m_Token[0]) || !ar.Write(m_Token[1]) || !ar.Write(static_cast<unsigned char>(m_uiKind)) ||
      !ar.Write(static_cast<unsigned char>(m_uiModuleState)) || !m_Sessions.Serialize(ar))
    return false;
  if (!ar.Write(static_cast<unsigned char>(g_ucSequence))) return false;
  ++g_ucSequence;

  std::string value;
  bool enabled = m_Wireless.GetValue(wireless_info::IF_ENABLE, value) && value == "True";
  if (!ar.Write(static_cast<unsigned char>(enabled ? 1 : 0))) return false;
  if (enabled) {
    // A missing value ends the lookups: it and every value behind it go out
    // as 0.
    static const char* const kLinkValues[] = {wireless_info::AP_STATE, wireless_info::LINK_QUALITY,
                                              wireless_info::SIGNAL_LEVEL, wireless_info::NOISE_LEVEL};
    bool missing = false;
    for (const char* name : kLinkValues) {
      int n = 0;
      if (!missing) {
        if (m_Wireless.GetValue(name, value))
          n = atoi(value.c_str());
        else
          missing = true;
      }
      if (!ar.Write(static_cast<unsigned char>(n))) return false;
    }
  }
  return ar.Write(static_cast<unsigned char>(m_uiModuleType));
}

bool CVCIIdentMsg::Load(CArchiveBuffer& ar) {
  uint32_t numZones = m_uiNumZones;
  const uint32_t* zones = m_pZones;
  *this = CVCIIdentMsg();
  SetLinkQualityZones(numZones, zones);

  unsigned char version, kind, state, sequence;
  if (!CheckId(ar) || !ar.Read(version)) return false;
  m_ucVersion = version;
  if (version == 0) return true;
  if (!ar.Read(m_uiSerial) || !ar.Read(m_Token[0]) || !ar.Read(m_Token[1]) || !ar.Read(kind) || !ar.Read(state))
    return false;
  m_uiKind = kind;
  m_uiModuleState = state;
  if (!m_Sessions.Serialize(ar) || !ar.Read(sequence)) return false;
  g_ucSequence = sequence;

  if (version >= 2) {
    unsigned char flag;
    if (!ar.Read(flag)) return false;
    if (flag == 1) {
      unsigned char apState, raw;
      char signal, noise;
      if (!ar.Read(apState) || !ar.Read(raw) || !ar.Read(signal) || !ar.Read(noise)) return false;
      m_Wireless.SetValue(wireless_info::IF_ENABLE, "True");
      m_Wireless.SetValue(wireless_info::AP_STATE, Decimal(apState));
      m_Wireless.SetValue(wireless_info::LINK_QUALITY, Decimal(static_cast<int>(GetLinkQualityZone(raw))));
      m_Wireless.SetValue(wireless_info::LINK_QUALITY_RAW, Decimal(raw));
      m_Wireless.SetValue(wireless_info::SIGNAL_LEVEL, Decimal(static_cast<signed char>(signal)));
      m_Wireless.SetValue(wireless_info::NOISE_LEVEL, Decimal(static_cast<signed char>(noise)));
    } else {
      m_Wireless.SetValue(wireless_info::IF_ENABLE, "False");
    }
  }
  if (version >= 3) {
    unsigned char moduleType;
    if (!ar.Read(moduleType)) return false;
    m_uiModuleType = moduleType;
  }
  return true;
}
