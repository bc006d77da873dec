#include "records/VCIStatusMap.h"

#include "records/VCIStatusDynMap.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/FieldList.h"
#include "serialize/ObjectId.h"
#include "serialize/RecordCount.h"

CVCIStatusMap::CVCIStatusMap() : CSerialize(OBJID_CVCIStatusMap), m_uiVersion(CURRENT_VERSION) {}

bool CVCIStatusMap::Serialize(CArchiveBuffer& ar) {
  if (!ar.IsStoring()) m_Map.clear();
  return SerializeFields(ar);
}

bool CVCIStatusMap::VisitFields(CFieldVisitor& v) {
  auto statuses = field::Records<CVCIStatus>(
      m_Map, [](std::map<uint32_t, CVCIStatus>& m, CVCIStatus& s) { return m[s.m_uiSerial] = s, true; },
      record_count::MapNode<uint32_t, CVCIStatus>());
  return v.Begin(*this) && v.Version(m_uiVersion, CURRENT_VERSION) && v.List("statuses", statuses);
}

bool CVCIStatusMap::StoreHead(CArchiveBuffer& ar, uint32_t count) {
  return SerializeHead(ar, m_uiVersion, CURRENT_VERSION) && ar.Write(count);
}

const CVCIStatus& CVCIStatusMap::GetAt(size_t n) const {
  static const CVCIStatus empty;
  if (n >= m_Map.size()) return empty;
  auto it = m_Map.begin();
  std::advance(it, n);
  return it->second;
}

void CVCIStatusMap::FillFrom(CVCIStatusDynMap& live) {
  Clear();
  // One copy of each status, appended in the live table's serial order.
  live.ForEachStatus(
      [this](uint32_t serial, const CVCIStatus& status) { m_Map.emplace_hint(m_Map.end(), serial, status); });
}
