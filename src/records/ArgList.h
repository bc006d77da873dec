// CArgList: a named, ordered table of text name/value pairs (device
// information, wireless information of a VCI). Pairs are kept under their
// names, so a read list holds each name once.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "serialize/Serialize.h"

class CArgList : public CResponse {
 public:
  enum : uint32_t { CURRENT_VERSION = 1 };

  class CArg : public CSerialize {
   public:
    enum : uint32_t { CURRENT_VERSION = 1 };
    CArg();
    CArg(const std::string& name, const std::string& value);
    bool VisitFields(CFieldVisitor& v) override;
    bool operator==(const CArg& o) const { return m_strName == o.m_strName && m_strValue == o.m_strValue; }

    uint32_t m_uiVersion;
    std::string m_strName;
    std::string m_strValue;
  };

  CArgList();
  // A read replaces the whole list, also when version 0 leaves it empty.
  bool Serialize(CArchiveBuffer& ar) override;
  // The pairs travel in name order; a read files each under its name.
  bool VisitFields(CFieldVisitor& v) override;

  // False when no pair has that name.
  bool GetValue(const std::string& name, std::string& value) const;
  void SetValue(const std::string& name, const std::string& value);
  size_t Count() const { return m_Args.size(); }
  void Clear() { m_Args.clear(); }

  // Same names with the same values; the list name and versions do not count.
  bool operator==(const CArgList& o) const;
  bool operator!=(const CArgList& o) const { return !(*this == o); }

  uint32_t m_uiVersion;
  std::string m_strListName;
  std::map<std::string, CArg> m_Args;
};
