// CIdentClient::CImpl: the registration's state, the event port, and the
// library's thread, which makes the listener calls and registers again
// after the service went away.
//
// Lock order: m_ApiLock before m_Lock. m_ApiLock makes Connect and
// Disconnect one step each; m_Lock guards the state that the event port's
// receive thread, the library's thread and the caller's threads share, and
// is never held over a listener call, an exchange with the service or a
// join.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <thread>

#include "ControlChannel.h"
#include "EventListener.h"
#include "platform/CondVar.h"
#include "platform/Mutex.h"
#include "vci-ident/IdentClient.h"

namespace vciident {

class __attribute__((visibility("hidden"))) CIdentClient::CImpl : private IEventSink {
 public:
  explicit CImpl(const ClientOptions& options);
  ~CImpl() override;
  CImpl(const CImpl&) = delete;
  CImpl& operator=(const CImpl&) = delete;

  int Connect(ServiceInfo* service, uint32_t flags);
  int Query(ServiceInfo* service, std::vector<VciInfo>* table, std::vector<VciBinding>* bindings);
  int Disconnect();
  bool IsRegistered() const;
  ServiceInfo GetServiceInfo() const;
  std::vector<VciInfo> GetTable() const;
  std::vector<VciBinding> GetBindings() const;
  uint16_t GetEventPort() const;
  int BluetoothCommand(uint32_t command, uint32_t serial);
  int FetchDataFiles(std::map<std::string, std::vector<uint8_t>>& files, uint32_t* unreadable);
  uint32_t GetBluetoothReplyWaitMs() const { return m_Control.GetSettings().bluetoothReplyWaitMs; }

 private:
  typedef std::chrono::steady_clock Clock;
  enum State { IDLE, REGISTERING, REGISTERED, LOST };

  // One listener call waiting for the library's thread.
  struct Call {
    enum Kind { TABLE, BINDINGS, ERROR, LOST, BACK } kind;
    std::vector<VciInfo> table;
    std::vector<VciBinding> bindings;
    uint32_t code;
    int reason;
    ServiceInfo service;
  };

  // IEventSink, on the event port's receive thread.
  void OnEventConnection() override;
  void OnEvent(const CIdentEvent_Send& event) override;
  void OnEventConnectionClosed() override;

  // One registration; 0 or why not.
  int Register(CControlChannel::Refusal refusal) EXCLUDES(m_Lock);
  // The event port opened anew (CEventListener::Restart); 0 or why not.
  int ReopenEvents() EXCLUDES(m_Lock);
  // One attempt (a registration), and when the control port refuses it and
  // a service program is configured: the program started, and the attempt
  // made again until it is answered or the start wait is over.
  int StartingService(const std::function<int()>& attempt);
  // The body of the library's thread.
  void Run();
  void Deliver(const Call& call);
  // The service is gone: tell the listener and register again later.
  void MarkLostLocked(int reason) REQUIRES(m_Lock);
  // Marks the registration lost when result says the control port refuses
  // and no event connection is open: with one open, the service is there and
  // only replacing its control server.
  void CheckRefused(int result);
  void Queue(Call&& call) REQUIRES(m_Lock);

  // Constant after construction.
  const ClientOptions m_Options;
  const CControlChannel m_Control;

  CMutex m_ApiLock;
  // Set by Connect before the library's thread starts and reset by
  // Disconnect after it has been joined; in between the registrations (on
  // that thread, or on Connect's) open it anew.
  std::unique_ptr<CEventListener> m_pEvents GUARDED_BY(m_ApiLock);
  std::thread m_Thread GUARDED_BY(m_ApiLock);

  mutable CMutex m_Lock;
  CCondVar m_Wake;
  State m_State GUARDED_BY(m_Lock) = IDLE;
  bool m_bStop GUARDED_BY(m_Lock) = false;
  uint32_t m_uiFlags GUARDED_BY(m_Lock) = 0;  // Connect's
  uint16_t m_usEventPort GUARDED_BY(m_Lock) = 0;
  ServiceInfo m_Service GUARDED_BY(m_Lock);
  std::vector<VciInfo> m_Table GUARDED_BY(m_Lock);
  std::vector<VciBinding> m_Bindings GUARDED_BY(m_Lock);
  // Set when an event of the registration in progress brought them, so
  // that the older copies of its reply do not replace them.
  bool m_bTableFromEvent GUARDED_BY(m_Lock) = false;
  bool m_bBindingsFromEvent GUARDED_BY(m_Lock) = false;
  std::deque<Call> m_Calls GUARDED_BY(m_Lock);
  // Event connections accepted so far, and how many had been when the
  // current registration began: a connection that closes before the
  // registration's own was accepted is an earlier one's, and no news.
  uint32_t m_uiAccepts GUARDED_BY(m_Lock) = 0;
  uint32_t m_uiAcceptsAtRegister GUARDED_BY(m_Lock) = 0;
  bool m_bEventsOpen GUARDED_BY(m_Lock) = false;
  Clock::time_point m_NextAttempt GUARDED_BY(m_Lock);
  uint32_t m_uiRetryMs GUARDED_BY(m_Lock) = 0;
  // The service program was started in this outage already.
  bool m_bStartedService GUARDED_BY(m_Lock) = false;
  // The library's thread, for telling a listener call's Disconnect.
  std::thread::id m_ThreadId GUARDED_BY(m_Lock);
};

}  // namespace vciident
