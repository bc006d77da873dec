#include "records/SessionList.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"
#include "serialize/RecordCount.h"

CSessionList::CSession::CSession()
    : CSerialize(OBJID_CSessionList_CSession), m_uiVersion(CURRENT_VERSION), m_uiSession(0), m_uiKind(0),
      m_bFlag(false) {}

bool CSessionList::CSession::Serialize(CArchiveBuffer& ar) {
  if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
  if (ar.IsStoring())
    return ar.Write(m_uiSession) && ar.Write(m_strText1) && ar.Write(m_strText2) && ar.Write(m_strAddress) &&
           ar.Write(m_uiKind) && ar.Write(static_cast<uint32_t>(m_bFlag ? 1 : 0));
  if (m_uiVersion == 0) return true;
  uint32_t flag;
  if (!ar.Read(m_uiSession) || !ar.Read(m_strText1) || !ar.Read(m_strText2) || !ar.Read(m_strAddress) ||
      !ar.Read(m_uiKind) || !ar.Read(flag))
    return false;
  m_bFlag = flag == 1;
  return true;
}

bool CSessionList::CSession::operator==(const CSession& o) const {
  return m_strText1 == o.m_strText1 && m_strText2 == o.m_strText2 && m_strAddress == o.m_strAddress &&
         m_bFlag == o.m_bFlag && m_uiKind == o.m_uiKind;
}

CSessionList::CSessionList() : CResponse(OBJID_CSessionList), m_ucVersion(CURRENT_VERSION) {}

bool CSessionList::Serialize(CArchiveBuffer& ar) {
  // The one record whose version word is a single byte; like every record it
  // writes its newest version and all its fields.
  if (ar.IsStoring()) {
    if (m_Sessions.size() > MAX_SESSIONS) return false;
    if (!ar.Write(GetId()) || !CResponse::Serialize(ar) || !ar.Write(static_cast<unsigned char>(CURRENT_VERSION)) ||
        !ar.Write(static_cast<unsigned char>(m_Sessions.size())))
      return false;
    for (auto& s : m_Sessions)
      if (!s.Serialize(ar)) return false;
    return true;
  }
  m_Sessions.clear();
  unsigned char count;
  if (!CheckId(ar) || !CResponse::Serialize(ar) || !ar.Read(m_ucVersion)) return false;
  if (m_ucVersion == 0) return true;
  if (!ar.Read(count) ||
      !record_count::Plausible(ar, count, record_count::MIN_RECORD_SIZE, record_count::VectorSlot<CSession>()))
    return false;
  for (unsigned i = 0; i < count; ++i) {
    CSession s;
    if (!s.Serialize(ar)) return false;
    m_Sessions.push_back(s);
  }
  return true;
}
