#include "transport/ClientSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "host/ServiceUtilities.h"
#include "platform/Mutex.h"
#include "platform/SocketError.h"
#include "platform/WaitReady.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"

namespace {

typedef CMutexLock<CRecursiveMutex> Guard;

bool SetNonBlocking(SOCKET s, bool on) {
  int flags = fcntl(s, F_GETFL, 0);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(s, F_SETFL, flags) == 0;
}

uint32_t FirstWord(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

int ClampMs(uint64_t ms) { return ms > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(ms); }

// The wait for the next piece of a frame: waitMs, cut to what is left until
// the deadline (0 once it has passed).
int PieceWaitMs(int waitMs, std::chrono::steady_clock::time_point deadline) {
  // Rounded up, so that a wait cut short by the deadline ends after it.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
  if (left <= 0) return 0;
  return left < waitMs ? static_cast<int>(left) : waitMs;
}

// The report of 9251, a reply that did not come in time, wherever in the
// reply the wait ran out.
const char kReceiveTimeout[] = "CliSkt::WaitForDataInd Timeout waiting for receive data: timeout = %d";

}  // namespace

CClientSocket::CClientSocket(bool bKeepConnection)
    : m_bKeepConnection(bKeepConnection) {
  // Without it an abort still ends every wait, at its next timeout.
  m_Abort.Create(0, UINT32_MAX);
}

CClientSocket::~CClientSocket() {
  if (m_Socket != INVALID_SOCKET) close(m_Socket);
}

void CClientSocket::ReportError(const char* message, bool bConsole) {
  const int code = WSAGetLastError();
  const auto& texts = GetSocketErrorTexts();
  auto it = texts.find(code);
  CServiceUtilities& log = CServiceUtilities::GetInstance();
  bConsole = bConsole && GetSocketConsoleReports();
  if (it != texts.end()) {
    log.WriteLog(CServiceUtilities::LOG_ERR, "%s [%s %s %d] [error code = %d, error string = %s]", message,
                 m_sRemoteAddress.c_str(), m_sLocalAddress.c_str(), static_cast<int>(m_uiPort), code,
                 it->second.c_str());
    if (bConsole) std::printf("%s: error code = %d, error string = %s\n", message, code, it->second.c_str());
  } else {
    log.WriteLog(CServiceUtilities::LOG_ERR, "%s [%s %s %d] [error code = %d]", message, m_sRemoteAddress.c_str(),
                 m_sLocalAddress.c_str(), static_cast<int>(m_uiPort), code);
    if (bConsole) std::printf("%s: error code = %d\n", message, code);
  }
  if (bConsole) std::fflush(stdout);
}

void CClientSocket::ReportErrorf(const char* format, ...) {
  const int saved = errno;
  char message[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  errno = saved;
  ReportError(message);
}

CClientSocket::WaitResult CClientSocket::WaitOnSocket(short events, int timeoutMs, short& revents) {
  revents = 0;
  if (m_Socket == INVALID_SOCKET) {
    errno = ENOTSOCK;
    return WAIT_FAILED;
  }
  if (IsAborting()) return WAIT_ABORTED;
  bool woke;
  const int ready = platform::WaitReady(m_Socket, events, m_Abort.Fd(), timeoutMs, revents, woke);
  if (ready < 0) return WAIT_FAILED;
  if (IsAborting()) return WAIT_ABORTED;
  if (ready == 0) {
    errno = ETIMEDOUT;
    return WAIT_TIMEOUT;
  }
  return WAIT_READY;
}

bool CClientSocket::SleepInterruptibly(int ms) {
  if (IsAborting()) return false;
  short revents;
  bool woke;
  platform::WaitReady(-1, 0, m_Abort.Fd(), ms, revents, woke);
  return !IsAborting();
}

void CClientSocket::SetTimeouts(const Timeouts& timeouts) {
  Guard lock(m_Lock);
  m_Timeouts = timeouts;
}

CClientSocket::Timeouts CClientSocket::GetTimeouts() const {
  Guard lock(m_Lock);
  return m_Timeouts;
}

uint64_t CClientSocket::TransferMs(uint32_t waitMs, uint64_t n) const {
  const uint64_t rate = m_Timeouts.uiMinRateBytesPerSec == 0 ? 1 : m_Timeouts.uiMinRateBytesPerSec;
  return waitMs + n * 1000 / rate;
}

void CClientSocket::ReportReceiveTimeout(uint64_t timeoutMs) {
  errno = ETIMEDOUT;
  ReportErrorf(kReceiveTimeout, ClampMs(timeoutMs));
}

int CClientSocket::CloseSocket() {
  int iRet = 0;
  if (m_Socket != INVALID_SOCKET) iRet = close(m_Socket);
  m_Socket = INVALID_SOCKET;
  return iRet;
}

int CClientSocket::Initialize(IClientSocketEvent* pListener, int type, const std::string& remoteAddress,
                              const std::string& localAddress, uint32_t port, bool bNonBlocking) {
  Guard lock(m_Lock);
  char label[128];
  std::snprintf(label, sizeof label, "%s %s Port %d ", "ClientSocket", remoteAddress.c_str(), static_cast<int>(port));
  m_bTransportLog = OpenTransportLog(label) == 0;

  const uint32_t state = GetState();
  int iRet = 0;
  if ((state != STATE_UNINITIALIZED && state != STATE_CLOSED) || remoteAddress.empty() || localAddress.empty() ||
      (type != SOCKTYPE_TCP && type != SOCKTYPE_UDP_BROADCAST && type != SOCKTYPE_UDP_MULTICAST)) {
    iRet = CS_ERR_INIT;
  } else {
    m_pListener = pListener;
    m_sRemoteAddress = remoteAddress;
    m_sLocalAddress = localAddress;
    m_uiPort = port;
    m_iType = type;
    m_bNonBlocking = bNonBlocking;
    iRet = CreateSocket(type);
    if (iRet == 0 && m_bKeepConnection && type == SOCKTYPE_TCP) iRet = Connect();
  }
  if (iRet != 0) {
    m_uiPort = 0;
    m_sRemoteAddress.clear();
    m_sLocalAddress.clear();
  }
  return iRet;
}

int CClientSocket::CreateSocket(int type) {
  Guard lock(m_Lock);
  const uint32_t state = GetState();
  if (state != STATE_UNINITIALIZED && state != STATE_CLOSED) return -1;
  CloseSocket();
  if (type == SOCKTYPE_TCP) {
    m_Socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  } else if (type == SOCKTYPE_UDP_BROADCAST || type == SOCKTYPE_UDP_MULTICAST) {
    m_Socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    m_bNonBlocking = true;
  }
  if (m_Socket == INVALID_SOCKET) {
    if (errno == 0) errno = EINVAL;
    ReportErrorf("CltSkt::CreateSocket Error Creating Socket Type %d", type);
    return CS_ERR_CREATE;
  }
  // A socket whose set-up fails is closed again: the state stays as it was.
  auto fail = [this](int code) REQUIRES(m_Lock) {
    CloseSocket();
    return code;
  };
  std::memset(&m_Destination, 0, sizeof m_Destination);
  m_Destination.sin_family = AF_INET;
  m_Destination.sin_port = htons(static_cast<uint16_t>(m_uiPort));
  if (type == SOCKTYPE_TCP || type == SOCKTYPE_UDP_BROADCAST)
    m_Destination.sin_addr.s_addr = inet_addr(m_sRemoteAddress.c_str());
  if (type == SOCKTYPE_UDP_BROADCAST) {
    const int on = 1;
    if (setsockopt(m_Socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
      ReportError("CltSkt::CreateSocket Error Setting Socket Option SO_BROADCAST");
      return fail(CS_ERR_BROADCAST);
    }
  }
  if (type == SOCKTYPE_UDP_MULTICAST) {
    const unsigned char ttl = 5;
    if (setsockopt(m_Socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
      ReportError("CltSkt::CreateSocket Error Setting Socket Option IP_MULTICAST_TTL");
      return fail(CS_ERR_MULTICAST_TTL);
    }
    struct in_addr interfaceAddr;
    interfaceAddr.s_addr = inet_addr(m_sRemoteAddress.c_str());
    const int ifResult = setsockopt(m_Socket, IPPROTO_IP, IP_MULTICAST_IF, &interfaceAddr, sizeof interfaceAddr);
    const int ifErrno = errno;
    inet_pton(AF_INET, VCI_MULTICAST_GROUP, &m_Destination.sin_addr);
    if (ifResult != 0) {
      errno = ifErrno;
      ReportError("CltSkt::CreateSocket Error Setting Socket Option IP_MULTICAST_IF");
      return fail(CS_ERR_MULTICAST_IF);
    }
  }
  if (type == SOCKTYPE_TCP) {
    const int size = 8192;
    int r = setsockopt(m_Socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    if (r != 0) {
      ReportError("CltSkt::CreateSocket Error Setting Socket Option SO_SNDBUF");
      return fail(r);
    }
  }
  struct sockaddr_in local {};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = inet_addr(m_sLocalAddress.c_str());
  local.sin_port = 0;
  if (bind(m_Socket, reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0) {
    ReportErrorf("CltSkt::CreateSocket Socket Bind Failed to Address %s", m_sLocalAddress.c_str());
    return fail(CS_ERR_BIND);
  }
  if (m_bNonBlocking && !SetNonBlocking(m_Socket, true)) {
    ReportError("CltSkt::Create Socket Unable to set socket to non-blocking mode");
    return fail(CS_ERR_NONBLOCKING);
  }
  m_uiState = STATE_CREATED;
  return 0;
}

int CClientSocket::Connect() {
  Guard lock(m_Lock);
  if (m_iType == SOCKTYPE_UDP_BROADCAST) return CS_ERR_CONNECT_BROADCAST;
  if (GetState() != STATE_CREATED) return CS_ERR_CONNECT_STATE;
  if (!m_bNonBlocking && !SetNonBlocking(m_Socket, true)) {
    ReportError("CltSkt::Connect Unable to set client to non-blocking mode");
    return CS_ERR_CONNECT_NONBLOCKING;
  }
  m_uiConnectCalls = 0;
  int attempts = CONNECT_ATTEMPTS;
  bool connected = false;
  while (!connected) {
    if (--attempts < 1) {
      ReportError("CliSkt::Connect Max connect Attempts Exceeded");
      return CS_ERR_CONNECT_ATTEMPTS;
    }
    ++m_uiConnectCalls;
    int r = connect(m_Socket, reinterpret_cast<struct sockaddr*>(&m_Destination), sizeof m_Destination);
    if (r == 0) break;
    if (r != SOCKET_ERROR) {
      ReportErrorf("CliSkt::Connect Unknown return code iRet = %d", r);
      return r;
    }
    const int error = WSAGetLastError();
    if (error == WSAEISCONN) break;  // an earlier attempt completed meanwhile
    if (error == WSAEADDRINUSE) {
      ReportError("CliSkt::Connect WSAEADDRINUSE");
      CloseSocket();
      m_uiState = STATE_UNINITIALIZED;
      int iRet = CreateSocket(SOCKTYPE_TCP);
      if (iRet != 0) return iRet;
      attempts = CONNECT_ATTEMPTS;
      continue;
    }
    if (error != WSAEWOULDBLOCK && error != WSAEINPROGRESS) continue;
    if (attempts < 10) {
      CServiceUtilities::GetInstance().WriteLog(CServiceUtilities::LOG_WARN,
                                                "CliSkt::Connect [%s][%d] sleeping iSockRet = %d, iConnectAttempts = %d",
                                                m_sRemoteAddress.c_str(), static_cast<int>(m_uiPort), error, attempts);
      if (!SleepInterruptibly(ClampMs(m_Timeouts.uiConnectPauseMs))) {
        errno = EINTR;
        return CS_ERR_CONNECT_TIMEOUT;
      }
    }
    short revents = 0;
    WaitResult w = WaitOnSocket(POLLOUT | POLLPRI, ClampMs(m_Timeouts.uiConnectWaitMs), revents);
    if (w == WAIT_FAILED) {
      ReportError("CliSkt::Connect Select Error");
      return CS_ERR_CONNECT_SELECT;
    }
    if (w == WAIT_TIMEOUT) {
      ReportError("CliSkt::Connect Select Timeout");
      return CS_ERR_CONNECT_TIMEOUT;
    }
    if (w == WAIT_ABORTED) return CS_ERR_CONNECT_TIMEOUT;
    int pending = 0;
    socklen_t length = sizeof pending;
    if (getsockopt(m_Socket, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) pending = errno;
    if (pending != 0) {
      // The failed connect: what select reports as an exception.
      errno = pending;
      if (WSAErrorFromErrno(pending) == WSAEADDRINUSE) {
        ReportError("CliSkt::Connect Select Exception Set WSAEADDRINUSE");
        CloseSocket();
        m_uiState = STATE_UNINITIALIZED;
        int iRet = CreateSocket(SOCKTYPE_TCP);
        if (iRet != 0) return iRet;
      } else {
        // Linux keeps a socket whose connect failed in the connecting state
        // and fails the next connect call with ECONNABORTED; dissolving the
        // association first lets the next attempt start afresh, as a
        // Windows socket does.
        struct sockaddr unspecified {};
        unspecified.sa_family = AF_UNSPEC;
        connect(m_Socket, &unspecified, sizeof unspecified);
        errno = pending;
      }
      continue;
    }
    if (revents & POLLOUT) {
      connected = true;
      break;
    }
    ReportError("CliSkt::Connect Unknown condition returned from select call");
    return CS_ERR_CONNECT_UNKNOWN;
  }
  if (!m_bNonBlocking && !SetNonBlocking(m_Socket, false)) {
    ReportError("CliSkt::Connect Error Setting Socket to blocking");
    return CS_ERR_CONNECT_BLOCKING;
  }
  const int on = 1;
  if (setsockopt(m_Socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    ReportError("CliSkt::Connect Error Setting Socket Option TCP_NODELAY");
    return -1;
  }
  m_uiState = STATE_CONNECTED;
  return 0;
}

int CClientSocket::WaitForDataInd(uint32_t timeoutMs) {
  Guard lock(m_Lock);
  const uint32_t effective = ReplyWaitMs(timeoutMs);
  const int waitMs = m_uiNoReplyTimeout.load() != 0 ? -1 : ClampMs(effective);
  short revents = 0;
  switch (WaitOnSocket(POLLIN | POLLPRI, waitMs, revents)) {
    case WAIT_FAILED:
      ReportError("CliSkt::WaitForDataInd Select Failed");
      return CS_ERR_WAIT_SELECT;
    case WAIT_TIMEOUT:
      ReportReceiveTimeout(effective);
      return CS_ERR_WAIT_TIMEOUT;
    case WAIT_ABORTED:
      // Shutdown from another thread ended the wait: no reply will come.
      return CS_ERR_WAIT_TIMEOUT;
    case WAIT_READY:
      break;
  }
  // A reset or a close reads as readable; the receive then tells which.
  if (revents & (POLLIN | POLLHUP | POLLERR)) return 0;
  if (revents & POLLPRI) {
    ReportError("CliSkt::WaitForDataInd Exception set");
    return CS_ERR_WAIT_EXCEPTION;
  }
  ReportError("CliSkt::WaitForDataInd Unknown condition returned from select call");
  return CS_ERR_WAIT_UNKNOWN;
}

int CClientSocket::WaitForWriteable(uint32_t timeoutMs) {
  Guard lock(m_Lock);
  const int waitMs = ClampMs(timeoutMs == 0 ? m_Timeouts.uiWriteableWaitMs : timeoutMs);
  short revents = 0;
  switch (WaitOnSocket(POLLOUT, waitMs, revents)) {
    case WAIT_FAILED:
      ReportError("CliSkt::WaitForWriteable Error Returned from select");
      return CS_ERR_WAIT_SELECT;
    case WAIT_TIMEOUT:
      ReportErrorf("CliSkt::WaitForWriteable Select Timeout = %d", waitMs);
      return CS_ERR_WAIT_TIMEOUT;
    case WAIT_ABORTED:
      return CS_ERR_WAIT_TIMEOUT;
    case WAIT_READY:
      break;
  }
  if (revents & POLLOUT) return 0;
  if (revents & (POLLERR | POLLHUP)) {
    ReportError("CliSkt::WaitForWriteable Exception set");
    return CS_ERR_WAIT_EXCEPTION;
  }
  ReportError("CliSkt::WaitForWriteable Unknown condition returned from select call");
  return CS_ERR_WAIT_UNKNOWN;
}

int CClientSocket::SendOnly_Bytes(const uint8_t* pData, uint32_t length) {
  Guard lock(m_Lock);
  if (pData == nullptr || length == 0) return CS_ERR_NO_DATA;
  if (m_iType == SOCKTYPE_TCP) {
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(TransferMs(m_Timeouts.uiWriteableWaitMs, length));
    int iRet = WaitForWriteable(m_Timeouts.uiWriteableWaitMs);
    if (iRet != 0) return iRet;
    uint32_t sent = 0;
    while (sent < length) {
      // Never MSG_DONTROUTE: Linux honours it and would refuse every VCI
      // behind a router. MSG_DONTWAIT: a peer that stops reading must meet
      // the writable wait below, not block the send (and the lock) for good.
      ssize_t n = send(m_Socket, pData + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) {
        sent += static_cast<uint32_t>(n);
        continue;
      }
      if (errno == EINTR) continue;
      const int error = WSAGetLastError();
      if (error != WSAEWOULDBLOCK && error != WSAEINPROGRESS) {
        ReportErrorf("CliSkt::SendOnly_Bytes Send Error%d", error);
        return -1;
      }
      const int waitMs = PieceWaitMs(ClampMs(m_Timeouts.uiWriteableWaitMs), deadline);
      if (waitMs == 0 || WaitForWriteable(static_cast<uint32_t>(waitMs)) != 0) {
        if (m_pListener != nullptr) m_pListener->OnErrorDetected(-2);
        ReportError("CliSkt::SendOnly_Bytes Timeout Waiting for Socket to become writeable");
        return CS_ERR_WRITEABLE_TIMEOUT;
      }
    }
    return 0;
  }
  if (m_iType == SOCKTYPE_UDP_BROADCAST || m_iType == SOCKTYPE_UDP_MULTICAST) {
    ssize_t n = sendto(m_Socket, pData, length, MSG_NOSIGNAL, reinterpret_cast<struct sockaddr*>(&m_Destination),
                       sizeof m_Destination);
    if (n < 0) {
      ReportError("CliSkt::SendOnly_Bytes sendto failed");
      return CS_ERR_SENDTO;
    }
    if (static_cast<uint32_t>(n) != length) {
      ReportErrorf("CliSkt::SendOnly_Bytes Wrong number of bytes sent iBytesSent = %d, should be %d",
                   static_cast<int>(n), static_cast<int>(length));
      return CS_ERR_SENDTO_SHORT;
    }
    return 0;
  }
  ReportError("CliSktSendOnly_Bytes Wrong Socket Type");
  return CS_ERR_WRONG_TYPE;
}

int CClientSocket::SendOnly_ArchiveBuffer(CArchiveBuffer& archive) {
  Guard lock(m_Lock);
  if (GetState() == STATE_UNINITIALIZED) return CS_ERR_SEND_UNINITIALIZED;
  int iRet = 0;
  if (GetState() == STATE_CLOSED) iRet = CreateSocket(m_iType);
  if (iRet == 0 && GetState() == STATE_CREATED && m_iType == SOCKTYPE_TCP) iRet = Connect();
  if (iRet != 0) return iRet;
  uint8_t* data = nullptr;
  uint32_t length = 0;
  archive.GetFrame(data, length);
  iRet = SendOnly_Bytes(data, length);
  if (iRet != 0) return iRet;
  if (m_iType == SOCKTYPE_TCP && !m_bKeepConnection) return _Shutdown(false);
  return 0;
}

// Never a blocking receive: the socket is in blocking mode after Connect,
// and a peer that stops in the middle of a frame, or keeps it going a byte
// at a time, must meet the waits below. Running out of either is a reply
// that did not come in time.
int CClientSocket::ReceiveExactly(uint8_t* pData, uint32_t n, int waitMs, Clock::time_point deadline,
                                  uint64_t timeoutMs, int errorCode, int shutdownCode, const char* errorMessage) {
  uint32_t got = 0;
  while (got < n) {
    ssize_t r = recv(m_Socket, pData + got, n - got, MSG_DONTWAIT);
    if (r > 0) {
      got += static_cast<uint32_t>(r);
      continue;
    }
    if (r == 0) {
      WSASetLastError(WSAEDISCON);
      ReportError("CliSkt::SendRecv_ArchiveBuffer Unexpected Socket Shutdown");
      return shutdownCode;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      ReportError(errorMessage);
      return errorCode;
    }
    short revents = 0;
    const int pieceMs = PieceWaitMs(waitMs, deadline);
    const WaitResult w = pieceMs == 0 ? WAIT_TIMEOUT : WaitOnSocket(POLLIN, pieceMs, revents);
    if (w == WAIT_READY) continue;
    if (w == WAIT_FAILED) {
      ReportError(errorMessage);
      return errorCode;
    }
    if (w == WAIT_TIMEOUT) ReportReceiveTimeout(timeoutMs);
    return CS_ERR_WAIT_TIMEOUT;
  }
  return 0;
}

int CClientSocket::SendRecv_ArchiveBuffer(CArchiveBuffer& request, CArchiveBuffer& reply, uint32_t timeoutMs) {
  Guard lock(m_Lock);
  uint8_t* frame = nullptr;
  uint32_t frameLength = 0;
  request.GetFrame(frame, frameLength);
  if (frame == nullptr || frameLength <= 4) return CS_ERR_EMPTY_FRAME;
  const uint32_t requestId = FirstWord(frame + 4);
  if (GetState() == STATE_UNINITIALIZED) return CS_ERR_SEND_UNINITIALIZED;

  int iRet = 0;
  if (GetState() == STATE_CLOSED) iRet = CreateSocket(m_iType);
  if (iRet == 0 && GetState() == STATE_CREATED && m_iType == SOCKTYPE_TCP) iRet = Connect();
  if (iRet != 0) return iRet;

  iRet = SendOnly_Bytes(frame, frameLength);
  if (iRet != 0) return iRet;
  if (m_bTransportLog) TrnLog("CS::Sending ID = %d [%s]", static_cast<int>(requestId), GetObjectName(requestId));

  iRet = WaitForDataInd(timeoutMs);
  if (iRet != 0) return iRet;
  // From its first byte on, the reply is bounded whatever the first wait
  // was: each piece within the reply wait, the whole frame within the reply
  // wait plus its length at the floor rate.
  const Clock::time_point begun = Clock::now();
  const uint32_t replyWaitMs = ReplyWaitMs(timeoutMs);
  const int waitMs = ClampMs(replyWaitMs);
  uint64_t boundMs = TransferMs(replyWaitMs, 4);

  uint8_t lengthBytes[4];
  iRet = ReceiveExactly(lengthBytes, 4, waitMs, begun + std::chrono::milliseconds(boundMs), boundMs,
                        CS_ERR_RECV_LENGTH, CS_ERR_RECV_LENGTH_SHUTDOWN,
                        "CliSkt::SendRecv_ArchiveBuffer Error during recv");
  if (iRet != 0) return iRet;
  const uint32_t length = FirstWord(lengthBytes);
  // The length is checked before anything is allocated for it.
  if (length < 4 || length > m_uiMaxReplyLength || !reply.AllocateData(length - 4)) {
    ReportErrorf("CliSkt::SendRecv_ArchiveBuffer AllocateData Error uiMsgSize = %d", static_cast<int>(length));
    return CS_ERR_ALLOCATE;
  }
  uint8_t* content = nullptr;
  uint32_t contentLength = 0;
  reply.GetContent(content, contentLength);
  if (contentLength == 0) {
    // The first receive of the content is made even when there is none: it
    // reads the peer's close.
    WSASetLastError(WSAEDISCON);
    ReportError("CliSkt::SendRecv_ArchiveBuffer Unexpected Socket Shutdown");
    return CS_ERR_RECV_CONTENT_SHUTDOWN;
  }
  boundMs = TransferMs(replyWaitMs, length);
  iRet = ReceiveExactly(content, contentLength, waitMs, begun + std::chrono::milliseconds(boundMs), boundMs,
                        CS_ERR_RECV_CONTENT, CS_ERR_RECV_CONTENT_SHUTDOWN,
                        "CliSkt::SendRecv_ArchiveBuffer Socket Error During recv");
  if (iRet != 0) return iRet;

  if (!reply.IsEncrypted()) reply.Rewind(CArchiveBuffer::LOADING);
  if (m_bTransportLog) {
    const uint32_t replyId = contentLength >= 4 ? FirstWord(content) : 0;
    TrnLog("CS::Receive ID = %d [%s]", static_cast<int>(replyId), GetObjectName(replyId));
  }
  if (m_iType == SOCKTYPE_TCP && !m_bKeepConnection) return _Shutdown(false);
  return 0;
}

int CClientSocket::_Shutdown(bool bNoWait) {
  Guard lock(m_Lock);
  m_uiState = STATE_SHUTTING_DOWN;
  int iRet = 0;
  if (shutdown(m_Socket, SHUT_WR) != 0) {
    ReportError("CliSkt::_Shutdown Error in shutdown");
    iRet = CS_ERR_SHUTDOWN;
  } else if (!bNoWait) {
    short revents = 0;
    switch (WaitOnSocket(POLLIN | POLLPRI, ClampMs(m_Timeouts.uiShutdownWaitMs), revents)) {
      case WAIT_FAILED:
        ReportError("CliSkt::_Shutdown Error in Select");
        iRet = CS_ERR_SHUTDOWN_SELECT;
        break;
      case WAIT_TIMEOUT:
        ReportErrorf("CliSkt::_Shutdown Timeout waiting for remote shutdown timeout = %d",
                     static_cast<int>(m_Timeouts.uiShutdownWaitMs));
        iRet = CS_ERR_SHUTDOWN_TIMEOUT;
        break;
      case WAIT_ABORTED:
        iRet = CS_ERR_SHUTDOWN_TIMEOUT;
        break;
      case WAIT_READY:
        if (revents & (POLLIN | POLLHUP | POLLERR)) {
          char buffer[10];
          ssize_t r = recv(m_Socket, buffer, sizeof buffer, MSG_DONTWAIT);
          if (r < 0) {
            ReportError("CliSkt::_Shutdown Error during recv");
            iRet = CS_ERR_SHUTDOWN_RECV;
          } else if (r > 0) {
            ReportErrorf("CliSkt::_Shutdown iBytesRecv != 0 %d", static_cast<int>(r));
            iRet = CS_ERR_SHUTDOWN_DATA;
          }
        } else if (revents & POLLPRI) {
          ReportError("CliSkt::_Shutdown Exception set during Select Call");
          iRet = CS_ERR_SHUTDOWN_EXCEPTION;
        } else {
          ReportError("CliSkt::_Shutdown Unknown condition returned from select call");
          iRet = CS_ERR_SHUTDOWN_UNKNOWN;
        }
        break;
    }
  }
  if (CloseSocket() != 0) ReportError("CliSkt::_Shutdown Error Closing Socket");
  m_uiState = STATE_CLOSED;
  return iRet;
}

int CClientSocket::Shutdown(int mode) {
  // Ends a wait of an exchange on another thread before taking the lock that
  // the exchange holds. Only this call's own share is withdrawn once the lock
  // is held: another Shutdown still waiting for the lock keeps every wait
  // from here on short, the orderly close below included.
  ++m_uiAbortsPending;
  m_Abort.Release();
  Guard lock(m_Lock);
  m_Abort.TryAcquire();
  --m_uiAbortsPending;
  int iRet = 0;
  if (mode == SHUTDOWN_ABORT) {
    if (m_Socket != INVALID_SOCKET && CloseSocket() != 0) {
      ReportError("CClientSocket::Shutdown:closesocket(): closesocket");
      iRet = CS_ERR_ABORT_CLOSE;
    }
  } else if (GetState() == STATE_CONNECTED) {
    iRet = _Shutdown(false);
  } else if (GetState() == STATE_CREATED) {
    if (CloseSocket() != 0) {
      ReportError("CClientSocket::Shutdown:closesocket(): closesocket");
      iRet = CS_ERR_CLOSE;
    }
  }
  CloseSocket();
  m_uiState = STATE_UNINITIALIZED;
  return iRet;
}
