#include "transport/ControlServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

#include "host/ProductConfig.h"
#include "host/TraceLog.h"
#include "platform/Kernel.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"
#include "transport/ServerSocket.h"

namespace {

// As on every connection a server socket accepts.
const int kReceiveBufferSize = 1048576;
// Connections taken in one pass of the loop at most, so that a storm of
// connects does not keep the loop from the conversations it has.
const int kAcceptsPerPass = 64;
// The pause of accepting when the process has no descriptor to spare (each
// conversation that ends gives one back) or the listener wants the server
// to go on after a failure of the listening socket.
const int kAcceptPauseMs = 100;

uint32_t LittleEndianWord(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

struct CControlServer::CConversation {
  enum Step { READING, IN_WORK, WRITING, CLOSING };

  CConversation(SOCKET s, std::string remoteText, std::string localText, Clock::time_point end)
      : fd(s), remote(std::move(remoteText)), local(std::move(localText)), deadline(end) {}

  SOCKET fd;
  const std::string remote, local;
  Step step = READING;
  Clock::time_point deadline;
  Conversations::iterator self;  // stays valid as the node moves between the lists
  uint8_t length[4] = {0, 0, 0, 0};
  uint32_t frameLength = 0;  // 0 until its length word has come
  uint32_t got = 0;          // bytes of the frame received, length word included
  uint32_t sent = 0;         // bytes of the reply frame taken by the peer
  uint64_t requestCharge = 0, replyCharge = 0;  // drawn from the byte limits
  std::unique_ptr<CArchiveBuffer> request, reply;
  // Written by the worker, read by the poll thread after the hand-over.
  int result = 0;
  bool threw = false;
};

CControlServer::CControlServer(IServerEvent* pListener) : m_pListener(pListener) {}

CControlServer::~CControlServer() {
  if (m_Listen != INVALID_SOCKET) Shutdown();
}

void CControlServer::ReportError(const char* message) { ReportServerSocketError(*this, message); }

int CControlServer::Initialize(uint16_t port) {
  TraceLog(TRACE_INFO, "CControlServer::Initialize Entering");
  if (m_Listen != INVALID_SOCKET) return CServerSocket::SS_ERR_NOT_IDLE;
  char label[64];
  std::snprintf(label, sizeof label, "%s Port %d ", "ServerSocket", static_cast<int>(port));
  m_bTransportLog = OpenTransportLog(label) == 0;
  {
    CMutexLock lock(m_Lock);
    m_bStopping = false;
  }
  int iRet = 0;
  const int on = 1;
  struct sockaddr_in local {};
  socklen_t length = sizeof local;
  if (m_iHandedOver >= 0) {
    // A copy of its own, which Shutdown closes; the poll loop needs it
    // non-blocking, which does no harm to the service manager's copy.
    m_Listen = fcntl(m_iHandedOver, F_DUPFD_CLOEXEC, 0);
    if (m_Listen == INVALID_SOCKET || fcntl(m_Listen, F_SETFL, fcntl(m_Listen, F_GETFL) | O_NONBLOCK) != 0) {
      ReportError("ServerSocket:CreateSocket::socket()");
      iRet = CServerSocket::SS_ERR_CREATE;
    }
  } else {
    m_Listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (m_Listen == INVALID_SOCKET) {
      ReportError("ServerSocket:CreateSocket::socket()");
      iRet = CServerSocket::SS_ERR_CREATE;
    } else if (setsockopt(m_Listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
      ReportError("ServerSocket:Initialize:SO_REUSEADDR");
      iRet = CServerSocket::SS_ERR_REUSEADDR;
    }
  }
  if (iRet == 0 && m_iHandedOver < 0) {
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (m_sLocalAddress.empty())
      local.sin_addr.s_addr = htonl(INADDR_ANY);
    else
      inet_pton(AF_INET, m_sLocalAddress.c_str(), &local.sin_addr);
    // An address that is not there yet (an interface coming up) is waited
    // for, as a server socket does; any other failure is final.
    for (uint32_t attempts = std::max(1u, CProductConfig::GetInstance().GetMaxTcpPorts());
         bind(m_Listen, reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0;) {
      const int error = errno;
      if (error != EADDRNOTAVAIL || --attempts == 0) {
        if (GetSocketConsoleReports()) std::printf("Addr = %s\nport = %d\n", AddressText(local.sin_addr).c_str(), port);
        char message[64];
        std::snprintf(message, sizeof message, "Could not bind to socket m_socket = %X",
                      static_cast<unsigned>(m_Listen));
        errno = error;
        ReportError(message);
        TraceStartFailure("CControlServer::Initialize Cannot listen on %s:%d: %s", AddressText(local.sin_addr).c_str(),
                          static_cast<int>(port), std::strerror(error));
        iRet = CServerSocket::SS_ERR_BIND;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  if (iRet == 0 && getsockname(m_Listen, reinterpret_cast<struct sockaddr*>(&local), &length) == 0) {
    m_usPort = ntohs(local.sin_port);
    m_sAddressText = AddressText(local.sin_addr) + ":" + std::to_string(m_usPort);
  }
  if (iRet == 0) {
    // Conversations take at most half of the process's descriptors: the
    // registered clients, the announcement sockets and the detail fetches
    // need the rest.
    m_uiConversationCap = std::max(1u, std::min(m_Limits.uiConversations, RaiseDescriptorLimit() / 2));
    const uint32_t slots = std::max(m_Limits.uiWorkers, m_Limits.uiMaxWorkers);
    SizeSlots(slots);
    bool started = m_Wake.Create(0, slots);
    for (uint32_t i = 0; i < m_Limits.uiWorkers && started; ++i) started = StartWorker();
    m_bThreadStarted = false;
    if (!started || IThread::Start() != 0 || !m_bThreadStarted) {
      ReportError("Thread startup unsuccessful");
      iRet = CServerSocket::SS_ERR_THREAD;
    }
  }
  if (iRet != 0) EndAll();
  TraceLog(TRACE_INFO, "CControlServer::Initialize Leaving");
  return iRet;
}

int CControlServer::Shutdown() {
  TraceLog(TRACE_INFO, "CControlServer::Shutdown Entering");
  EndAll();
  TraceLog(TRACE_INFO, "CControlServer::Shutdown Leaving");
  return 0;
}

void CControlServer::EndAll() {
  {
    CMutexLock lock(m_Lock);
    m_bStopping = true;
    m_WorkReady.NotifyAll();
  }
  m_Wake.Release();
  // The poll thread cuts every conversation on its way out; the workers
  // finish the listener calls they are in.
  IThread::Stop();
  for (auto& worker : m_Workers)
    if (worker) worker->join();
  m_Workers.clear();
  CloseAll();
  {
    CMutexLock lock(m_Lock);
    m_Work.clear();
    m_Done.clear();
    m_uiWorkersAlive = m_uiWorkersIdle = 0;
  }
  m_InWork.clear();
  m_ullRequestBytes = m_ullReplyBytes = 0;
  if (m_Listen != INVALID_SOCKET && close(m_Listen) != 0) ReportError("~CServerSocket:close2(m_socket)");
  m_Listen = INVALID_SOCKET;
  m_Wake.Close();
}

void CControlServer::CloseAll() {
  for (Conversations* list : {&m_Reading, &m_InWork, &m_Replying})
    for (CConversation& c : *list) {
      if (c.fd == INVALID_SOCKET) continue;
      shutdown(c.fd, SHUT_RDWR);
      close(c.fd);
      c.fd = INVALID_SOCKET;
    }
  // Those with a worker stay until the workers have been joined.
  m_Reading.clear();
  m_Replying.clear();
}

// Without m_Lock: no worker runs yet that could look at the slots.
void CControlServer::SizeSlots(uint32_t slots) NO_THREAD_SAFETY_ANALYSIS {
  m_Workers.resize(slots);
  m_SlotEnded.assign(slots, false);
}

bool CControlServer::StartWorker() {
  size_t slot = m_Workers.size();
  std::unique_ptr<std::thread> ended;
  {
    CMutexLock lock(m_Lock);
    for (size_t i = 0; i < m_Workers.size() && slot == m_Workers.size(); ++i)
      if (!m_Workers[i] || m_SlotEnded[i]) slot = i;
    if (slot == m_Workers.size()) return false;
    ended = std::move(m_Workers[slot]);
    m_SlotEnded[slot] = false;
    ++m_uiWorkersAlive;
  }
  if (ended) ended->join();  // it has returned already
  try {
    m_Workers[slot].reset(new std::thread([this, slot] { Worker(slot); }));
  } catch (...) {
    CMutexLock lock(m_Lock);
    --m_uiWorkersAlive;
    m_SlotEnded[slot] = true;
    return false;
  }
  return true;
}

void CControlServer::Worker(size_t slot) {
  CUniqueLock lock(m_Lock);
  for (;;) {
    // The base workers wait for work; one beyond them ends when there is
    // none.
    while (m_Work.empty() && !m_bStopping && m_uiWorkersAlive <= m_Limits.uiWorkers) {
      ++m_uiWorkersIdle;
      m_WorkReady.Wait(m_Lock);
      --m_uiWorkersIdle;
    }
    if (m_bStopping || m_Work.empty()) break;
    CConversation* c = m_Work.front();
    m_Work.pop_front();
    lock.Unlock();
    c->reply.reset(new (std::nothrow) CArchiveBuffer(CArchiveBuffer::STORING));
    if (!c->reply || !c->reply->IsUsable()) {
      c->result = -1;
    } else {
      try {
        c->result = m_pListener->OnDataReceived(*c->request, *c->reply, c->remote, c->local);
      } catch (...) {
        std::printf("Exception Caught in CServerSocket::RunTCP\n");
        std::fflush(stdout);
        c->threw = true;
      }
    }
    lock.Lock();
    m_Done.push_back(c);
    m_Wake.Release();
  }
  --m_uiWorkersAlive;
  m_SlotEnded[slot] = true;
}

void CControlServer::Run(uint32_t, uint32_t) {
  if (listen(m_Listen, SOMAXCONN) != 0) {
    ReportError("ServerSocket:Run:listen");
    SignalStarted();
    return;
  }
  m_bThreadStarted = true;
  SignalStarted();
  std::vector<struct pollfd> fds;
  std::vector<Conversations::iterator> owners;
  for (;;) {
    // The wake-ups are taken before the answers they announce.
    while (m_Wake.TryAcquire()) {
    }
    std::vector<CConversation*> done;
    {
      CMutexLock lock(m_Lock);
      if (m_bStopping) break;
      done.swap(m_Done);
    }
    for (CConversation* c : done) Answer(c->self);
    Clock::time_point now = Clock::now();
    ExpireDeadlines(now);

    const size_t open = m_Reading.size() + m_InWork.size() + m_Replying.size();
    const bool accepting = now >= m_AcceptPausedUntil && (open < m_uiConversationCap || !m_Reading.empty());
    fds.assign({{m_Wake.Fd(), POLLIN, 0}, {accepting ? m_Listen : INVALID_SOCKET, POLLIN, 0}});
    owners.clear();
    for (Conversations* list : {&m_Reading, &m_Replying})
      for (auto it = list->begin(); it != list->end(); ++it) {
        const short events = it->step == CConversation::WRITING ? POLLOUT
                             : it->step == CConversation::CLOSING ? (POLLIN | POLLPRI)
                                                                  : POLLIN;
        fds.push_back({it->fd, events, 0});
        owners.push_back(it);
      }
    Clock::time_point next = Clock::time_point::max();
    if (!m_Reading.empty()) next = m_Reading.front().deadline;
    if (!m_Replying.empty()) next = std::min(next, m_Replying.front().deadline);
    if (now < m_AcceptPausedUntil) next = std::min(next, m_AcceptPausedUntil);
    int waitMs = -1;
    if (next != Clock::time_point::max())
      waitMs = static_cast<int>(std::min<int64_t>(
          INT_MAX, std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1));
    if (poll(fds.data(), fds.size(), waitMs) < 0) continue;

    // Each conversation's own events first: taking new connections may
    // close the oldest idle one, whose place in owners would then dangle.
    for (size_t i = 0; i < owners.size(); ++i) {
      const short revents = fds[i + 2].revents;
      if (revents == 0) continue;
      switch (owners[i]->step) {
        case CConversation::READING:
          Receive(owners[i]);
          break;
        case CConversation::WRITING:
          SendReply(owners[i]);
          break;
        default:
          AwaitClose(owners[i], revents);
          break;
      }
    }
    if (fds[1].revents != 0 && !AcceptAll()) {
      if (m_pListener->OnErrorDetected(-2)) break;
      m_AcceptPausedUntil = Clock::now() + std::chrono::milliseconds(kAcceptPauseMs);
    }
  }
  // Every peer sees its conversation end now, also one whose request a
  // worker still handles.
  CloseAll();
}

bool CControlServer::AcceptAll() {
  for (int n = 0; n < kAcceptsPerPass; ++n) {
    if (m_Reading.size() + m_InWork.size() + m_Replying.size() >= m_uiConversationCap) {
      // Every conversation has delivered its request: the next connection
      // waits in the backlog until one has ended.
      if (m_Reading.empty()) return true;
      uint64_t count = 0;
      if (m_CapLine.Due(count))
        TraceLog(TRACE_WARN,
                 "CControlServer::Run %u conversations open: the oldest that has not sent its request is closed "
                 "(%llu more since the last line)",
                 m_uiConversationCap, static_cast<unsigned long long>(count - 1));
      End(m_Reading.begin());
    }
    struct sockaddr_in remote {};
    socklen_t length = sizeof remote;
    SOCKET s = accept4(m_Listen, reinterpret_cast<struct sockaddr*>(&remote), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (s != INVALID_SOCKET) {
      Take(s, remote);
      continue;
    }
    switch (errno) {
      case EAGAIN:
        return true;
      // The trouble of one connection (gone before it was taken, a network
      // error on its way), not of the listening socket.
      case EINTR:
      case ECONNABORTED:
      case EPROTO:
      case EPERM:
      case ENETDOWN:
      case ENOPROTOOPT:
      case EHOSTDOWN:
      case ENONET:
      case EHOSTUNREACH:
      case EOPNOTSUPP:
      case ENETUNREACH:
        continue;
      case EMFILE:
      case ENFILE:
      case ENOBUFS:
      case ENOMEM: {
        uint64_t count = 0;
        if (m_AcceptLine.Due(count)) ReportError("m_AcceptSocket == SOCKET_ERROR");
        m_AcceptPausedUntil = Clock::now() + std::chrono::milliseconds(kAcceptPauseMs);
        return true;
      }
      default:
        ReportError("m_AcceptSocket == SOCKET_ERROR");
        return false;
    }
  }
  return true;
}

void CControlServer::Take(SOCKET s, const struct sockaddr_in& remote) {
  if (setsockopt(s, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferSize, sizeof kReceiveBufferSize) != 0) {
    ReportError("CServerSocket::Accept::setsockopt::SO_RCVBUF");
    close(s);
    return;
  }
  const int on = 1;
  if (setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    ReportError("ClientSocket:Initialize:TCP_NODELAY");
    close(s);
    return;
  }
  struct sockaddr_in local {};
  socklen_t length = sizeof local;
  std::string localText;
  if (getsockname(s, reinterpret_cast<struct sockaddr*>(&local), &length) == 0)
    localText = AddressText(local.sin_addr);
  else
    std::printf("Can't get socket name\n");
  const std::string remoteText = AddressText(remote.sin_addr);
  m_pListener->OnAccept(remoteText);
  m_Reading.emplace_back(s, remoteText, localText,
                         Clock::now() + std::chrono::milliseconds(m_Timeouts.uiRequestWaitMs));
  m_Reading.back().self = std::prev(m_Reading.end());
}

void CControlServer::Receive(Conversations::iterator it) {
  CConversation& c = *it;
  for (;;) {
    uint8_t* to = c.length + c.got;
    uint32_t want = 4 - std::min<uint32_t>(4, c.got);
    if (c.got >= 4) {
      uint32_t contentLength = 0;
      c.request->GetContent(to, contentLength);
      to += c.got - 4;
      want = c.frameLength - c.got;
    }
    if (want == 0) break;
    const ssize_t n = recv(c.fd, to, want, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n < 0) {
      ReportError("Recv Error");
      TraceLog(TRACE_INFO, c.got < 4 ? "RecvFromRemote::bTerminate = %d" : "RecvFromRemote::bTerminate_4 = %d", 0);
      End(it);
      return;
    }
    if (n == 0) {
      // The peer closed before its request was complete.
      if (c.got >= 4) TraceLog(TRACE_INFO, "RecvFromRemote_5::bTerminate = %d", 0);
      End(it, SHUT_WR, "SocketServer:Run:shutdown 1", "SocketServer:Run:closesocket");
      return;
    }
    c.got += static_cast<uint32_t>(n);
    if (c.got < 4 || c.frameLength != 0) continue;
    // The length is checked before anything is allocated for it.
    const uint32_t length = LittleEndianWord(c.length);
    const bool large = length > SMALL_FRAME;
    c.request.reset(new (std::nothrow) CArchiveBuffer(CArchiveBuffer::LOADING, 0));
    if (length < 4 || length > MAX_FRAME_LENGTH)
      errno = EMSGSIZE;
    else if (large && m_ullRequestBytes + length > m_Limits.uiRequestBytes)
      errno = ENOBUFS;
    else if (!c.request || !c.request->AllocateData(length - 4))
      errno = ENOMEM;
    else
      c.frameLength = length;
    if (c.frameLength == 0) {
      ReportError("Recv Error");
      TraceLog(TRACE_INFO, "RecvFromRemote_6::bTerminate = %d", 0);
      End(it);
      return;
    }
    c.requestCharge = large ? length : 0;
    m_ullRequestBytes += c.requestCharge;
  }
  if (m_bTransportLog) {
    const uint32_t id = c.request->ContentWord(0);
    TrnLog("SS::Receive ID = %d [%s]", static_cast<int>(id), GetObjectName(id));
  }
  Dispatch(it);
}

void CControlServer::Dispatch(Conversations::iterator it) {
  m_InWork.splice(m_InWork.end(), m_Reading, it);
  it->step = CConversation::IN_WORK;
  bool more;
  {
    CMutexLock lock(m_Lock);
    m_Work.push_back(&*it);
    m_WorkReady.NotifyOne();
    more = m_uiWorkersIdle < m_Work.size() && m_uiWorkersAlive < m_Workers.size();
  }
  if (more) StartWorker();
}

void CControlServer::Answer(Conversations::iterator it) {
  CConversation& c = *it;
  Release(c, true, false);
  if (c.threw) {
    End(it);
    return;
  }
  if (c.result != 0) {
    TraceLog(TRACE_INFO, "RecvFromRemote_7::bTerminate = %d", 0);
    End(it);
    return;
  }
  uint8_t* data = nullptr;
  uint32_t length = 0;
  c.reply->GetFrame(data, length);
  if (length > SMALL_REPLY) {
    if (m_ullReplyBytes + length > m_Limits.uiReplyBytes) {
      uint64_t count = 0;
      if (m_ReplyLine.Due(count))
        TraceLog(TRACE_WARN,
                 "CControlServer::Run Reply of %u bytes to %s dropped: %llu bytes of replies not yet taken, at most "
                 "%u (%llu more since the last line)",
                 length, c.remote.c_str(), static_cast<unsigned long long>(m_ullReplyBytes), m_Limits.uiReplyBytes,
                 static_cast<unsigned long long>(count - 1));
      End(it);
      return;
    }
    c.replyCharge = length;
    m_ullReplyBytes += length;
  }
  m_Replying.splice(m_Replying.end(), m_InWork, it);
  c.step = CConversation::WRITING;
  c.deadline = Clock::now() + std::chrono::milliseconds(m_Timeouts.uiReplyWaitMs);
  SendReply(it);
}

void CControlServer::SendReply(Conversations::iterator it) {
  CConversation& c = *it;
  uint8_t* data = nullptr;
  uint32_t length = 0;
  c.reply->GetFrame(data, length);
  while (c.sent < length) {
    const ssize_t n = send(c.fd, data + c.sent, length - c.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n < 0) {
      ReportError("CServerSocket:send 1");
      Fail(it);
      return;
    }
    c.sent += static_cast<uint32_t>(n);
  }
  if (m_bTransportLog) {
    const uint32_t id = c.reply->ContentWord(0);
    TrnLog("SS::Sending ID = %d [%s]", static_cast<int>(id), GetObjectName(id));
  }
  // Taken whole: its memory goes back before the wait for the close.
  Release(c, false, true);
  c.step = CConversation::CLOSING;
}

void CControlServer::AwaitClose(Conversations::iterator it, short revents) {
  bool failed = true;
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    // A reset shows as readable with a failing receive, as it does for select.
    char buffer[100];
    const ssize_t n = recv(it->fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n != 0) ReportError("WaitForRemoteShutdown:Recv");
    failed = n != 0;
  } else if (!(revents & POLLPRI)) {
    ReportError("Unknown condition returned from select call");
  }
  End(it, SHUT_WR, "WaitForRemoteShutdown:shutdown", "WaitForRemoteShutdown:closesocket");
  if (failed) TraceLog(TRACE_INFO, "RecvFromRemote_7::bTerminate = %d", 0);
}

void CControlServer::ExpireDeadlines(Clock::time_point now) {
  while (!m_Reading.empty() && m_Reading.front().deadline <= now) {
    const bool inLength = m_Reading.front().got < 4;
    errno = ETIMEDOUT;
    ReportError("Recv Error");
    TraceLog(TRACE_INFO, inLength ? "RecvFromRemote::bTerminate = %d" : "RecvFromRemote::bTerminate_4 = %d", 0);
    End(m_Reading.begin());
  }
  while (!m_Replying.empty() && m_Replying.front().deadline <= now) {
    const CConversation& c = m_Replying.front();
    errno = ETIMEDOUT;
    if (c.step == CConversation::CLOSING)
      ReportError("CServerSocket::Timeout waiting for remote shutdown");
    else
      ReportError(c.sent == 0 ? "CServerSocket:send 1" : "Wrong number of bytes sent");
    Fail(m_Replying.begin());
  }
}

void CControlServer::Fail(Conversations::iterator it) {
  End(it);
  TraceLog(TRACE_INFO, "RecvFromRemote_7::bTerminate = %d", 0);
}

void CControlServer::End(Conversations::iterator it, int how, const char* shutdownMessage, const char* closeMessage) {
  CConversation& c = *it;
  // A peer that has gone already (ENOTCONN) leaves nothing to shut down.
  if (shutdown(c.fd, how) != 0 && errno != ENOTCONN && shutdownMessage != nullptr) ReportError(shutdownMessage);
  if (close(c.fd) != 0 && closeMessage != nullptr) ReportError(closeMessage);
  Release(c, true, true);
  Conversations& list = c.step == CConversation::READING ? m_Reading
                        : c.step == CConversation::IN_WORK ? m_InWork
                                                           : m_Replying;
  list.erase(it);
}

void CControlServer::Release(CConversation& c, bool request, bool reply) {
  if (request) {
    m_ullRequestBytes -= c.requestCharge;
    c.requestCharge = 0;
    c.request.reset();
  }
  if (reply) {
    m_ullReplyBytes -= c.replyCharge;
    c.replyCharge = 0;
    c.reply.reset();
  }
}
