#include "transport/ServerSocket.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "host/ProductConfig.h"
#include "host/TraceLog.h"
#include "platform/AdapterInfo.h"
#include "platform/SocketError.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"

namespace {

const int kReceiveBufferSize = 1048576;   // accepted connections
const int kMulticastSendBuffer = 1048576;  // second try of a failed join
// Datagram sockets: a burst of announcements (several thousand) waits here
// while the receive thread is off the processor.
const int kDatagramReceiveBuffer = 4 * 1048576;
const uint32_t kArchiveSize = 8192;
const uint32_t kMulticastBindAttempts = 100;

// The process-wide next automatic port, shared by all server sockets and
// touched only by Initialize.
CMutex g_AutomaticPortLock;
uint16_t g_usNextAutomaticPort GUARDED_BY(g_AutomaticPortLock) = CServerSocket::FIRST_AUTOMATIC_PORT;

// The name of the interface that carries the IPv4 address text, or "".
std::string InterfaceOfAddress(const std::string& address) {
  std::vector<CInterfaceAddress> list;
  if (GetInterfaceAddresses(list, SIZE_MAX) != ERROR_SUCCESS) return "";
  for (const CInterfaceAddress& entry : list)
    if (entry.AddressText == address) return entry.Name;
  return "";
}

}  // namespace

CServerSocket::CServerSocket(IServerEvent* pListener, bool bReply)
    : m_bReply(bReply), m_ErrorTexts(GetSocketErrorTexts()), m_pListener(pListener) {
  const uint32_t maxPorts = CProductConfig::GetInstance().GetMaxTcpPorts();
  m_usHighestAutomaticPort = static_cast<uint16_t>(std::min<uint32_t>(9005u + std::min<uint32_t>(maxPorts, 94u), 9099u));
  m_uiBindAttempts = maxPorts;
}

CServerSocket::~CServerSocket() {
  if (m_Socket != INVALID_SOCKET || m_AcceptSocket != INVALID_SOCKET) Shutdown();
}

void CServerSocket::SetLocalAddress(const std::string& address) { m_sLocalAddress = address; }

void CServerSocket::ReportError(const char* message) { ReportServerSocketError(*this, message); }

uint16_t CServerSocket::TakeAutomaticPort() {
  CMutexLock lock(g_AutomaticPortLock);
  const uint16_t port = g_usNextAutomaticPort;
  g_usNextAutomaticPort = static_cast<uint16_t>(port + 1);
  if (g_usNextAutomaticPort > m_usHighestAutomaticPort || g_usNextAutomaticPort < FIRST_AUTOMATIC_PORT)
    g_usNextAutomaticPort = FIRST_AUTOMATIC_PORT;
  return port;
}

int CServerSocket::CreateSocket() {
  switch (m_iType) {
    case SOCKTYPE_TCP:
      m_Socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
      break;
    case SOCKTYPE_UDP_BROADCAST:
      m_Socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
      break;
    case SOCKTYPE_UDP_RAW:
      m_Socket = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP);
      break;
    case SOCKTYPE_UDP_MULTICAST:
      m_Socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      break;
    default:
      m_Socket = INVALID_SOCKET;
      break;
  }
  if (m_Socket == INVALID_SOCKET) {
    ReportError("ServerSocket:CreateSocket::socket()");
    return SS_ERR_CREATE;
  }
  return 0;
}

void CServerSocket::CloseSocketReporting(const char* message) {
  if (m_Socket == INVALID_SOCKET) return;
  if (close(m_Socket) != 0) ReportError(message);
  m_Socket = INVALID_SOCKET;
}

int CServerSocket::JoinGroup() {
  struct ip_mreq request {};
  inet_pton(AF_INET, VCI_MULTICAST_GROUP, &request.imr_multiaddr);
  inet_pton(AF_INET, m_sInterfaceAddress.c_str(), &request.imr_interface);
  if (setsockopt(m_Socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0) return 0;
  ReportError("CServerSocket::setsockopt:IP_ADD_MEMBERSHIP");
  setsockopt(m_Socket, SOL_SOCKET, SO_SNDBUF, &kMulticastSendBuffer, sizeof kMulticastSendBuffer);
  ReportError("CServerSocket::setsockopt:IP_ADD_MEMBERSHIP");
  if (setsockopt(m_Socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0) return 0;
  return -1;
}

void CServerSocket::SetDatagramReceiveBuffer() {
  // SO_RCVBUF is capped at net.core.rmem_max (often 208 KiB) unless the
  // process may pass the cap (CAP_NET_ADMIN, SO_RCVBUFFORCE); what the
  // kernel granted is read back (it counts its bookkeeping too, about twice
  // the bytes asked) and logged.
  if (setsockopt(m_Socket, SOL_SOCKET, SO_RCVBUFFORCE, &kDatagramReceiveBuffer, sizeof kDatagramReceiveBuffer) != 0)
    setsockopt(m_Socket, SOL_SOCKET, SO_RCVBUF, &kDatagramReceiveBuffer, sizeof kDatagramReceiveBuffer);
  int granted = 0;
  socklen_t length = sizeof granted;
  getsockopt(m_Socket, SOL_SOCKET, SO_RCVBUF, &granted, &length);
  TraceLog(granted >= kDatagramReceiveBuffer ? TRACE_INFO : TRACE_WARN,
           "CServerSocket::Initialize Receive buffer of %d bytes for %s (%d asked; net.core.rmem_max caps it)", granted,
           m_sLocalAddress.c_str(), kDatagramReceiveBuffer);
}

int CServerSocket::Initialize(int type, uint16_t port, bool bKeepConnection) {
  TraceLog(TRACE_INFO, "CServerSocket::Initialize Entering");
  if (GetState() != STATE_IDLE || m_Socket != INVALID_SOCKET || type < SOCKTYPE_TCP || type > SOCKTYPE_UDP_MULTICAST) {
    TraceLog(TRACE_INFO, "CServerSocket::Initialize Leaving");
    return SS_ERR_NOT_IDLE;
  }
  char label[64];
  std::snprintf(label, sizeof label, "%s Port %d ", "ServerSocket", port);
  m_bTransportLog = OpenTransportLog(label) == 0;

  const bool bMulticast = type == SOCKTYPE_UDP_MULTICAST;
  // The ports of the VCI services reuse their address by design. Every TCP
  // listener does on Linux too: a Windows listener binds its port again
  // while connections it closed itself linger in TIME_WAIT, a Linux one only
  // with SO_REUSEADDR (which never lets two listeners share a port), and the
  // control server must be replaceable at once after it closed a
  // conversation. A multicast socket shares its port with every interface's.
  // An automatic port does without: two sockets that both reuse their
  // address may bind the same port, and the second's listen then fails
  // where its bind should have sent it on to the next port.
  const bool bAutomatic = port == 0 && !m_bSystemChosenPort;
  const bool bReuse =
      port == 8080 || (port >= 9000 && port <= 9005) || (type == SOCKTYPE_TCP && !bAutomatic) || bMulticast;
  if (bAutomatic) port = TakeAutomaticPort();
  m_iType = type;
  {
    CMutexLock socketLock(m_SocketLock);
    m_bStopping = false;
  }

  int iRet = CreateSocket();
  // Linux hands a group datagram only to sockets bound to the group (or the
  // wildcard), so a multicast socket binds 225.1.1.1 and keeps to its
  // interface through its membership and SO_BINDTODEVICE; its local address
  // text stays the interface address.
  m_sInterfaceAddress = bMulticast ? m_sLocalAddress : std::string();
  std::memset(&m_LocalAddr, 0, sizeof m_LocalAddr);
  m_LocalAddr.sin_family = AF_INET;
  if (bMulticast)
    inet_pton(AF_INET, VCI_MULTICAST_GROUP, &m_LocalAddr.sin_addr);
  else if (!m_sLocalAddress.empty())
    inet_pton(AF_INET, m_sLocalAddress.c_str(), &m_LocalAddr.sin_addr);
  else
    m_LocalAddr.sin_addr.s_addr = htonl(INADDR_ANY);

  // Options of a (re)created socket; 0 or an error code.
  auto configure = [&]() -> int {
    const int on = 1;
    if (type == SOCKTYPE_UDP_BROADCAST || type == SOCKTYPE_UDP_RAW) {
      if (setsockopt(m_Socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        ReportError("setsockopt SO_BROADCAST error");
        return SS_ERR_BROADCAST;
      }
    }
    if (bReuse) {
      if (setsockopt(m_Socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        ReportError("ServerSocket:Initialize:SO_REUSEADDR");
        return SS_ERR_REUSEADDR;
      }
    }
    if (type != SOCKTYPE_TCP) SetDatagramReceiveBuffer();
    if (bMulticast) {
      const int off = 0;
      setsockopt(m_Socket, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
      const std::string device = InterfaceOfAddress(m_sInterfaceAddress);
      if (!device.empty())
        setsockopt(m_Socket, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(), static_cast<socklen_t>(device.size()));
    }
    return 0;
  };
  if (iRet == 0) iRet = configure();

  if (iRet == 0) {
    uint32_t attempts = bMulticast ? kMulticastBindAttempts : m_uiBindAttempts;
    bool bound = false;
    while (attempts > 0 && !bound && iRet == 0) {
      m_LocalAddr.sin_port = htons(port);
      if (bind(m_Socket, reinterpret_cast<struct sockaddr*>(&m_LocalAddr), sizeof m_LocalAddr) == 0) {
        struct sockaddr_in chosen {};
        socklen_t length = sizeof chosen;
        if (port == 0 && getsockname(m_Socket, reinterpret_cast<struct sockaddr*>(&chosen), &length) == 0)
          port = ntohs(chosen.sin_port);
        bound = true;
        break;
      }
      const int error = WSAGetLastError();
      --attempts;
      if (bAutomatic) {
        port = TakeAutomaticPort();
      } else if (error == WSAEADDRNOTAVAIL) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (bMulticast && attempts > 0) {
          CloseSocketReporting("ServerSocket:Initialize:close");
          TraceLog(TRACE_INFO, "new socket created count = %u", attempts);
          iRet = CreateSocket();
          if (iRet == 0) iRet = configure();
        }
      }
    }
    if (iRet == 0 && !bound) {
      if (GetSocketConsoleReports()) {
        std::printf("Addr = %s\n", AddressText(m_LocalAddr.sin_addr).c_str());
        std::printf("port = %d\n", port);
      }
      char message[64];
      std::snprintf(message, sizeof message, "Could not bind to socket m_socket = %X", static_cast<unsigned>(m_Socket));
      ReportError(message);
      iRet = SS_ERR_BIND;
    }
  }

  if (iRet == 0 && bMulticast) iRet = JoinGroup();

  if (iRet == 0) {
    m_bKeepConnection = bKeepConnection;
    m_usPort = port;
    m_bThreadStarted = false;
    if (Start(0, 0) != 0 || !m_bThreadStarted) {
      ReportError("Thread startup unsuccessful");
      iRet = SS_ERR_THREAD;
    }
  }

  if (iRet != 0) {
    CloseSocketReporting("ServerSocket:Initialize:close");
    Stop();
    m_uiState = STATE_IDLE;
  }
  TraceLog(TRACE_INFO, "CServerSocket::Initialize Leaving");
  return iRet;
}

void CServerSocket::Run(uint32_t, uint32_t) {
  if (m_iType == SOCKTYPE_TCP && listen(m_Socket, SOMAXCONN) != 0) {
    ReportError("ServerSocket:Run:listen");
    SignalStarted();
    return;
  }
  SetState(STATE_LISTENING);
  m_bThreadStarted = true;
  SignalStarted();
  if (m_iType == SOCKTYPE_TCP)
    RunTCP();
  else
    RunUDP();
}

void CServerSocket::SetState(uint32_t state) {
  CMutexLock socketLock(m_SocketLock);
  if (!m_bStopping) m_uiState = state;
}

void CServerSocket::ReportUnlessStopping(const char* message) {
  if (!m_bStopping) ReportError(message);
}

IServerEvent* CServerSocket::Listener() {
  CMutexLock lock(m_Lock);
  return m_pListener;
}

bool CServerSocket::ErrorDetected(int code) {
  // The listener stays valid while this thread runs: Shutdown clears it and
  // then joins the thread before its owner can destroy it. Once Shutdown has
  // begun the thread only ends, without asking.
  IServerEvent* pListener = m_bStopping ? nullptr : Listener();
  if (pListener == nullptr) return true;
  return pListener->OnErrorDetected(code);
}

bool CServerSocket::CloseAccepted(int how, const char* shutdownMessage, const char* closeMessage) {
  CMutexLock socketLock(m_SocketLock);
  if (m_AcceptSocket == INVALID_SOCKET) return true;
  // A peer that has gone already (ENOTCONN) leaves nothing to shut down.
  if (shutdown(m_AcceptSocket, how) != 0 && errno != ENOTCONN && shutdownMessage != nullptr)
    ReportUnlessStopping(shutdownMessage);
  const bool closed = close(m_AcceptSocket) == 0;
  if (!closed && closeMessage != nullptr) ReportUnlessStopping(closeMessage);
  m_AcceptSocket = INVALID_SOCKET;
  return closed;
}

int CServerSocket::Accept() {
  if (m_AcceptSocket != INVALID_SOCKET) return -1;
  SetState(STATE_ACCEPTING);
  struct sockaddr_in remote {};
  socklen_t length = sizeof remote;
  SOCKET accepted = accept4(m_Socket, reinterpret_cast<struct sockaddr*>(&remote), &length, SOCK_CLOEXEC);
  const int error = errno;
  {
    // Either Shutdown's cut has happened (and the connection is not taken
    // on), or it will find the connection here and cut it too.
    CMutexLock socketLock(m_SocketLock);
    if (m_bStopping) {
      if (accepted != INVALID_SOCKET) close(accepted);
      m_uiState = STATE_IDLE;
      return SS_ERR_ACCEPT_SHUTDOWN;
    }
    m_AcceptSocket = accepted;
  }
  if (accepted == INVALID_SOCKET) {
    errno = error;
    ReportError("m_AcceptSocket == SOCKET_ERROR");
    return SS_ERR_ACCEPT;
  }
  m_sRemoteAddress = AddressText(remote.sin_addr);
  m_RequestDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_Timeouts.uiRequestWaitMs);

  if (setsockopt(accepted, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferSize, sizeof kReceiveBufferSize) != 0) {
    const int code = WSAGetLastError();
    ReportError("CServerSocket::Accept::setsockopt::SO_RCVBUF");
    return code;
  }
  struct sockaddr_in local {};
  socklen_t localLength = sizeof local;
  if (getsockname(accepted, reinterpret_cast<struct sockaddr*>(&local), &localLength) == 0)
    m_sLocalAddress = AddressText(local.sin_addr);
  else
    std::printf("Can't get socket name\n");
  const int on = 1;
  if (setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    ReportError("ClientSocket:Initialize:TCP_NODELAY");
    return -1;
  }
  // The reply's one send may block only this long on a peer that stops
  // reading; it then returns short (see Timeouts).
  const uint32_t sendMs =
      m_bKeepConnection ? m_Timeouts.uiSilentPeerMs : std::min(m_Timeouts.uiSilentPeerMs, m_Timeouts.uiReplySendMs);
  const struct timeval sendTimeout = {static_cast<time_t>(sendMs / 1000),
                                      static_cast<suseconds_t>((sendMs % 1000) * 1000)};
  setsockopt(accepted, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
  IServerEvent* pListener = Listener();
  if (pListener != nullptr && !m_bStopping) pListener->OnAccept(m_sRemoteAddress);
  SetState(STATE_CONNECTED);
  return 0;
}

// Outcomes: 0 with all n bytes; 8723 on a receive error (state receive
// error, reported unless the socket is being shut down); 0 with state remote
// closed when the peer closed (the connection is then closed here), or the
// close's error; 0 without a state change when Shutdown cut the receive.
// Silence of the peer for the silent-peer time is a receive error, and so
// is, without keep connection, a request not complete by its deadline.
int CServerSocket::ReceiveN(uint8_t* pData, uint32_t n) {
  uint32_t got = 0;
  while (got < n) {
    int64_t waitMs = m_Timeouts.uiSilentPeerMs;
    if (!m_bKeepConnection) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_RequestDeadline -
                                                                              std::chrono::steady_clock::now());
      waitMs = std::max<int64_t>(0, std::min<int64_t>(waitMs, left.count()));
    }
    struct pollfd pfd = {m_AcceptSocket, POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>(waitMs));
    if (ready < 0 && errno == EINTR) continue;
    ssize_t received = -1;
    if (ready == 0) {
      errno = ETIMEDOUT;
    } else if (ready > 0) {
      received = recv(m_AcceptSocket, pData + got, n - got, 0);
      if (received < 0 && errno == EINTR) continue;
    }
    if (m_bStopping) return received < 0 ? SS_ERR_RECV : 0;
    if (received < 0) {
      ReportError("Recv Error");
      SetState(STATE_RECV_ERROR);
      return SS_ERR_RECV;
    }
    if (received == 0) {
      const bool closed = CloseAccepted(SHUT_WR, "SocketServer:Run:shutdown 1", "SocketServer:Run:closesocket");
      SetState(STATE_REMOTE_CLOSED);
      return closed ? 0 : SS_ERR_CLOSE;
    }
    got += static_cast<uint32_t>(received);
  }
  return 0;
}

int CServerSocket::Send(CArchiveBuffer& reply) {
  uint8_t* data = nullptr;
  uint32_t length = 0;
  reply.GetFrame(data, length);
  ssize_t sent = send(m_AcceptSocket, data, length, MSG_NOSIGNAL);
  if (sent < 0) {
    ReportUnlessStopping("CServerSocket:send 1");
    return SS_ERR_SEND;
  }
  if (static_cast<uint32_t>(sent) != length) {
    ReportUnlessStopping("Wrong number of bytes sent");
    return -1;
  }
  return 0;
}

int CServerSocket::WaitForRemoteShutdown() {
  SetState(STATE_WAIT_REMOTE_SHUTDOWN);
  int iRet = 0;
  struct pollfd pfd = {m_AcceptSocket, POLLIN | POLLPRI, 0};
  int ready;
  do {
    ready = poll(&pfd, 1, static_cast<int>(m_Timeouts.uiRemoteShutdownWaitMs));
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) {
    ReportUnlessStopping("ClientSocket::select");
    iRet = SS_ERR_SELECT;
  } else if (ready == 0) {
    ReportUnlessStopping("CServerSocket::Timeout waiting for remote shutdown");
    iRet = SS_ERR_REMOTE_SHUTDOWN_TIMEOUT;
  } else if (pfd.revents & (POLLIN | POLLHUP | POLLERR)) {
    // A reset shows as readable with a failing receive, as it does for select.
    char buffer[100];
    ssize_t received = recv(m_AcceptSocket, buffer, sizeof buffer, 0);
    if (received < 0) {
      ReportUnlessStopping("WaitForRemoteShutdown:Recv");
      iRet = SS_ERR_WAIT_RECV;
    } else if (received > 0) {
      ReportUnlessStopping("WaitForRemoteShutdown:Recv");
      iRet = SS_ERR_WAIT_DATA;
    }
  } else if (pfd.revents & POLLPRI) {
    iRet = SS_ERR_SELECT_EXCEPTION;
  } else {
    ReportUnlessStopping("Unknown condition returned from select call");
    iRet = SS_ERR_SELECT_UNKNOWN;
  }
  CloseAccepted(SHUT_WR, "WaitForRemoteShutdown:shutdown", "WaitForRemoteShutdown:closesocket");
  SetState(STATE_LISTENING);
  return iRet;
}

void CServerSocket::RunTCP() {
  CArchiveBuffer request(CArchiveBuffer::LOADING, kArchiveSize);
  CArchiveBuffer reply(CArchiveBuffer::STORING, kArchiveSize);
  while (!m_bStopping) {
    if (m_AcceptSocket == INVALID_SOCKET) {
      int iRet = Accept();
      if (iRet == SS_ERR_ACCEPT_SHUTDOWN) return;
      if (iRet != 0) {
        if (ErrorDetected(-2)) return;
        continue;
      }
    }

    // The frame length, then the content. Each part ends the same way: an
    // error or a receive error asks the listener (-2), the peer's close asks
    // it (-1), a shutdown ends the thread.
    bool bFrame = true;
    uint8_t lengthBytes[4];
    for (int part = 0; part < 2 && bFrame; ++part) {
      int iRet = 0;
      if (part == 0) {
        iRet = ReceiveN(lengthBytes, 4);
      } else {
        const uint32_t length = static_cast<uint32_t>(lengthBytes[0]) | (static_cast<uint32_t>(lengthBytes[1]) << 8) |
                                (static_cast<uint32_t>(lengthBytes[2]) << 16) |
                                (static_cast<uint32_t>(lengthBytes[3]) << 24);
        request.Rewind(CArchiveBuffer::LOADING);
        // The length is checked before anything is allocated for it; a length
        // that cannot be received counts as a receive error.
        if (length < 4 || length > m_uiMaxFrameLength || !request.AllocateData(length - 4)) {
          errno = EMSGSIZE;
          ReportError("Recv Error");
          SetState(STATE_RECV_ERROR);
        } else {
          uint8_t* content = nullptr;
          uint32_t contentLength = 0;
          request.GetContent(content, contentLength);
          iRet = ReceiveN(content, contentLength);
        }
      }
      if (m_bStopping) return;
      const uint32_t state = GetState();
      if (iRet != 0 || state == STATE_RECV_ERROR) {
        // The connection is dropped, so that a listener answering false goes
        // back to accepting.
        CloseAccepted(SHUT_RDWR, nullptr, nullptr);
        bool bTerminate = ErrorDetected(-2);
        const char* line;
        if (iRet != 0)
          line = part == 0 ? "RecvFromRemote::bTerminate = %d" : "RecvFromRemote::bTerminate_4 = %d";
        else
          line = part == 0 ? "RecvFromRemote_3::bTerminate = %d" : "RecvFromRemote_6::bTerminate = %d";
        TraceLog(TRACE_INFO, line, bTerminate ? 1 : 0);
        if (bTerminate) return;
        bFrame = false;
      } else if (state == STATE_REMOTE_CLOSED) {
        SetState(STATE_LISTENING);
        bool bTerminate = ErrorDetected(-1);
        if (part == 1) TraceLog(TRACE_INFO, "RecvFromRemote_5::bTerminate = %d", bTerminate ? 1 : 0);
        if (bTerminate) return;
        bFrame = false;
      }
    }
    if (!bFrame) continue;

    if (m_bTransportLog) {
      const uint32_t id = request.ContentWord(0);
      TrnLog("SS::Receive ID = %d [%s]", static_cast<int>(id), GetObjectName(id));
    }

    int iRet = 0;
    {
      CMutexLock lock(m_Lock);
      if (m_pListener == nullptr || m_bStopping) return;
      reply.Rewind(CArchiveBuffer::STORING);
      try {
        iRet = m_pListener->OnDataReceived(request, reply, m_sRemoteAddress, m_sLocalAddress);
      } catch (...) {
        std::printf("Exception Caught in CServerSocket::RunTCP\n");
        std::fflush(stdout);
        continue;
      }
      if (iRet == 0) {
        bool bSent = true;
        if (m_bReply) {
          iRet = Send(reply);
          bSent = iRet == 0;
          if (bSent && m_bTransportLog) {
            const uint32_t id = reply.ContentWord(0);
            TrnLog("SS::Sending ID = %d [%s]", static_cast<int>(id), GetObjectName(id));
          }
        }
        if (bSent && !m_bKeepConnection) iRet = WaitForRemoteShutdown();
      }
    }
    if (iRet != 0) {
      bool bTerminate = ErrorDetected(-2);
      if (!m_bStopping) TraceLog(TRACE_INFO, "RecvFromRemote_7::bTerminate = %d", bTerminate ? 1 : 0);
      if (bTerminate) return;
    }
  }
}

void CServerSocket::RunUDP() {
  // One pair of archives serves every datagram of this thread: the request
  // is rewound over the same block (no allocation, no zero fill per
  // datagram), and the reply, which UDP never sends, only rewound.
  CArchiveBuffer request(CArchiveBuffer::LOADING, kArchiveSize);
  CArchiveBuffer reply(CArchiveBuffer::STORING, kArchiveSize);
  struct in_addr lastSender {};
  for (;;) {
    request.Rewind(CArchiveBuffer::LOADING);
    reply.Rewind(CArchiveBuffer::STORING);
    uint8_t* block = nullptr;
    uint32_t size = 0;
    request.GetFrame(block, size);
    struct sockaddr_in from {};
    socklen_t fromLength = sizeof from;
    ssize_t received = -1;
    if (block != nullptr) {
      do {
        fromLength = sizeof from;
        // MSG_TRUNC returns the datagram's real length, so that one longer
        // than the frame area is seen for what it is.
        received = recvfrom(m_Socket, block, size, MSG_TRUNC, reinterpret_cast<struct sockaddr*>(&from), &fromLength);
      } while (received < 0 && errno == EINTR);
    }

    CMutexLock lock(m_Lock);
    if (m_pListener == nullptr || m_bStopping) return;
    if (received < 0) {
      m_pListener->OnErrorDetected(-2);
      return;
    }
    // A datagram longer than the frame area is dropped and the socket goes
    // on: were it a receive error, any host of the LAN could silence an
    // interface with one packet until the interface went and came back.
    if (static_cast<size_t>(received) > size) {
      TraceLog(TRACE_WARN, "CServerSocket::RunUDP Datagram of %ld bytes from %s dropped: longer than %u",
               static_cast<long>(received), AddressText(from.sin_addr).c_str(), size);
      continue;
    }
    // An empty datagram carries nothing to hand on: it is dropped, so that
    // a stray zero-length packet cannot end the receive thread (Shutdown,
    // which also wakes the receive with 0 bytes, has set m_bStopping first).
    if (received == 0) continue;
    const uint32_t n = static_cast<uint32_t>(received);
    request.AllocateData(n >= 4 ? n - 4 : 0);
    // The sender's text is made again only when the sender changes.
    if (m_sRemoteAddress.empty() || from.sin_addr.s_addr != lastSender.s_addr) {
      m_sRemoteAddress = AddressText(from.sin_addr);
      lastSender = from.sin_addr;
    }
    int iRet;
    try {
      iRet = m_pListener->OnDataReceived(request, reply, m_sRemoteAddress, m_sLocalAddress);
    } catch (...) {
      std::printf("Exception Caught in CServerSocket::RunUDP\n");
      std::fflush(stdout);
      continue;
    }
    if (iRet != 0) {
      ReportError("recvfrom error");
      m_pListener->OnErrorDetected(-2);
      return;
    }
  }
}

int CServerSocket::Shutdown() {
  TraceLog(TRACE_INFO, "CServerSocket::Shutdown Entering");
  // First every wait on the network is cut short: a blocked accept, receive,
  // datagram receive, reply send or wait for the peer's close returns at
  // once. The descriptors stay open until the thread has been joined, so
  // that none changes owner under a call that still uses it.
  {
    CMutexLock socketLock(m_SocketLock);
    m_bStopping = true;
    if (m_AcceptSocket != INVALID_SOCKET && shutdown(m_AcceptSocket, SHUT_RDWR) != 0 && errno != ENOTCONN)
      ReportError("~CServerSocket:shutdown");
    if (m_Socket != INVALID_SOCKET) shutdown(m_Socket, SHUT_RDWR);
  }
  {
    // Waits for a listener call in progress, which holds m_Lock.
    CMutexLock lock(m_Lock);
    m_pListener = nullptr;
    if (m_iType == SOCKTYPE_UDP_MULTICAST && m_Socket != INVALID_SOCKET) {
      struct ip_mreq request {};
      inet_pton(AF_INET, VCI_MULTICAST_GROUP, &request.imr_multiaddr);
      inet_pton(AF_INET, m_sInterfaceAddress.c_str(), &request.imr_interface);
      if (setsockopt(m_Socket, IPPROTO_IP, IP_DROP_MEMBERSHIP, &request, sizeof request) != 0) {
        char message[160];
        std::snprintf(message, sizeof message, "Shutdown:IP_DROP_MEMBERSHIP Addr = %s, SocketState = %d, m_socket = %X",
                      m_sInterfaceAddress.c_str(), static_cast<int>(GetState()), static_cast<unsigned>(m_Socket));
        ReportError(message);
      }
    }
    // The receive thread changes the state no more once m_bStopping is set
    // (only an accept ended by the shutdown still makes it idle), so the
    // state that Shutdown leaves does not depend on how far it had come.
    CMutexLock socketLock(m_SocketLock);
    switch (GetState()) {
      case STATE_ACCEPTING:
      case STATE_CONNECTED:
        m_uiState = STATE_TERMINATING;
        break;
      case STATE_REMOTE_CLOSED:
      case STATE_RECV_ERROR:
      case STATE_LISTENING:
        m_uiState = STATE_IDLE;
        break;
      default:
        break;
    }
  }
  Stop();
  CloseAccepted(SHUT_RDWR, nullptr, nullptr);
  CloseSocketReporting("~CServerSocket:close2(m_socket)");
  TraceLog(TRACE_INFO, "CServerSocket::Shutdown Leaving");
  return 0;
}
