#include "client_service/RegisteredClient.h"

#include <sys/socket.h>

#include <cerrno>
#include <new>

#include "client_service/RegClientThreadAdapter.h"
#include "host/TraceLog.h"
#include "platform/WaitReady.h"
#include "records/IdentEvent.h"
#include "transport/SocketTypes.h"

namespace {

const uint32_t kArchiveSize = CArchiveBuffer::DEFAULT_SIZE;
const char kShuttingDownLine[] = "CRegisteredClient::Uninitialize Shutting down connection to client";
// Raised to what the system allows (net.core.wmem_max).
const int kEventSendBuffer = 4 << 20;

}  // namespace

void CRegClientThreadAdapter::operator()() const { m_pClient->NotifyThread(); }

CRegisteredClient::CRegisteredClient() { m_StopEvent.Create(0, 1); }

CRegisteredClient::~CRegisteredClient() {
  if (m_bInitialized) Uninitialize(0);
}

int32_t CRegisteredClient::Initialize(const std::string& clientAddress, uint32_t eventPort, IIdentEvent* pEventSink,
                                      uint32_t sessionId, const std::string& localAddress, uint32_t noReplyTimeout) {
  TraceLog(TRACE_INFO, "CRegisteredClient::Initialize Entering");
  if (m_bInitialized) {
    TraceLog(TRACE_ERR, "CRegisteredClient::Initialize Already Initialized");
    return -1;
  }
  // An application that does not listen fails its registration here.
  int32_t iRet = m_bConnectMade ? m_iConnectResult : ConnectEventPort(clientAddress, eventPort, localAddress);
  m_bConnectMade = false;
  if (iRet != 0)
    TraceLog(TRACE_INFO, "CRegisteredClient::Initialize Error Initializing Socket Connection to client iRet = %d",
             iRet);
  if (iRet == 0) {
    m_pEventSocket->SetNoReplyTimeout(noReplyTimeout);
    m_EventFd = m_pEventSocket->GetSocket();
    // The event socket's designed 8 KB send buffer holds a fraction of an
    // event (a table of 200 VCIs is about 110 KB), and Linux, unlike
    // Windows, then waits for the peer's acknowledgement of every few
    // kilobytes; on the loopback, whose segments are 64 KB, the peer delays
    // it by up to 40 ms each time. A buffer that takes a whole event lets
    // it go out at once.
    setsockopt(m_EventFd, SOL_SOCKET, SO_SNDBUF, &kEventSendBuffer, sizeof kEventSendBuffer);
    m_pEventSink = pEventSink;
    m_uiSessionId = sessionId;
    m_uiNoReplyTimeout = noReplyTimeout;
    m_pEventQueue.reset(new (std::nothrow) CEventQueue<EventImage>);
    m_pDepartMark.reset(new (std::nothrow) EventImage);
    if (!m_pEventQueue || !m_pDepartMark) iRet = -1;
  }
  if (iRet == 0) {
    try {
      m_pNotifyThread.reset(new std::thread(CRegClientThreadAdapter(this)));
    } catch (...) {
      iRet = -1;
    }
  }
  if (iRet == 0 && IThread::Start() != 0) iRet = -1;
  if (iRet == 0)
    m_bInitialized = true;
  else
    ReleaseAll(CClientSocket::SHUTDOWN_ABORT);
  TraceLog(TRACE_INFO, "CRegisteredClient::Initialize Leaving");
  return iRet;
}

int32_t CRegisteredClient::ConnectEventPort(const std::string& clientAddress, uint32_t eventPort,
                                            const std::string& localAddress) {
  m_sClientAddress = clientAddress;
  m_bConnectMade = true;
  m_iConnectResult = -1;
  std::unique_ptr<CClientSocket> socket(new (std::nothrow) CClientSocket(true));
  if (!socket) return m_iConnectResult;
  socket->SetTimeouts(m_EventTimeouts);
  {
    CMutexLock lock(m_StateLock);
    if (m_bConnectAborted) return m_iConnectResult;
    m_pEventSocket = std::move(socket);
    m_bConnecting = true;
  }
  // With keep connection this connects at once.
  int32_t iRet = m_pEventSocket->Initialize(nullptr, SOCKTYPE_TCP, clientAddress, localAddress, eventPort, false);
  {
    CMutexLock lock(m_StateLock);
    m_bConnecting = false;
    if (m_bConnectAborted && iRet == 0) iRet = CClientSocket::CS_ERR_CONNECT_TIMEOUT;
  }
  m_ConnectEnded.NotifyAll();
  m_iConnectResult = iRet;
  return iRet;
}

void CRegisteredClient::AbortConnect() {
  CUniqueLock lock(m_StateLock);
  m_bConnectAborted = true;
  // A socket's Shutdown cuts the waits of a connect in progress; one that
  // came before the connect had begun would be missed, so it is made again
  // until the connect has returned.
  while (m_bConnecting) {
    CClientSocket* socket = m_pEventSocket.get();
    lock.Unlock();
    socket->Shutdown(CClientSocket::SHUTDOWN_ABORT);
    lock.Lock();
    m_ConnectEnded.WaitFor(m_StateLock, std::chrono::milliseconds(1));
  }
}

int CRegisteredClient::ReleaseAll(int mode) {
  // The link-detection thread first, so that nothing reports once the
  // socket is going.
  m_StopEvent.Release();
  IThread::Stop();
  bool bCut = false;
  if (m_pEventQueue) {
    TraceLog(TRACE_INFO, "CRegisteredClient::Uninitialize Deleting Event Queue");
    m_pEventQueue->Shutdown();
    // A notify thread waiting on the application (for an acknowledgement,
    // without a time limit or for the reply floor, or for the close of a
    // departure) would hold the join as long: its wait is cut and the
    // connection closed at once instead. One that is not waiting now finds
    // the queue shut down or the client stopping and starts no wait.
    CMutexLock lock(m_StateLock);
    m_bStopping = true;
    bCut = m_bInExchange;
  }
  int iRet = 0;
  if (bCut && m_pEventSocket) {
    TraceLog(TRACE_INFO, kShuttingDownLine);
    iRet = m_pEventSocket->Shutdown(CClientSocket::SHUTDOWN_ABORT);
  }
  if (m_pNotifyThread) m_pNotifyThread->join();
  m_pNotifyThread.reset();
  if (m_pEventQueue) {
    uint32_t undelivered = 0;
    for (const auto& item : m_pEventQueue->Drain()) undelivered += *item ? 1 : 0;
    if (undelivered != 0)
      TraceLog(TRACE_INFO, "CRegisteredClient::Uninitialize %u events for client %d not delivered", undelivered,
               static_cast<int>(m_uiSessionId));
  }
  m_pEventQueue.reset();
  m_pDepartMark.reset();
  if (m_bDeparted) {
    iRet = m_iDepartResult;
  } else if (m_pEventSocket && !bCut) {
    TraceLog(TRACE_INFO, kShuttingDownLine);
    iRet = m_pEventSocket->Shutdown(mode);
  }
  m_pEventSocket.reset();
  m_EventFd = INVALID_SOCKET;
  // The stop event is left signalled by the Release above; the count is
  // taken back so that the next Initialize starts with it clear.
  while (m_StopEvent.TryAcquire()) {
  }
  {
    CMutexLock lock(m_StateLock);
    m_bStopping = m_bDeparting = m_bInExchange = false;
  }
  m_bDeparted = false;
  return iRet;
}

void CRegisteredClient::Depart() {
  bool bCut;
  {
    CMutexLock lock(m_StateLock);
    m_bTerminating = true;
    m_bDeparting = true;
    // Set under the lock that the notify thread takes before an exchange:
    // an exchange begun after this waits with the limit; one begun before
    // may be waiting without it.
    m_pEventSocket->SetNoReplyTimeout(0);
    bCut = m_bInExchange && m_uiNoReplyTimeout != 0;
  }
  m_StopEvent.Release();
  if (m_pDepartMark) m_pEventQueue->Push(std::move(m_pDepartMark));
  if (bCut) m_pEventSocket->Shutdown(CClientSocket::SHUTDOWN_ABORT);
}

void CRegisteredClient::Leave(uint32_t undelivered) {
  if (undelivered != 0)
    TraceLog(TRACE_INFO, "CRegisteredClient::NotifyThread %u events for client %d not delivered: its connection broke",
             undelivered, static_cast<int>(m_uiSessionId));
  {
    // Once Uninitialize has begun, it closes the connection.
    CMutexLock lock(m_StateLock);
    if (m_bStopping) return;
    m_bInExchange = true;
  }
  TraceLog(TRACE_INFO, kShuttingDownLine);
  const int iRet = m_pEventSocket->Shutdown(m_bLinkBroken ? CClientSocket::SHUTDOWN_ABORT : 0);
  {
    CMutexLock lock(m_StateLock);
    m_bInExchange = false;
  }
  m_iDepartResult = iRet;
  m_bDeparted = true;
}

int32_t CRegisteredClient::Uninitialize(int mode) {
  TraceLog(TRACE_INFO, "CRegisteredClient::Uninitialize Entering");
  if (!m_bInitialized) return -1;
  {
    CMutexLock lock(m_StateLock);
    m_bTerminating = true;
  }
  TraceLog(TRACE_INFO, "CRegisteredClient::Uninitialize Shutting down link detection thread");
  int iRet = ReleaseAll(mode);
  if (iRet != 0) TraceLog(TRACE_ERR, "CRegisteredClient::Uninitialize Error shutting down client connection %d", iRet);
  m_bInitialized = false;
  {
    CMutexLock lock(m_StateLock);
    m_bTerminating = false;
  }
  TraceLog(TRACE_INFO, "CRegisteredClient::Uninitialize Leaving");
  return iRet;
}

bool CRegisteredClient::SetTerminating() {
  CMutexLock lock(m_StateLock);
  const bool was = m_bTerminating;
  m_bTerminating = true;
  return was;
}

bool CRegisteredClient::IsTerminating() const {
  CMutexLock lock(m_StateLock);
  return m_bTerminating;
}

void CRegisteredClient::SetClientName(const std::string& name) {
  CMutexLock lock(m_StateLock);
  m_sClientName = name;
}

std::string CRegisteredClient::GetClientName() const {
  CMutexLock lock(m_StateLock);
  return m_sClientName;
}

bool CRegisteredClient::Accepting() const { return !m_bLinkBroken && !IsTerminating(); }

int32_t CRegisteredClient::ChangeInMap(const EventImage& tableEvent) {
  TraceLog(TRACE_INFO, "CRegisteredClient::ChangeInMap Entering %d", static_cast<int>(m_uiSessionId));
  if (Accepting()) {
    TraceLog(TRACE_INFO, "CRegisteredClient::NotifyClient Entering %d", static_cast<int>(m_uiSessionId));
    Queue(tableEvent);
  }
  TraceLog(TRACE_INFO, "CRegisteredClient::ChangeInMap Leaving %d", static_cast<int>(m_uiSessionId));
  return 0;
}

int32_t CRegisteredClient::ChangeInBindMap(const EventImage& bindingsEvent) {
  TraceLog(TRACE_INFO, "CRegisteredClient::ChangeInBindMap Entering %d", static_cast<int>(m_uiSessionId));
  if (Accepting()) {
    TraceLog(TRACE_INFO, "CRegisteredClient::NotifyClient Entering %d", static_cast<int>(m_uiSessionId));
    Queue(bindingsEvent);
  }
  TraceLog(TRACE_INFO, "CRegisteredClient::ChangeInBindMap Leaving %d", static_cast<int>(m_uiSessionId));
  return 0;
}

int32_t CRegisteredClient::Notify(uint32_t eventCode) {
  if (Accepting()) {
    CIdentEvent_Send event(eventCode, 0);
    NotifyClient(event);
  }
  return 0;
}

CRegisteredClient::EventImage CRegisteredClient::SerializeEvent(CIdentEvent_Send& event, uint32_t initialSize) {
  return SerializeImage([&event](CArchiveBuffer& ar) { return event.Serialize(ar); }, initialSize);
}

CRegisteredClient::EventImage CRegisteredClient::SerializeImage(const std::function<bool(CArchiveBuffer&)>& write,
                                                                uint32_t initialSize) {
  std::shared_ptr<CArchiveBuffer> archive(new (std::nothrow) CArchiveBuffer(CArchiveBuffer::STORING, initialSize));
  if (!archive || !archive->IsUsable()) {
    TraceLog(TRACE_ERR, "CRegisteredClient::NotifyClient Memory Allocation Error");
    return nullptr;
  }
  if (!write(*archive)) {
    TraceLog(TRACE_ERR, "CRegisteredClient::NotifyClient IdentEvent_Send.Serialize");
    return nullptr;
  }
  return archive;
}

int32_t CRegisteredClient::NotifyClient(CIdentEvent_Send& event) {
  TraceLog(TRACE_INFO, "CRegisteredClient::NotifyClient Entering %d", static_cast<int>(m_uiSessionId));
  EventImage image = SerializeEvent(event);
  if (!image) return -1;
  Queue(image);
  return 0;
}

void CRegisteredClient::Queue(const EventImage& event) {
  // The queue exists while the client is initialised, and only the
  // manager's event thread queues and uninitialises.
  std::unique_ptr<EventImage> item(new (std::nothrow) EventImage(event));
  const uint32_t code = EventCode(event);
  if (!item) {
    TraceLog(TRACE_ERR, "CRegisteredClient::NotifyClient Memory Allocation Error");
  } else if (m_pEventQueue && (code == CIdentEvent_Send::EVENT_TABLE_CHANGED ||
                               code == CIdentEvent_Send::EVENT_BINDINGS_CHANGED)) {
    // Each of these carries the whole table or the whole bindings, so a
    // newer one replaces an undelivered one where it waits: an application
    // slower than the changes gets the newest state, and its queue holds at
    // most one of each behind the last other event, however fast the VCIs
    // change. It never passes another event (an interface or Bluetooth
    // error): that would report the newer state ahead of the error that came
    // before it.
    typedef CEventQueue<EventImage> Queue;
    m_pEventQueue->PushOrAbsorb(std::move(item), [code](EventImage& waiting, const EventImage& newer) {
      const uint32_t waitingCode = EventCode(waiting);
      if (waitingCode == code) {
        waiting = newer;
        return Queue::TAKEN;
      }
      return waitingCode == CIdentEvent_Send::EVENT_TABLE_CHANGED ||
                     waitingCode == CIdentEvent_Send::EVENT_BINDINGS_CHANGED
                 ? Queue::PASS
                 : Queue::STOP;
    });
  } else if (m_pEventQueue) {
    m_pEventQueue->Push(std::move(item));
  }
  TraceLog(TRACE_INFO, "CRegisteredClient::NotifyClient Leaving %d", static_cast<int>(m_uiSessionId));
}

uint32_t CRegisteredClient::EventCode(const EventImage& event) {
  // Object id, version, event code.
  return event ? event->ContentWord(8) : 0;
}

void CRegisteredClient::ReportBroken(const char* line) {
  m_bLinkBroken = true;
  if (m_pEventSink == nullptr || IsTerminating()) return;
  TraceLog(TRACE_ERR, line, static_cast<int>(m_uiSessionId));
  m_pEventSink->OnIdentNotify(EVENT_LINK_BROKEN, m_uiSessionId);
}

void CRegisteredClient::NotifyThread() {
  TraceLog(TRACE_INFO, "CRegisteredClient::NotifyThread Entering %d", static_cast<int>(m_uiSessionId));
  CArchiveBuffer reply(CArchiveBuffer::LOADING, kArchiveSize);
  // The exchange writes the frame length into what it sends, so each event
  // goes out of this thread's own copy of the shared image; the archive
  // keeps its size from one event to the next.
  CArchiveBuffer request(CArchiveBuffer::STORING, kArchiveSize);
  // Events of a departure that found the connection broken.
  uint32_t undelivered = 0;
  for (;;) {
    reply.Rewind(CArchiveBuffer::LOADING);
    size_t remaining = 0;
    std::unique_ptr<EventImage> event = m_pEventQueue->Pop(remaining);
    if (!event) {
      // Pop returns nothing only once the queue is shut down.
      TraceLog(TRACE_ERR, "CRegisteredClient::NotifyThread Shutdown in process. Exiting Notify Thread");
      break;
    }
    if (!*event) {
      // The departure mark: what was queued before it has gone out.
      Leave(undelivered);
      break;
    }
    TraceLog(TRACE_INFO, "CRegisteredClient::NotifyThread Sending to client %d Queue Size = %ld",
             static_cast<int>(m_uiSessionId), static_cast<long>(remaining));
    {
      // Uninitialize cuts an exchange that it finds running; one that has
      // not begun when Uninitialize began does not begin. A client marked
      // terminating still gets what was queued for it: an unregistration
      // is followed by a departure, which delivers it, unless the link has
      // broken.
      CMutexLock lock(m_StateLock);
      if (m_bStopping) continue;
      if (m_bDeparting && m_bLinkBroken) {
        ++undelivered;
        continue;
      }
      m_bInExchange = true;
    }
    uint8_t* data = nullptr;
    uint32_t length = 0;
    (*event)->GetContent(data, length);
    request.Rewind(CArchiveBuffer::STORING);
    int iRet = -1;
    if (data != nullptr && request.WriteRaw(data, length))
      iRet = m_pEventSocket->SendRecv_ArchiveBuffer(request, reply, ACK_WAIT_MS);
    else
      TraceLog(TRACE_ERR, "CRegisteredClient::NotifyThread Memory Allocation Error");
    {
      CMutexLock lock(m_StateLock);
      m_bInExchange = false;
    }
    if (iRet != 0) {
      ReportBroken("CRegisteredClient::NotifyThread Client Connection Broken %d");
      continue;
    }
    CIdentEvent_Recv ack;
    if (!ack.Serialize(reply)) TraceLog(TRACE_ERR, "CRegisteredClient::NotifyThread IdentEvent_Recv.Serialize");
    TraceLog(TRACE_INFO, "CRegisteredClient::NotifyThread Client Notified %d", static_cast<int>(m_uiSessionId));
  }
  TraceLog(TRACE_INFO, "CRegisteredClient::NotifyThread Leaving %d", static_cast<int>(m_uiSessionId));
}

void CRegisteredClient::Run(uint32_t, uint32_t) {
  TraceLog(TRACE_INFO, "CRegisteredClient::Run Entering %d", static_cast<int>(m_uiSessionId));
  SignalStarted();
  try {
    // The connection's close (the application's FIN, a reset) and the stop
    // event; never its bytes, which belong to the exchanges. A change of
    // the machine's addresses is no reason to drop an application: a USB
    // VCI plugged in would otherwise drop every one of them.
    short revents;
    bool stopped;
    platform::WaitReady(m_EventFd, POLLRDHUP, m_StopEvent.Fd(), -1, revents, stopped);
    if (stopped) return;
    ReportBroken("CRegisteredClient::Run Client Connection Broken %d");
    TraceLog(TRACE_INFO, "CRegisteredClient::Run Leaving %d", static_cast<int>(m_uiSessionId));
  } catch (...) {
    TraceLog(TRACE_ERR, "CRegisteredClient::Run Exception %d", static_cast<int>(m_uiSessionId));
    TraceLog(TRACE_INFO, "CRegisteredClient::Run Leaving %d", static_cast<int>(m_uiSessionId));
  }
}
