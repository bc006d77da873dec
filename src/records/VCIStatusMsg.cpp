#include "records/VCIStatusMsg.h"

#include "records/SessionList.h"
#include "records/VCIIdentMsg.h"
#include "records/VCIStatus.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/FieldList.h"
#include "serialize/ObjectId.h"
#include "serialize/RecordCount.h"

namespace {

// Guarded by the engine's receive lock.
CVCIStatusMsg::PresenceFlags g_Presence = {0, 0, 0, 0};

const char kLocalAddress[] = "127.0.0.1";

}  // namespace

CClientInfo::CClientInfo() : CSerialize(OBJID_CClientInfo), m_bFlag(false), m_uiNumber(0) {}

bool CClientInfo::VisitFields(CFieldVisitor& v) {
  return v.ReadOnly("the client entry of a legacy status message") && v.Begin(*this) && v.Field("flag", m_bFlag) &&
         v.Field("number", m_uiNumber) && v.Field("interface", m_strInterface) && v.Field("text1", m_strText1) &&
         v.Field("text2", m_strText2);
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
  return SerializeFields(ar);
}

bool CVCIStatusMsg::VisitFields(CFieldVisitor& v) {
  PresenceFlags flags = g_Presence;
  // A client is at least its id, flag, number and three string counts. Each
  // client becomes a session of the announcement the engine keeps, and a
  // session list of more than 255 cannot be written: one such message would
  // leave the detail cache and the clients' tables unwritable for as long
  // as its VCI is listed.
  auto clients = field::List<CClientInfo>(
      m_Clients, [](CFieldVisitor& v, CClientInfo& c) { return v.Field(nullptr, c); },
      [](std::vector<CClientInfo>& l, CClientInfo& c) { return l.push_back(c), true; },
      4 + 1 + 4 + 3 * record_count::MIN_STRING_SIZE, record_count::VectorSlot<CClientInfo>(), false,
      CSessionList::MAX_SESSIONS);
  // Never written: the version word has no newest value of its own.
  if (!v.ReadOnly("the legacy status message") || !v.Begin(*this) || !v.Version(m_uiVersion, m_uiVersion) ||
      !v.Field("unusedText", m_strUnused) || !v.Field("wirelessAddress", m_strWirelessAddr) ||
      !v.Field("usbAddress", m_strUsbAddr) || !v.Field("ethernetAddress", m_strEthernetAddr) ||
      !v.Field("serial", m_uiSerial) || !v.Field("productVersion", m_uiProductVersion) ||
      !v.Field("productDate", m_uiProductDate) || !v.Words("unused", m_Unused, NUM_UNUSED_WORDS) ||
      !v.Field("moduleType", m_uiModuleType) || !v.Field("ethernetFlag", flags.uiEthernet) ||
      !v.Field("wirelessFlag", flags.uiWireless) || !v.Field("usbFlag", flags.uiUsb) ||
      !v.Field("fourthFlag", flags.uiFourth))
    return false;
  if (v.IntoRecord()) g_Presence = flags;
  return v.List("clients", clients) && v.Since(2) && v.Field("moduleState", m_uiModuleState);
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
