// CAppList: the applications installed on a VCI, as the application service
// answers a CGetApplications_Send. Entries are filed under their position
// (0, 1, 2, ... in arrival order) and written back in that order.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "records/AppVersion.h"
#include "serialize/Serialize.h"

class CAppList : public CResponse {
 public:
  enum : uint32_t { CURRENT_VERSION = 1 };

  // One installed application. The flags, text and numbers beside its
  // CAppVersion are carried and cached as the VCI reports them.
  class CApp : public CSerialize {
   public:
    enum : uint32_t { CURRENT_VERSION = 1 };
    CApp();
    explicit CApp(const CAppVersion& appVersion);
    bool VisitFields(CFieldVisitor& v) override;
    bool operator==(const CApp& o) const;
    bool operator!=(const CApp& o) const { return !(*this == o); }

    // Fields in wire order.
    uint32_t m_uiVersion;
    CAppVersion m_AppVersion;
    bool m_bFlag1;
    std::string m_strText;
    uint32_t m_uiNumber1;
    bool m_bFlag2;
    uint32_t m_uiNumber2;
    int32_t m_iNumber3;
  };

  CAppList();

  // A read replaces the whole list, also when version 0 leaves it empty.
  bool Serialize(CArchiveBuffer& ar) override;
  bool VisitFields(CFieldVisitor& v) override;

  uint32_t GetCount() const { return static_cast<uint32_t>(m_Apps.size()); }
  void Clear() { m_Apps.clear(); }
  // The entry at a position, or null.
  const CApp* GetAt(uint32_t position) const;
  // Files the application under the next free position.
  void Add(const CApp& app);
  const std::map<uint32_t, CApp>& GetApps() const { return m_Apps; }

  // The entries; neither the version read nor the result code count.
  bool operator==(const CAppList& o) const { return m_Apps == o.m_Apps; }
  bool operator!=(const CAppList& o) const { return !(*this == o); }

  uint32_t m_uiVersion;

 private:
  std::map<uint32_t, CApp> m_Apps;
};
