// CPlatformServiceClient: the common base of the clients of a VCI's own TCP
// services (application service 9000, configuration service 9004). It holds
// the VCI's address and the local address to send from, opens a client
// socket for each query, and runs one request/reply exchange of archive
// messages, enciphered when the peer sends an enciphered reply.
//
// Lock order: a derived client's own lock, then m_Lock (this base), then
// m_AbortLock, then the client socket's lock. Abort takes only m_AbortLock
// and the socket's lock, and the socket wakes its waits before it takes its
// own lock, so an abort never waits for the exchange it cuts short.
#pragma once

#include <cstdint>
#include <string>

#include "host/TraceLog.h"
#include "platform/Mutex.h"
#include "transport/ClientSocket.h"
#include "transport/ClientSocketEvent.h"

class CArchiveBuffer;
class CResponse;
class CSerialize;

class CPlatformServiceClient : public IClientSocketEvent {
 public:
  // Service ports on a VCI.
  enum : uint32_t { APP_SERVICE_PORT = 9000, SESSION_SERVICE_PORT = 9002, REPRO_SERVICE_PORT = 9003,
                    CFG_SERVICE_PORT = 9004 };
  // Size of the request and reply archives of one query.
  enum : uint32_t { ARCHIVE_SIZE = 8192 };
  // The service's version record (the answer of a service-version query,
  // which this service never asks).
  enum : uint32_t { SERVICE_VERSION_SIZE = 136 };

  CPlatformServiceClient();
  // Cuts short an exchange in progress on another thread (Abort), then waits
  // until it has left the object.
  ~CPlatformServiceClient() override;
  CPlatformServiceClient(const CPlatformServiceClient&) = delete;
  CPlatformServiceClient& operator=(const CPlatformServiceClient&) = delete;

  // -1 when either text is null, else 0. The two key inputs are accepted and
  // not used: requests go out in clear and enciphered replies are deciphered
  // with the default key.
  int Initialize(const char* remoteAddress, const char* localAddress, uint32_t keyInput1, uint32_t keyInput2);
  // 0. The second argument is ignored.
  int SetTransportLogging(bool on, uint32_t unused = 0);
  // The waits of the socket of every later query (CClientSocket::SetTimeouts):
  // the reply floor, the connect and send waits, and the orderly close after
  // the exchange, also after a failed one. For an owner that knows how soon
  // its VCI answers (a detail fetch need not wait the designed 10 s for a
  // VCI that has fallen silent). The designed values until set. 0.
  int SetSocketTimeouts(const CClientSocket::Timeouts& timeouts);
  // Creates the client socket for port (no connection yet: the exchange
  // connects and closes again). -1 when already connected, aborted or an
  // address text is empty; otherwise the client socket's Initialize code.
  int Connect(uint32_t port);
  // -1 when not connected; otherwise the socket's orderly Shutdown code.
  int Disconnect();

  // One exchange on the connected socket: 0, -1, a client socket error code,
  // or the reply's result code. timeoutMs 0 = computed from the request's
  // size (and raised to the socket's reply floor, 10 s unless set). An
  // exchange cut short by Abort returns -1.
  int SendRecv_ArchiveBuffer(CArchiveBuffer& requestArchive, CArchiveBuffer& replyArchive, CSerialize& request,
                             CResponse& reply, uint32_t timeoutMs);
  // The same exchange with the request given through a pointer (its log
  // lines carry the suffix "_1").
  int SendRecv_ArchiveBuffer(CArchiveBuffer& requestArchive, CArchiveBuffer& replyArchive, CSerialize* request,
                             CResponse& reply, uint32_t timeoutMs);

  // Callable from any thread, also while another thread runs a query: the
  // exchange in progress ends at once with -1, and every later Connect (so
  // every later query) fails with -1 without touching the network. For the
  // owner that has to stop a fetch from a VCI that has fallen silent. 0.
  int Abort();

  // The reply wait for a request whose content holds contentLength bytes,
  // before the client socket's floor: length x 3 x 1000 / 500000 ms.
  static uint32_t ComputeReplyTimeout(uint32_t contentLength);

  bool OnErrorDetected(int code) override;

  bool IsConnected() const;
  std::string GetRemoteAddress() const;

 protected:
  // One query of a derived client: holds ownLock (the derived client's own
  // lock) for the whole of it, clears reply, runs the request pattern, and
  // logs "<method> Entering" and "<method> Leaving".
  template <class TReply>
  int Query(CRecursiveMutex& ownLock, const char* method, uint32_t port, CSerialize& request, TReply& reply) {
    TraceLog(TRACE_INFO, "%s Entering", method);
    int iRet;
    {
      CMutexLock guard(ownLock);
      reply.Clear();
      iRet = RunQuery(port, request, reply);
    }
    // Nothing of this object is touched from here on: a destructor waiting
    // for ownLock may already have freed it.
    TraceLog(TRACE_INFO, "%s Leaving", method);
    return iRet;
  }

  // For the destructor of a derived client: Abort, then wait until the
  // query in progress, if any, has released ownLock.
  void AbortAndWaitFor(CRecursiveMutex& ownLock);

  // Where the client's error lines go: the runtime log (and from there the
  // trace log). Tests override it to read them.
  virtual void WriteErrorLog(const char* line);

 private:
  // The request pattern of every query: Connect (port); on success one
  // exchange with fresh 8192-byte archives and timeout 0; Disconnect
  // whatever the exchange gave. Returns Connect's failure or the exchange's
  // result. Requires the derived client's own lock held.
  int RunQuery(uint32_t port, CSerialize& request, CResponse& reply);
  // Takes m_Lock for the whole exchange.
  int Exchange(bool bPointerVariant, CArchiveBuffer& requestArchive, CArchiveBuffer& replyArchive, CSerialize& request,
               CResponse& reply, uint32_t timeoutMs);
  // Takes m_AbortLock.
  bool IsAborted();
  void LogErrorf(const char* format, ...) __attribute__((format(printf, 2, 3)));

  mutable CRecursiveMutex m_Lock;
  bool m_bTransportLogging GUARDED_BY(m_Lock) = false;
  bool m_bConnected GUARDED_BY(m_Lock) = false;
  uint32_t m_uiKeyModifier GUARDED_BY(m_Lock) = 0;
  uint32_t m_uiKeySelector GUARDED_BY(m_Lock) = 0;
  std::string m_sRemoteAddress GUARDED_BY(m_Lock);
  std::string m_sLocalAddress GUARDED_BY(m_Lock);
  // The service version record of the design; this service never asks for it.
  [[maybe_unused]] uint8_t m_ServiceVersion[SERVICE_VERSION_SIZE] GUARDED_BY(m_Lock) = {};
  CClientSocket::Timeouts m_SocketTimeouts GUARDED_BY(m_Lock);

  // Held by Abort while it shuts the socket down, so the socket cannot be
  // freed under it; never held across a wait of the exchange.
  CMutex m_AbortLock;
  // Owned. Written under m_Lock and m_AbortLock both, so read under either.
  CClientSocket* m_pClientSocket = nullptr;
  // Set once by Abort, never cleared.
  bool m_bAborted GUARDED_BY(m_AbortLock) = false;
};
