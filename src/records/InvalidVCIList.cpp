#include "records/InvalidVCIList.h"

#include <algorithm>

#include "serialize/ArchiveBuffer.h"
#include "serialize/FieldVisitor.h"
#include "serialize/ObjectId.h"

CInvalidVCIList::CInvalidVCIList() : CSerialize(OBJID_CInvalidVCIList), m_uiVersion(CURRENT_VERSION) {}

bool CInvalidVCIList::Serialize(CArchiveBuffer& ar) {
  if (!ar.IsStoring()) m_Serials.clear();
  return SerializeFields(ar);
}

bool CInvalidVCIList::VisitFields(CFieldVisitor& v) {
  return v.Begin(*this) && v.Version(m_uiVersion, CURRENT_VERSION) && v.Field("serials", m_Serials);
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
