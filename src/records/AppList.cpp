#include "records/AppList.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"
#include "serialize/RecordCount.h"

CAppList::CApp::CApp()
    : CSerialize(OBJID_CAppList_CApp),
      m_uiVersion(CURRENT_VERSION),
      m_bFlag1(false),
      m_uiNumber1(0),
      m_bFlag2(false),
      m_uiNumber2(0),
      m_iNumber3(-1) {}

CAppList::CApp::CApp(const CAppVersion& appVersion) : CApp() { m_AppVersion = appVersion; }

bool CAppList::CApp::Serialize(CArchiveBuffer& ar) {
  if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
  if (ar.IsStoring())
    return m_AppVersion.Serialize(ar) && ar.Write(m_bFlag1) && ar.Write(m_strText) && ar.Write(m_uiNumber1) &&
           ar.Write(m_bFlag2) && ar.Write(m_uiNumber2) && ar.Write(m_iNumber3);
  if (m_uiVersion == 0) return true;
  return m_AppVersion.Serialize(ar) && ar.Read(m_bFlag1) && ar.Read(m_strText) && ar.Read(m_uiNumber1) &&
         ar.Read(m_bFlag2) && ar.Read(m_uiNumber2) && ar.Read(m_iNumber3);
}

bool CAppList::CApp::operator==(const CApp& o) const {
  return m_AppVersion == o.m_AppVersion && m_bFlag1 == o.m_bFlag1 &&
         m_strText == o.m_strText && m_uiNumber1 == o.m_uiNumber1 && m_bFlag2 == o.m_bFlag2 &&
         m_uiNumber2 == o.m_uiNumber2 && m_iNumber3 == o.m_iNumber3;
}

CAppList::CAppList() : CResponse(OBJID_CAppList), m_uiVersion(CURRENT_VERSION) {}

const CAppList::CApp* CAppList::GetAt(uint32_t position) const {
  auto it = m_Apps.find(position);
  return it == m_Apps.end() ? nullptr : &it->second;
}

void CAppList::Add(const CApp& app) {
  uint32_t next = m_Apps.empty() ? 0 : m_Apps.rbegin()->first + 1;
  m_Apps[next] = app;
}

bool CAppList::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring()) {
    if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION) || !ar.Write(static_cast<uint32_t>(m_Apps.size())))
      return false;
    for (auto& entry : m_Apps)
      if (!entry.second.Serialize(ar)) return false;
    return true;
  }
  // A read replaces the whole list, also when version 0 leaves it empty.
  m_Apps.clear();
  if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
  if (m_uiVersion == 0) return true;
  uint32_t count;
  if (!record_count::Read(ar, count, record_count::MIN_RECORD_SIZE, record_count::MapNode<uint32_t, CApp>()))
    return false;
  for (uint32_t i = 0; i < count; ++i) {
    CApp app;
    // Entries read before a failing one stay in the list.
    if (!app.Serialize(ar)) return false;
    m_Apps[i] = app;
  }
  return true;
}
