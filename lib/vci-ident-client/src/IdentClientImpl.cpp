#include "IdentClientImpl.h"

#include <algorithm>

#include "RecordView.h"
#include "host/IdentConfig.h"
#include "host/TraceLog.h"
#include "platform/StartProgram.h"
#include "records/IdentEvent.h"
#include "transport/ClientSocket.h"
#include "transport/SocketTypes.h"

namespace vciident {

namespace {

typedef CUniqueLock<CMutex> Lock;

// The event port of a one-look registration: what the service sends before
// the unregistration is acknowledged and left.
class CIgnoringSink : public IEventSink {
 public:
  void OnEventConnection() override {}
  void OnEvent(const CIdentEvent_Send&) override {}
  void OnEventConnectionClosed() override {}
};

// The longest a Bluetooth connect can take before the service replies, as
// the service's own configuration sets it.
uint32_t BluetoothReplyWaitFromConfig() {
  CIdentConfig config;
  const uint32_t pairing =
      config.GetTimeout(CIdentConfig::NUM_PAIR_ATTEMPTS) * config.GetTimeout(CIdentConfig::PAIR_TIMEOUT);
  return pairing + config.GetTimeout(CIdentConfig::BT_CONNECT_TIMEOUT) +
         config.GetTimeout(CIdentConfig::BT_IF_UP_TIMEOUT) + BLUETOOTH_REPLY_MARGIN_MS;
}

CControlChannel::Settings ChannelSettings(const ClientOptions& options) {
  CControlChannel::Settings settings;
  settings.serviceAddress = options.serviceAddress;
  settings.controlPort = options.controlPort;
  settings.replyWaitMs = options.replyWaitMs;
  settings.bluetoothReplyWaitMs =
      options.bluetoothReplyWaitMs != 0 ? options.bluetoothReplyWaitMs : BluetoothReplyWaitFromConfig();
  settings.connectPauseMs = options.connectPauseMs;
  return settings;
}

// Whether an exchange that failed with result may have been carried out by
// the service: it failed once the request had gone out (waiting for the
// reply, reading it, closing after it).
bool MayHaveBeenCarriedOut(int result) {
  return (result >= CClientSocket::CS_ERR_SHUTDOWN && result <= CClientSocket::CS_ERR_SHUTDOWN_DATA) ||
         (result >= CClientSocket::CS_ERR_WAIT_SELECT && result <= CClientSocket::CS_ERR_RECV_CONTENT_SHUTDOWN) ||
         result == CClientSocket::CS_ERR_SHUTDOWN_RECV || result == RESULT_BAD_REPLY;
}

// Before anything of the core runs in this process: its trace lines belong
// to the service's trace file, and the application's standard output is
// not the sockets' to print on.
const ClientOptions& QuietCore(const ClientOptions& options) {
  SetTraceLogSilenced(true);
  SetSocketConsoleReports(false);
  return options;
}

}  // namespace

CIdentClient::CImpl::CImpl(const ClientOptions& options)
    : m_Options(QuietCore(options)), m_Control(ChannelSettings(options)) {}

CIdentClient::CImpl::~CImpl() { Disconnect(); }

int CIdentClient::CImpl::Connect(ServiceInfo* service, uint32_t flags) {
  CMutexLock api(m_ApiLock);
  if (m_pEvents) return RESULT_ALREADY_REGISTERED;
  if ((flags & ~uint32_t(CONNECT_KEEP_TRACE_SETTING)) != 0 ||
      ((flags & CONNECT_KEEP_TRACE_SETTING) != 0 && m_Options.noReplyTimeout))
    return RESULT_BAD_ARGUMENT;
  std::unique_ptr<CEventListener> events(new CEventListener(*this));
  int iRet = events->Start(m_Options.serviceAddress, m_Options.eventPort);
  if (iRet != 0) return iRet;
  {
    Lock lock(m_Lock);
    m_State = REGISTERING;
    m_bStop = false;
    m_uiFlags = flags;
    m_usEventPort = events->GetPort();
    m_Calls.clear();
  }
  m_pEvents = std::move(events);
  iRet = StartingService([this] { return Register(CControlChannel::REFUSAL_ANSWERS); });
  if (iRet != 0) {
    {
      Lock lock(m_Lock);
      m_State = IDLE;
    }
    m_pEvents->Stop();
    m_pEvents.reset();
    return iRet;
  }
  if (service != nullptr) *service = GetServiceInfo();
  m_Thread = std::thread(&CImpl::Run, this);
  return 0;
}

int CIdentClient::CImpl::Query(ServiceInfo* service, std::vector<VciInfo>* table, std::vector<VciBinding>* bindings) {
  CMutexLock api(m_ApiLock);
  if (m_pEvents) return RESULT_ALREADY_REGISTERED;
  // The service connects to the event port at the registration and keeps
  // the connection until the unregistration.
  CIgnoringSink sink;
  CEventListener events(sink);
  int iRet = events.Start(m_Options.serviceAddress, m_Options.eventPort);
  if (iRet != 0) return iRet;
  CIdentConnect_Recv reply;
  iRet = StartingService([&] {
    const int r = m_Control.Register(events.GetPort(), m_Options.clientName, CControlChannel::PERSIST_AS_IS, false,
                                     CControlChannel::REFUSAL_ANSWERS, reply);
    return r != 0 ? r : reply.GetResult();
  });
  if (iRet == 0) {
    if (service != nullptr) *service = ServiceOf(reply);
    if (table != nullptr) *table = ViewOf(reply.m_VCIStatusMap);
    if (bindings != nullptr) *bindings = ViewOf(reply.m_BindMap);
    // The look is taken; a failed unregistration leaves a client whose event
    // port is closed below, which the service drops at its next event.
    m_Control.Unregister(reply.m_uiSessionId);
  }
  events.Stop();
  return iRet;
}

int CIdentClient::CImpl::Disconnect() {
  {
    Lock lock(m_Lock);
    if (m_ThreadId == std::this_thread::get_id()) return RESULT_IN_CALLBACK;
  }
  CMutexLock api(m_ApiLock);
  if (!m_pEvents) return RESULT_NOT_REGISTERED;
  bool bRegistered;
  uint32_t sessionId;
  {
    Lock lock(m_Lock);
    bRegistered = m_State == REGISTERED;
    sessionId = m_Service.sessionId;
    m_State = IDLE;
    m_bStop = true;
    m_Calls.clear();
    m_Wake.NotifyAll();
  }
  // A registration that the thread has in progress sees the stop and
  // unregisters itself.
  const int iRet = bRegistered ? m_Control.Unregister(sessionId) : 0;
  if (m_Thread.joinable()) m_Thread.join();
  m_pEvents->Stop();
  m_pEvents.reset();
  Lock lock(m_Lock);
  m_usEventPort = 0;
  m_Table.clear();
  m_Bindings.clear();
  m_ThreadId = std::thread::id();
  return iRet;
}

bool CIdentClient::CImpl::IsRegistered() const {
  Lock lock(m_Lock);
  return m_State == REGISTERED;
}

ServiceInfo CIdentClient::CImpl::GetServiceInfo() const {
  Lock lock(m_Lock);
  return m_Service;
}

std::vector<VciInfo> CIdentClient::CImpl::GetTable() const {
  Lock lock(m_Lock);
  return m_Table;
}

std::vector<VciBinding> CIdentClient::CImpl::GetBindings() const {
  Lock lock(m_Lock);
  return m_Bindings;
}

uint16_t CIdentClient::CImpl::GetEventPort() const {
  Lock lock(m_Lock);
  return m_usEventPort;
}

int CIdentClient::CImpl::BluetoothCommand(uint32_t command, uint32_t serial) {
  if (command < BT_CONNECT || command > BT_CHECK_CONNECT_STATE) return RESULT_BAD_ARGUMENT;
  uint32_t sessionId;
  {
    Lock lock(m_Lock);
    if (m_State != REGISTERED) return RESULT_NOT_REGISTERED;
    sessionId = m_Service.sessionId;
  }
  const int iRet = m_Control.BluetoothCommand(sessionId, serial, command);
  CheckRefused(iRet);
  return iRet;
}

int CIdentClient::CImpl::FetchDataFiles(std::map<std::string, std::vector<uint8_t>>& files, uint32_t* unreadable) {
  uint32_t count = 0;
  const int iRet = m_Control.FetchDataFiles(files, count);
  if (unreadable != nullptr) *unreadable = count;
  CheckRefused(iRet);
  return iRet;
}

int CIdentClient::CImpl::ReopenEvents() {
  const int iRet = m_pEvents->Restart(m_Options.serviceAddress, m_Options.eventPort);
  Lock lock(m_Lock);
  m_usEventPort = m_pEvents->GetPort();
  return iRet;
}

int CIdentClient::CImpl::Register(CControlChannel::Refusal refusal) {
  uint16_t port;
  uint32_t flags;
  {
    Lock lock(m_Lock);
    m_uiAcceptsAtRegister = m_uiAccepts;
    m_bTableFromEvent = false;
    m_bBindingsFromEvent = false;
    port = m_usEventPort;
    flags = m_uiFlags;
  }
  // The port that an earlier attempt failed to open again.
  if (port == 0) {
    const int iRet = ReopenEvents();
    if (iRet != 0) return iRet;
    port = GetEventPort();
  }
  const CControlChannel::PersistWish wish = (flags & CONNECT_KEEP_TRACE_SETTING) != 0 ? CControlChannel::PERSIST_AS_IS
                                            : m_Options.persistLog                    ? CControlChannel::PERSIST_ON
                                                                                      : CControlChannel::PERSIST_OFF;
  CIdentConnect_Recv reply;
  int iRet = m_Control.Register(port, m_Options.clientName, wish, m_Options.noReplyTimeout, refusal, reply);
  // A reply that came too late (the service answers its first registration
  // after 2 s, and a busy one later) does not undo the registration: the
  // service holds it, connected to the event port, and the next attempt
  // would be a second one whose connection waits behind the first's. The
  // port opens anew instead, and closing the old one removes the stale
  // registration.
  if (iRet != 0 && MayHaveBeenCarriedOut(iRet)) ReopenEvents();
  if (iRet == 0) iRet = reply.GetResult();
  if (iRet != 0) return iRet;
  const std::vector<VciInfo> table = ViewOf(reply.m_VCIStatusMap);
  const std::vector<VciBinding> bindings = ViewOf(reply.m_BindMap);
  Lock lock(m_Lock);
  if (m_bStop) {
    lock.Unlock();
    m_Control.Unregister(reply.m_uiSessionId);
    return RESULT_NOT_REGISTERED;
  }
  m_Service = ServiceOf(reply);
  if (!m_bTableFromEvent) m_Table = table;
  if (!m_bBindingsFromEvent) m_Bindings = bindings;
  if (m_State == LOST) {
    Queue(Call{Call::BACK, {}, {}, 0, 0, m_Service});
    Queue(Call{Call::TABLE, m_Table, {}, 0, 0, {}});
    Queue(Call{Call::BINDINGS, {}, m_Bindings, 0, 0, {}});
  }
  m_State = REGISTERED;
  return 0;
}

int CIdentClient::CImpl::StartingService(const std::function<int()>& attempt) {
  int iRet = attempt();
  if (iRet != RESULT_REFUSED || m_Options.serviceProgram.empty()) return iRet;
  if (platform::StartDetachedProgram(m_Options.serviceProgram, m_Options.serviceArguments) != 0)
    return RESULT_START_FAILED;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_Options.serviceStartWaitMs);
  uint32_t pauseMs = m_Options.retryFirstMs;
  while (iRet == RESULT_REFUSED && Clock::now() + std::chrono::milliseconds(pauseMs) < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    pauseMs = std::min(2 * pauseMs, m_Options.retryLastMs);
    iRet = attempt();
  }
  return iRet;
}

void CIdentClient::CImpl::Run() {
  Lock lock(m_Lock);
  m_ThreadId = std::this_thread::get_id();
  while (!m_bStop) {
    if (!m_Calls.empty()) {
      const Call call = std::move(m_Calls.front());
      m_Calls.pop_front();
      lock.Unlock();
      Deliver(call);
      lock.Lock();
    } else if (m_State != LOST) {
      m_Wake.Wait(m_Lock);
    } else if (Clock::now() < m_NextAttempt) {
      m_Wake.WaitUntil(m_Lock, m_NextAttempt);
    } else {
      lock.Unlock();
      const int iRet = Register(CControlChannel::REFUSAL_RETRIED);
      bool bStart = false;
      lock.Lock();
      if (iRet != 0 && m_State == LOST) {
        m_NextAttempt = Clock::now() + std::chrono::milliseconds(m_uiRetryMs);
        m_uiRetryMs = std::min(2 * m_uiRetryMs, m_Options.retryLastMs);
        bStart = iRet == RESULT_REFUSED && !m_Options.serviceProgram.empty() && !m_bStartedService;
        m_bStartedService = m_bStartedService || bStart;
      }
      if (bStart) {
        lock.Unlock();
        platform::StartDetachedProgram(m_Options.serviceProgram, m_Options.serviceArguments);
        lock.Lock();
      }
    }
  }
}

void CIdentClient::CImpl::Deliver(const Call& call) {
  IIdentClientListener* listener = m_Options.listener;
  if (listener == nullptr) return;
  switch (call.kind) {
    case Call::TABLE: listener->OnTableChanged(call.table); break;
    case Call::BINDINGS: listener->OnBindingsChanged(call.bindings); break;
    case Call::ERROR: listener->OnServiceError(call.code); break;
    case Call::LOST: listener->OnServiceLost(call.reason); break;
    case Call::BACK: listener->OnServiceBack(call.service); break;
  }
}

void CIdentClient::CImpl::Queue(Call&& call) {
  m_Calls.push_back(std::move(call));
  m_Wake.NotifyAll();
}

void CIdentClient::CImpl::MarkLostLocked(int reason) {
  if (m_State != REGISTERED) return;
  m_State = LOST;
  m_uiRetryMs = m_Options.retryFirstMs;
  m_NextAttempt = Clock::now() + std::chrono::milliseconds(m_uiRetryMs);
  m_bStartedService = false;
  Queue(Call{Call::LOST, {}, {}, 0, reason, {}});
}

void CIdentClient::CImpl::CheckRefused(int result) {
  if (result != RESULT_REFUSED) return;
  Lock lock(m_Lock);
  if (!m_bEventsOpen) MarkLostLocked(result);
}

void CIdentClient::CImpl::OnEventConnection() {
  Lock lock(m_Lock);
  ++m_uiAccepts;
  m_bEventsOpen = true;
}

void CIdentClient::CImpl::OnEvent(const CIdentEvent_Send& event) {
  const uint32_t code = event.GetEventCode();
  if (code == CIdentEvent_Send::EVENT_TABLE_CHANGED) {
    std::vector<VciInfo> table = ViewOf(event.m_VCIStatusMap);
    Lock lock(m_Lock);
    if (m_State == IDLE) return;
    m_Table = table;
    m_bTableFromEvent = true;
    Queue(Call{Call::TABLE, std::move(table), {}, 0, 0, {}});
  } else if (code == CIdentEvent_Send::EVENT_BINDINGS_CHANGED) {
    std::vector<VciBinding> bindings = ViewOf(event.m_BindMap);
    Lock lock(m_Lock);
    if (m_State == IDLE) return;
    m_Bindings = bindings;
    m_bBindingsFromEvent = true;
    Queue(Call{Call::BINDINGS, {}, std::move(bindings), 0, 0, {}});
  } else {
    Lock lock(m_Lock);
    if (m_State != IDLE) Queue(Call{Call::ERROR, {}, {}, code, 0, {}});
  }
}

void CIdentClient::CImpl::OnEventConnectionClosed() {
  Lock lock(m_Lock);
  m_bEventsOpen = false;
  if (m_uiAccepts > m_uiAcceptsAtRegister) MarkLostLocked(RESULT_EVENTS_CLOSED);
}

}  // namespace vciident
