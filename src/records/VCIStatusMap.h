// CVCIStatusMap: the table of VCI status records that clients receive, keyed
// by serial number.
#pragma once

#include <cstdint>
#include <map>

#include "records/VCIStatus.h"
#include "serialize/Serialize.h"

class CVCIStatusDynMap;

class CVCIStatusMap : public CSerialize {
 public:
  enum : uint32_t { CURRENT_VERSION = 1 };

  CVCIStatusMap();
  bool Serialize(CArchiveBuffer& ar) override;
  // The statuses in serial-number order; a read files each under its own
  // serial number.
  bool VisitFields(CFieldVisitor& v) override;
  // What Serialize writes ahead of count statuses, for writers that take
  // the statuses from elsewhere.
  bool StoreHead(CArchiveBuffer& ar, uint32_t count);

  void Clear() { m_Map.clear(); }
  size_t Count() const { return m_Map.size(); }
  // The n-th status in serial-number order; a shared empty status when n is
  // out of range.
  const CVCIStatus& GetAt(size_t n) const;
  CVCIStatus& FindOrAdd(uint32_t serial) { return m_Map[serial]; }
  // Replaces the contents with the statuses of the live table.
  void FillFrom(CVCIStatusDynMap& live);

  uint32_t m_uiVersion;
  std::map<uint32_t, CVCIStatus> m_Map;
};
