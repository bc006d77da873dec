// CCompList: the application or system components installed on a VCI, filed
// by component name (the name text of each component's CAppVersion).
//
// Filling a list through Add keeps, per name, the most recent version: a
// component replaces an existing one of the same name only when the existing
// one is older (same fifth text, both version texts parse, smaller number).
// Reading from the wire files each component under its name as it comes, a
// later one of the same name replacing the earlier.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "records/AppVersion.h"
#include "serialize/Serialize.h"

class CCompList : public CResponse {
 public:
  enum : uint32_t { CURRENT_VERSION = 1 };

  class CComp : public CSerialize {
   public:
    enum : uint32_t { CURRENT_VERSION = 1 };
    CComp();
    explicit CComp(const CAppVersion& appVersion);
    bool VisitFields(CFieldVisitor& v) override;

    const std::string& GetName() const { return m_AppVersion.GetName(); }
    // Same fifth text and name, both version texts parse, and this one's
    // number is smaller.
    bool IsOlderThan(const CComp& other) const;

    bool operator==(const CComp& o) const { return m_AppVersion == o.m_AppVersion; }
    bool operator!=(const CComp& o) const { return !(*this == o); }

    uint32_t m_uiVersion;
    CAppVersion m_AppVersion;
  };

  // The number of a version text: tokens cut at blanks, tabs, line feeds,
  // periods and commas, each shifted in 8 bits at a time; a token starting
  // with a digit gives its leading decimal number, one starting with a to f
  // (either case) 10 to 15, anything else 0. So "1.2.3.4" is 0x01020304 and
  // "2.b" equals "2.11". A text without any token (empty, or separators
  // only) does not parse.
  static bool ParseVersionNumber(const std::string& text, uint32_t& number);

  CCompList();
  CCompList(const CCompList& other) = default;
  // Keeps this list's id and result code, clears it and adds the other
  // list's components one by one through Add.
  CCompList& operator=(const CCompList& other);

  // A read replaces the whole list, also when version 0 leaves it empty.
  bool Serialize(CArchiveBuffer& ar) override;
  bool VisitFields(CFieldVisitor& v) override;

  uint32_t GetCount() const { return static_cast<uint32_t>(m_Comps.size()); }
  void Clear() { m_Comps.clear(); }
  // The add with version check (see above). Logs at level 1 when a component
  // of the same name was present; always reports success.
  bool Add(const CComp& comp);
  const CComp* Find(const std::string& name) const;
  const std::map<std::string, CComp>& GetComps() const { return m_Comps; }

  // The components; neither the version read nor the result code count.
  bool operator==(const CCompList& o) const { return m_Comps == o.m_Comps; }
  bool operator!=(const CCompList& o) const { return !(*this == o); }

  uint32_t m_uiVersion;

 private:
  std::map<std::string, CComp> m_Comps;
};
