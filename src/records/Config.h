// CConfig: the configuration service's answer to a CGetConfigNEW_Send, a map
// from a configuration key to the name/value pairs of that section, written
// in ascending key order. A reply that names a key twice fails to read.
#pragma once

#include <cstdint>
#include <map>

#include "records/ArgList.h"
#include "serialize/Serialize.h"

class CConfig : public CResponse {
 public:
  enum : uint32_t { CURRENT_VERSION = 1 };

  CConfig();
  // A read replaces the whole list, also when version 0 leaves it empty.
  bool Serialize(CArchiveBuffer& ar) override;
  // The sections travel as {key, list} pairs in ascending key order.
  bool VisitFields(CFieldVisitor& v) override;

  // 0 with the section in out, or -1 when the key is absent (out is cleared
  // first in both cases).
  int GetConfig(uint32_t key, CArgList& out) const;
  // Inserts or replaces the section of key.
  void Set(uint32_t key, const CArgList& list);
  // 0, or -1 when the key is absent.
  int Remove(uint32_t key);
  void Clear() { m_Sections.clear(); }
  bool IsEmpty() const { return m_Sections.empty(); }
  const std::map<uint32_t, CArgList>& GetSections() const { return m_Sections; }

  uint32_t m_uiVersion;

 private:
  std::map<uint32_t, CArgList> m_Sections;
};
