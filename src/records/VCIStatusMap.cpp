#include "records/VCIStatusMap.h"

#include "records/VCIStatusDynMap.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"
#include "serialize/RecordCount.h"

CVCIStatusMap::CVCIStatusMap() : CSerialize(OBJID_CVCIStatusMap), m_uiVersion(CURRENT_VERSION) {}

bool CVCIStatusMap::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring()) {
    if (!StoreHead(ar, static_cast<uint32_t>(m_Map.size()))) return false;
    for (auto& kv : m_Map)
      if (!kv.second.Serialize(ar)) return false;
    return true;
  }
  m_Map.clear();
  if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
  if (m_uiVersion == 0) return true;
  uint32_t count;
  if (!record_count::Read(ar, count, record_count::MIN_RECORD_SIZE, record_count::MapNode<uint32_t, CVCIStatus>()))
    return false;
  for (uint32_t i = 0; i < count; ++i) {
    CVCIStatus status;
    if (!status.Serialize(ar)) return false;
    m_Map[status.m_uiSerial] = status;
  }
  return true;
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
