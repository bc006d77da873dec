// Unregistration on the control connection: the application names the
// session id it got at registration; the reply carries 0, or -1 for an
// unknown session id. Neither message has a version word.
#pragma once

#include <cstdint>

#include "serialize/Serialize.h"

class CIdentDisconnect_Send : public CSerialize {
 public:
  explicit CIdentDisconnect_Send(uint32_t sessionId = 0);
  bool VisitFields(CFieldVisitor& v) override;
  uint32_t GetSessionId() const { return m_uiSessionId; }
  uint32_t m_uiSessionId;
};

class CIdentDisconnect_Recv : public CResponse {
 public:
  explicit CIdentDisconnect_Recv(int32_t result = 0);
  bool VisitFields(CFieldVisitor& v) override;
};
