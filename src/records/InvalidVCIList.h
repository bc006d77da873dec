// CInvalidVCIList: serial numbers of devices found not to be VCIs, kept in
// the invalid-device list file (invalid-module_<brand>.bin) and loaded at
// start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "records/CacheFile.h"
#include "serialize/Serialize.h"

class CInvalidVCIList : public CSerialize {
 public:
  enum : uint32_t { CURRENT_VERSION = 1 };

  CInvalidVCIList();
  bool Serialize(CArchiveBuffer& ar) override;
  bool VisitFields(CFieldVisitor& v) override;

  // 0 or -1. A file that does not load leaves the list empty (version 1);
  // failure, when given, says how far the load got.
  int32_t Load(const std::string& path, cache_file::LoadFailure* failure = nullptr);
  int32_t Store(const std::string& path);

  bool Contains(uint32_t serial) const;
  size_t Count() const { return m_Serials.size(); }
  void Clear() { m_Serials.clear(); }

  uint32_t m_uiVersion;
  std::vector<uint32_t> m_Serials;
};
