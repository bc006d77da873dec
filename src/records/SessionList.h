// CSessionList: the sessions open on a VCI, as last announced. The count
// travels in one byte, so at most 255 sessions are written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serialize/Serialize.h"

class CSessionList : public CResponse {
 public:
  enum : uint8_t { CURRENT_VERSION = 1 };
  enum : size_t { MAX_SESSIONS = 255 };

  class CSession : public CSerialize {
   public:
    enum : uint32_t { CURRENT_VERSION = 1 };
    CSession();
    bool VisitFields(CFieldVisitor& v) override;
    // The texts, the flag and the interface kind; not the session number.
    bool operator==(const CSession& o) const;
    bool operator!=(const CSession& o) const { return !(*this == o); }

    uint32_t m_uiVersion;
    uint32_t m_uiSession;
    std::string m_strText1;
    std::string m_strText2;
    std::string m_strAddress;
    uint32_t m_uiKind;
    bool m_bFlag;
  };

  CSessionList();
  // Writing a list of more than MAX_SESSIONS sessions fails.
  bool Serialize(CArchiveBuffer& ar) override;
  // The one record whose version word is a single byte; like every record
  // it writes its newest version and all its fields.
  bool VisitFields(CFieldVisitor& v) override;
  bool operator==(const CSessionList& o) const { return m_Sessions == o.m_Sessions; }
  bool operator!=(const CSessionList& o) const { return !(*this == o); }

  uint8_t m_ucVersion;
  std::vector<CSession> m_Sessions;
};
