// Registration on the control connection. The application names the TCP
// port on which it takes events and a name for the service's log lines; the
// reply carries the session id, the service's version, the VCI table and the
// bindings at the time of registration, also when the registration failed.
#pragma once

#include <cstdint>
#include <string>

#include "records/BindMap.h"
#include "records/VCIStatusMap.h"
#include "serialize/Serialize.h"

class CIdentConnect_Send : public CSerialize {
 public:
  enum : uint32_t { CURRENT_VERSION = 3 };
  CIdentConnect_Send();
  CIdentConnect_Send(uint32_t eventPort, const std::string& clientName, bool persistLog = false,
                     uint32_t noReplyTimeout = 0);
  bool VisitFields(CFieldVisitor& v) override;

  uint32_t GetEventPort() const { return m_uiEventPort; }
  const std::string& GetClientName() const { return m_strClientName; }
  bool GetPersistLog() const { return m_bPersistLog; }
  uint32_t GetNoReplyTimeout() const { return m_uiNoReplyTimeout; }

  uint32_t m_uiEventPort;
  std::string m_strClientName;
  uint32_t m_uiVersion;
  bool m_bPersistLog;         // from version 2
  uint32_t m_uiNoReplyTimeout;  // from version 3; non-zero = wait for acknowledgements without limit
};

class CIdentConnect_Recv : public CResponse {
 public:
  enum : uint32_t { CURRENT_VERSION = 2 };
  CIdentConnect_Recv();
  CIdentConnect_Recv(int32_t result, uint32_t sessionId, const CVCIStatusMap& table, const CBindMap& bindings,
                     uint32_t versionNumber, uint32_t buildDate, const std::string& productName,
                     int32_t btInitError, uint32_t instanceToken);
  bool VisitFields(CFieldVisitor& v) override;

  CVCIStatusMap m_VCIStatusMap;
  CBindMap m_BindMap;
  uint32_t m_uiSessionId;
  uint32_t m_uiVersion;
  uint32_t m_uiVersionNumber;
  uint32_t m_uiBuildDate;
  uint32_t m_uiInstanceToken;
  int32_t m_iBtInitError;  // held by the object only, not on the wire
  std::string m_strProductName;
};
