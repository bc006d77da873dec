#include "records/AppList.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/FieldList.h"
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

bool CAppList::CApp::VisitFields(CFieldVisitor& v) {
  return v.Begin(*this) && v.Version(m_uiVersion, CURRENT_VERSION) && v.Field("appVersion", m_AppVersion) &&
         v.Field("flag1", m_bFlag1) && v.Field("text", m_strText) && v.Field("number1", m_uiNumber1) &&
         v.Field("flag2", m_bFlag2) && v.Field("number2", m_uiNumber2) && v.Field("number3", m_iNumber3);
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
  if (!ar.IsStoring()) m_Apps.clear();
  return SerializeFields(ar);
}

bool CAppList::VisitFields(CFieldVisitor& v) {
  // Entries read before a failing one stay in the list.
  auto apps = field::Records<CApp>(
      m_Apps, [this](std::map<uint32_t, CApp>&, CApp& app) { return Add(app), true; },
      record_count::MapNode<uint32_t, CApp>());
  return v.Begin(*this) && v.Field("result", m_iResult) && v.Version(m_uiVersion, CURRENT_VERSION) &&
         v.List("apps", apps);
}
