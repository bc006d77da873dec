#include "service_clients/PlatformServiceClient.h"

#include <cstdarg>
#include <cstdio>
#include <new>

#include "host/ServiceUtilities.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/Serialize.h"
#include "transport/ClientSocket.h"
#include "transport/SocketTypes.h"

typedef CMutexLock<CRecursiveMutex> Guard;

CPlatformServiceClient::CPlatformServiceClient() = default;

CPlatformServiceClient::~CPlatformServiceClient() {
  Abort();
  Guard guard(m_Lock);
  delete m_pClientSocket;
}

int CPlatformServiceClient::Initialize(const char* remoteAddress, const char* localAddress, uint32_t keyInput1,
                                       uint32_t keyInput2) {
  (void)keyInput1;
  (void)keyInput2;
  if (remoteAddress == nullptr || localAddress == nullptr) return -1;
  Guard guard(m_Lock);
  m_sRemoteAddress = remoteAddress;
  m_sLocalAddress = localAddress;
  // Both zero: requests leave in clear and enciphered replies are read with
  // the default key, which is what every VCI service expects.
  m_uiKeyModifier = 0;
  m_uiKeySelector = 0;
  return 0;
}

int CPlatformServiceClient::SetTransportLogging(bool on, uint32_t unused) {
  (void)unused;
  Guard guard(m_Lock);
  m_bTransportLogging = on;
  return 0;
}

int CPlatformServiceClient::SetSocketTimeouts(const CClientSocket::Timeouts& timeouts) {
  Guard guard(m_Lock);
  m_SocketTimeouts = timeouts;
  return 0;
}

int CPlatformServiceClient::Connect(uint32_t port) {
  TraceLog(TRACE_INFO, "CPlatformServiceClient::Connect Entering");
  Guard guard(m_Lock);
  // Held while the socket is made: an Abort either comes first and is seen
  // here, or comes after and finds the socket to shut down. Initialize makes
  // no connection, so this never waits for the network.
  CMutexLock abortGuard(m_AbortLock);
  int iRet = -1;
  if (!m_bAborted && !m_bConnected && !m_sRemoteAddress.empty() && !m_sLocalAddress.empty()) {
    if (m_sRemoteAddress == "localhost") m_sRemoteAddress = "127.0.0.1";
    // Without keep connection the socket connects at the first exchange and
    // closes its connection after each one.
    CClientSocket* pSocket = new (std::nothrow) CClientSocket(false);
    if (pSocket) {
      pSocket->SetTimeouts(m_SocketTimeouts);
      iRet = pSocket->Initialize(this, SOCKTYPE_TCP, m_sRemoteAddress, m_sLocalAddress, port, false);
      if (iRet == 0) {
        m_pClientSocket = pSocket;
        m_bConnected = true;
      } else {
        delete pSocket;
      }
    }
  }
  TraceLog(TRACE_INFO, "CPlatformServiceClient::Connect Leaving");
  return iRet;
}

int CPlatformServiceClient::Disconnect() {
  TraceLog(TRACE_INFO, "CPlatformServiceClient::Disconnect Entering");
  Guard guard(m_Lock);
  int iRet = -1;
  if (m_bConnected && m_pClientSocket) {
    if (IsAborted()) {
      // The abort's own shutdown has ended (m_AbortLock was free): only the
      // closing is left, without waiting for a peer that may never answer.
      iRet = m_pClientSocket->Shutdown(CClientSocket::SHUTDOWN_ABORT);
    } else {
      // The orderly close of a connection that a failed exchange left open
      // waits for the peer; an Abort on another thread cuts it short.
      iRet = m_pClientSocket->Shutdown(0);
    }
    CClientSocket* pSocket = m_pClientSocket;
    {
      CMutexLock abortGuard(m_AbortLock);
      m_pClientSocket = nullptr;
    }
    delete pSocket;
    m_bConnected = false;
  }
  TraceLog(TRACE_INFO, "CPlatformServiceClient::Disconnect Leaving");
  return iRet;
}

int CPlatformServiceClient::Abort() {
  TraceLog(TRACE_INFO, "CPlatformServiceClient::Abort Entering");
  {
    CMutexLock abortGuard(m_AbortLock);
    m_bAborted = true;
    // The socket ends the wait of an exchange in progress before it takes
    // its own lock, which that exchange holds.
    if (m_pClientSocket) m_pClientSocket->Shutdown(CClientSocket::SHUTDOWN_ABORT);
  }
  TraceLog(TRACE_INFO, "CPlatformServiceClient::Abort Leaving");
  return 0;
}

void CPlatformServiceClient::AbortAndWaitFor(CRecursiveMutex& ownLock) {
  Abort();
  CMutexLock guard(ownLock);
}

bool CPlatformServiceClient::IsAborted() {
  CMutexLock abortGuard(m_AbortLock);
  return m_bAborted;
}

bool CPlatformServiceClient::IsConnected() const {
  Guard guard(m_Lock);
  return m_bConnected;
}

std::string CPlatformServiceClient::GetRemoteAddress() const {
  Guard guard(m_Lock);
  return m_sRemoteAddress;
}

uint32_t CPlatformServiceClient::ComputeReplyTimeout(uint32_t contentLength) {
  return static_cast<uint32_t>(static_cast<uint64_t>(contentLength) * 3u * 1000u / 500000u);
}

int CPlatformServiceClient::SendRecv_ArchiveBuffer(CArchiveBuffer& requestArchive, CArchiveBuffer& replyArchive,
                                                   CSerialize& request, CResponse& reply, uint32_t timeoutMs) {
  return Exchange(false, requestArchive, replyArchive, request, reply, timeoutMs);
}

int CPlatformServiceClient::SendRecv_ArchiveBuffer(CArchiveBuffer& requestArchive, CArchiveBuffer& replyArchive,
                                                   CSerialize* request, CResponse& reply, uint32_t timeoutMs) {
  if (request == nullptr) return -1;
  return Exchange(true, requestArchive, replyArchive, *request, reply, timeoutMs);
}

int CPlatformServiceClient::Exchange(bool bPointerVariant, CArchiveBuffer& requestArchive, CArchiveBuffer& replyArchive,
                                     CSerialize& request, CResponse& reply, uint32_t timeoutMs) {
  // The pointer variant names itself with "_1" and reports a failed
  // encipherment as a serialising error.
  const char* tag = bPointerVariant ? "PltClt::SendRecv_ArchiveBuffer_1" : "PltClt::SendRecv_ArchiveBuffer";
  Guard guard(m_Lock);
  if (m_pClientSocket == nullptr) return -1;

  requestArchive.Rewind(CArchiveBuffer::STORING);
  if (!request.Serialize(requestArchive)) {
    LogErrorf("%s Error Serializing Object", tag);
    return -1;
  }
  if (m_uiKeySelector != 0 && m_uiKeyModifier != 0 && !requestArchive.Encrypt(m_uiKeySelector, m_uiKeyModifier)) {
    LogErrorf(bPointerVariant ? "%s Error Serializing Object" : "%s Error Encrypting Object", tag);
    return -1;
  }
  if (timeoutMs == 0) timeoutMs = ComputeReplyTimeout(requestArchive.GetDataLength());
  if (m_bTransportLogging) m_pClientSocket->SetEcho(true);

  int iRet = m_pClientSocket->SendRecv_ArchiveBuffer(requestArchive, replyArchive, timeoutMs);
  if (iRet != 0) {
    // Cut short on purpose: whatever the socket made of it, no fault of the
    // VCI's to report.
    if (IsAborted()) return -1;
    LogErrorf("%s %d - ObjId = %d", tag, iRet, static_cast<int>(request.GetId()));
    return iRet;
  }
  if (replyArchive.IsEncrypted()) {
    if (!replyArchive.Decrypt(m_uiKeySelector, m_uiKeyModifier)) {
      LogErrorf("%s Error Decrypting Object", tag);
      return -1;
    }
    replyArchive.Rewind(CArchiveBuffer::LOADING);
  }
  if (!reply.Serialize(replyArchive)) {
    LogErrorf("%s Error Serializing Object", tag);
    return -1;
  }
  return reply.GetResult();
}

int CPlatformServiceClient::RunQuery(uint32_t port, CSerialize& request, CResponse& reply) {
  int iRet = Connect(port);
  if (iRet != 0) return iRet;
  CArchiveBuffer requestArchive(CArchiveBuffer::STORING, ARCHIVE_SIZE);
  CArchiveBuffer replyArchive(CArchiveBuffer::LOADING, ARCHIVE_SIZE);
  iRet = SendRecv_ArchiveBuffer(requestArchive, replyArchive, request, reply, 0);
  // The exchange's result stands; a failing close after it is only logged
  // by the socket.
  Disconnect();
  return iRet;
}

bool CPlatformServiceClient::OnErrorDetected(int code) {
  (void)code;
  return false;
}

void CPlatformServiceClient::WriteErrorLog(const char* line) {
  CServiceUtilities::GetInstance().WriteLog(CServiceUtilities::LOG_ERR, "%s", line);
}

void CPlatformServiceClient::LogErrorf(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  WriteErrorLog(line);
}
