// CSimVci: one simulated VCI. It serves the application service (port 9000)
// and the configuration service (port 9004) on its own address, one request
// per connection, and builds its announcement datagram. Faults can be
// switched on and off at any time from another thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "SimIdentity.h"
#include "platform/CondVar.h"
#include "platform/Mutex.h"
#include "transport/ServerEvent.h"

class CArchiveBuffer;
class CServerSocket;

namespace vcisim {

enum Fault {
  FAULT_REFUSE,         // services closed: connections are refused
  FAULT_NO_ANSWER,      // accept and read the request, never answer
  FAULT_CLOSE,          // close the connection before the reply
  FAULT_GARBAGE,        // a well-framed reply of random bytes
  FAULT_TRUNCATE,       // a reply frame cut short, then the connection closed
  FAULT_BAD_CIPHER,     // a reply marked enciphered that cannot be deciphered
  FAULT_DUPLICATE_KEY,  // a configuration reply that repeats its key
  FAULT_COUNT
};
const char* FaultName(Fault fault);
bool ParseFault(const std::string& text, Fault& fault);

class CSimVci {
 public:
  enum : uint16_t { APP_PORT = 9000, CFG_PORT = 9004 };
  // The configuration section that holds the product values.
  enum : uint32_t { PRODUCT_SECTION_KEY = 16 };

  CSimVci(const SimIdentity& identity, bool bEncryptReplies, int verbosity);
  ~CSimVci();
  CSimVci(const CSimVci&) = delete;
  CSimVci& operator=(const CSimVci&) = delete;

  // Opens both services unless connections are to be refused. 0 or the
  // server socket's error code.
  int Start();
  void Stop();

  void SetFault(Fault fault, bool on);
  bool GetFault(Fault fault) const { return m_Faults[fault].load(); }
  void SetReplyDelay(uint32_t ms) { m_uiReplyDelayMs = ms; }
  void SetReplyResult(int32_t result) { m_iReplyResult = result; }
  void SetAnnouncing(bool on) { m_bAnnouncing = on; }
  // When in each announcement interval the VCI announces, in ms after the
  // interval's start. Set before the announcer starts.
  void SetPhase(uint32_t ms) { m_uiPhaseMs = ms; }
  uint32_t GetPhase() const { return m_uiPhaseMs; }
  bool IsAnnouncing() const { return m_bAnnouncing.load(); }
  void SetDeviceToken(uint64_t token);
  void SetModuleState(uint32_t state);

  uint32_t GetSerial() const { return m_Identity.serial; }
  const std::string& GetAddress() const { return m_Identity.address; }
  // Status line (JSON object) for the control command "status".
  std::string DescribeJson() const;

  // The announcement datagram content (never enciphered).
  bool BuildAnnouncement(CArchiveBuffer& ar) const;
  // Writes the reply to one request; false when no reply is to be sent
  // (the connection was closed or given up on). Public for the tests of the
  // simulator itself.
  bool HandleRequest(uint16_t port, CArchiveBuffer& request, CArchiveBuffer& reply, const std::string& remoteAddress);

 private:
  class CService : public IServerEvent {
   public:
    CService(CSimVci& vci, uint16_t port) : m_Vci(vci), m_usPort(port) {}
    int OnDataReceived(CArchiveBuffer& request, CArchiveBuffer& reply, const std::string& remoteAddress,
                       const std::string& localAddress) override;
    bool OnErrorDetected(int code) override;

   private:
    CSimVci& m_Vci;
    uint16_t m_usPort;
  };

  int OpenServices() REQUIRES(m_ServiceLock);
  void CloseServices() REQUIRES(m_ServiceLock);
  // Sleeps up to ms; false when the services are closing meanwhile.
  bool Pause(uint32_t ms);
  // Writes the regular reply of a request into reply; the name of the
  // reply class goes to replyName.
  void WriteReply(uint16_t port, CArchiveBuffer& request, CArchiveBuffer& reply, std::string& requestName,
                  std::string& replyName);
  void Log(const char* format, ...) const __attribute__((format(printf, 2, 3)));

  // Constant after construction, except the two fields below.
  SimIdentity m_Identity;
  uint32_t m_uiPhaseMs = 0;
  const bool m_bEncryptReplies;
  const int m_iVerbosity;
  // The fields that change at run time.
  mutable CMutex m_IdentityLock;
  uint64_t m_uiDeviceToken GUARDED_BY(m_IdentityLock);
  uint32_t m_uiModuleState GUARDED_BY(m_IdentityLock);

  std::atomic<bool> m_Faults[FAULT_COUNT];
  std::atomic<uint32_t> m_uiReplyDelayMs{0};
  std::atomic<int32_t> m_iReplyResult{0};
  std::atomic<bool> m_bAnnouncing{true};

  // m_ServiceLock is taken by Start, Stop and the refuse fault.
  CMutex m_ServiceLock;
  std::unique_ptr<CService> m_pAppListener GUARDED_BY(m_ServiceLock);
  std::unique_ptr<CService> m_pCfgListener GUARDED_BY(m_ServiceLock);
  std::unique_ptr<CServerSocket> m_pAppServer GUARDED_BY(m_ServiceLock);
  std::unique_ptr<CServerSocket> m_pCfgServer GUARDED_BY(m_ServiceLock);
  bool m_bStarted GUARDED_BY(m_ServiceLock) = false;

  // Set while the services close: waits in listeners end early.
  std::atomic<bool> m_bClosing{false};
  CMutex m_WaitLock;
  CCondVar m_WaitCond;
};

}  // namespace vcisim
