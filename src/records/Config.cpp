#include "records/Config.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/FieldList.h"
#include "serialize/ObjectId.h"
#include "serialize/RecordCount.h"

CConfig::CConfig() : CResponse(OBJID_CConfig), m_uiVersion(CURRENT_VERSION) {}

int CConfig::GetConfig(uint32_t key, CArgList& out) const {
  out = CArgList();
  auto it = m_Sections.find(key);
  if (it == m_Sections.end()) return -1;
  out = it->second;
  return 0;
}

void CConfig::Set(uint32_t key, const CArgList& list) { m_Sections[key] = list; }

int CConfig::Remove(uint32_t key) { return m_Sections.erase(key) ? 0 : -1; }

bool CConfig::Serialize(CArchiveBuffer& ar) {
  if (!ar.IsStoring()) m_Sections.clear();
  return SerializeFields(ar);
}

bool CConfig::VisitFields(CFieldVisitor& v) {
  // Each entry is at least its key and the id word of its list. A key
  // named twice fails to read from the wire; in the JSON form the later
  // section replaces the earlier.
  const bool wire = v.OnWire();
  auto sections = field::List<std::pair<uint32_t, CArgList>>(
      m_Sections,
      [](CFieldVisitor& v, auto& e) { return field::Key(v, "key", e.first) && v.Field("list", e.second); },
      [wire](std::map<uint32_t, CArgList>& m, std::pair<uint32_t, CArgList>& e) {
        if (wire) return m.emplace(e.first, e.second).second;
        m[e.first] = e.second;
        return true;
      },
      4 + record_count::MIN_RECORD_SIZE, record_count::MapNode<uint32_t, CArgList>());
  return v.Begin(*this) && v.Field("result", m_iResult) && v.Version(m_uiVersion, CURRENT_VERSION) &&
         v.List("sections", sections);
}
