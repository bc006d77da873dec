#include "records/VCIStatusMsg.h"

#include "records/SessionList.h"
#include "records/VCIIdentMsg.h"
#include "records/VCIStatus.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"
#include "serialize/RecordCount.h"

namespace {

// Guarded by the engine's receive lock.
CVCIStatusMsg::PresenceFlags g_Presence = {0, 0, 0, 0};

const char kLocalAddress[] = "127.0.0.1";

}  // namespace

CClientInfo::CClientInfo() : CSerialize(OBJID_CClientInfo), m_bFlag(false), m_uiNumber(0) {}

bool CClientInfo::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring()) return true;
  return CheckId(ar) && ar.Read(m_bFlag) && ar.Read(m_uiNumber) && ar.Read(m_strInterface) && ar.Read(m_strText1) &&
         ar.Read(m_strText2);
}

CVCIStatusMsg::CVCIStatusMsg()
    : CSerialize(OBJID_CVCIStatusMsg), m_uiVersion(0), m_uiSerial(0), m_uiProductVersion(0), m_uiProductDate(0),
      m_uiModuleType(0), m_uiModuleState(DEFAULT_MODULE_STATE) {
  for (auto& w : m_Unused) w = 0;
}

CVCIStatusMsg::PresenceFlags CVCIStatusMsg::GetPresenceFlags() { return g_Presence; }
void CVCIStatusMsg::SetPresenceFlags(const PresenceFlags& flags) { g_Presence = flags; }

bool CVCIStatusMsg::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring()) return true;
  *this = CVCIStatusMsg();
  if (!CheckId(ar) || !ar.Read(m_uiVersion)) return false;
  if (m_uiVersion == 0) return true;
  if (!ar.Read(m_strUnused) || !ar.Read(m_strWirelessAddr) || !ar.Read(m_strUsbAddr) || !ar.Read(m_strEthernetAddr) ||
      !ar.Read(m_uiSerial) || !ar.Read(m_uiProductVersion) || !ar.Read(m_uiProductDate))
    return false;
  for (auto& w : m_Unused)
    if (!ar.Read(w)) return false;
  if (!ar.Read(m_uiModuleType)) return false;
  PresenceFlags flags;
  if (!ar.Read(flags.uiEthernet) || !ar.Read(flags.uiWireless) || !ar.Read(flags.uiUsb) || !ar.Read(flags.uiFourth))
    return false;
  g_Presence = flags;
  uint32_t count;
  // A client is at least its id, flag, number and three string counts. Each
  // client becomes a session of the announcement the engine keeps, and a
  // session list of more than 255 cannot be written: one such message would
  // leave the detail cache and the clients' tables unwritable for as long
  // as its VCI is listed.
  if (!record_count::Read(ar, count, 4 + 1 + 4 + 3 * record_count::MIN_STRING_SIZE,
                          record_count::VectorSlot<CClientInfo>()) ||
      count > CSessionList::MAX_SESSIONS)
    return false;
  for (uint32_t i = 0; i < count; ++i) {
    CClientInfo client;
    if (!client.Serialize(ar)) return false;
    m_Clients.push_back(client);
  }
  if (m_uiVersion >= 2 && !ar.Read(m_uiModuleState)) return false;
  return true;
}

uint32_t CVCIStatusMsg::KindOfInterfaceName(const std::string& name) {
  if (name == "Ethernet") return VCI_KIND_ETHERNET;
  if (name == "USB") return VCI_KIND_USB;
  if (name == "Wireless") return VCI_KIND_WIRELESS;
  if (name == "Local") return VCI_KIND_LOCAL;
  if (name == "Bluetooth") return VCI_KIND_BLUETOOTH;
  return 0;
}

CVCIIdentMsg CVCIStatusMsg::ToIdentMsg() const {
  CSessionList sessions;
  // A client with an unknown interface name stays on the previous client's
  // kind; the first one starts from USB.
  uint32_t kind = VCI_KIND_USB;
  for (const auto& client : m_Clients) {
    if (uint32_t named = KindOfInterfaceName(client.m_strInterface)) kind = named;
    CSessionList::CSession session;
    session.m_uiSession = client.m_uiNumber;
    session.m_uiKind = kind;
    switch (kind) {
      case VCI_KIND_ETHERNET:
        session.m_strAddress = m_strEthernetAddr;
        break;
      case VCI_KIND_WIRELESS:
      case VCI_KIND_BLUETOOTH:
        session.m_strAddress = m_strWirelessAddr;
        break;
      case VCI_KIND_LOCAL:
        session.m_strAddress = kLocalAddress;
        break;
      default:
        session.m_strAddress = m_strUsbAddr;
        break;
    }
    session.m_strText1 = client.m_strText1;
    session.m_strText2 = client.m_strText2;
    session.m_bFlag = client.m_bFlag;
    sessions.m_Sessions.push_back(session);
  }
  uint32_t msgKind = g_Presence.uiEthernet ? VCI_KIND_ETHERNET : g_Presence.uiWireless ? VCI_KIND_WIRELESS : VCI_KIND_USB;
  return CVCIIdentMsg(m_uiSerial, m_uiModuleState, 0, 0, sessions, msgKind, m_uiProductVersion, m_uiProductDate,
                      m_uiModuleType);
}
