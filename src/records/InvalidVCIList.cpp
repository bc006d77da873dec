#include "records/InvalidVCIList.h"

#include <algorithm>

#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"
#include "serialize/RecordCount.h"

CInvalidVCIList::CInvalidVCIList() : CSerialize(OBJID_CInvalidVCIList), m_uiVersion(CURRENT_VERSION) {}

bool CInvalidVCIList::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring()) {
    if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION) || !ar.Write(static_cast<uint32_t>(m_Serials.size())))
      return false;
    for (uint32_t serial : m_Serials)
      if (!ar.Write(serial)) return false;
    return true;
  }
  m_Serials.clear();
  if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
  if (m_uiVersion == 0) return true;
  uint32_t count;
  if (!record_count::Read(ar, count, 4, record_count::VectorSlot<uint32_t>())) return false;
  m_Serials.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t serial;
    if (!ar.Read(serial)) return false;
    m_Serials.push_back(serial);
  }
  return true;
}

int32_t CInvalidVCIList::Load(const std::string& path, cache_file::LoadFailure* failure) {
  if (cache_file::Load(path, *this, "CInvalidVCIList", failure)) return 0;
  *this = CInvalidVCIList();
  return -1;
}

int32_t CInvalidVCIList::Store(const std::string& path) { return cache_file::Store(*this, path, "CInvalidVCIList"); }

bool CInvalidVCIList::Contains(uint32_t serial) const {
  return std::find(m_Serials.begin(), m_Serials.end(), serial) != m_Serials.end();
}
