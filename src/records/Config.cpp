#include "records/Config.h"

#include "serialize/ArchiveBuffer.h"
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
  if (ar.IsStoring()) {
    if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION) || !ar.Write(static_cast<uint32_t>(m_Sections.size())))
      return false;
    for (auto& entry : m_Sections)
      if (!ar.Write(entry.first) || !entry.second.Serialize(ar)) return false;
    return true;
  }
  // A read replaces the whole list, also when version 0 leaves it empty.
  m_Sections.clear();
  if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
  if (m_uiVersion == 0) return true;
  uint32_t count;
  // Each entry is at least its key and the id word of its list.
  if (!record_count::Read(ar, count, 4 + record_count::MIN_RECORD_SIZE, record_count::MapNode<uint32_t, CArgList>()))
    return false;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t key;
    CArgList list;
    if (!ar.Read(key) || !list.Serialize(ar)) return false;
    if (!m_Sections.emplace(key, list).second) return false;
  }
  return true;
}
