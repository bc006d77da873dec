// CAppVersion: the description of one application or component installed on
// a VCI, as its application service reports it. Of its nine texts the service
// itself uses the name, the version text and (for comparing components) the
// fifth text; the others and the two text lists are carried and cached as
// they arrive.
//
// A reply class by descent, but its serialised form has no result code:
// id, version, the nine texts, then the two counted text lists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serialize/Serialize.h"

class CAppVersion : public CResponse {
 public:
  enum : uint32_t { CURRENT_VERSION = 2 };

  CAppVersion();
  CAppVersion(const std::string& name, const std::string& versionText);

  bool VisitFields(CFieldVisitor& v) override;

  const std::string& GetName() const { return m_strName; }
  const std::string& GetVersionText() const { return m_strVersionText; }
  const std::string& GetFifthText() const { return m_strText5; }

  // Every field but the version read.
  bool operator==(const CAppVersion& other) const;
  bool operator!=(const CAppVersion& other) const { return !(*this == other); }

  // Fields in wire order.
  uint32_t m_uiVersion;
  std::string m_strVersionText;
  std::string m_strText2;
  std::string m_strText3;
  std::string m_strText4;
  std::string m_strText5;
  std::string m_strName;
  std::string m_strText7;
  std::string m_strText8;
  std::string m_strText9;
  std::vector<std::string> m_TextList1;
  std::vector<std::string> m_TextList2;
};
