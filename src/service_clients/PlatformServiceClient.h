// CPlatformServiceClient: the common base of the clients of a VCI's own TCP
// services (application service 9000, configuration service 9004). It holds
// the VCI's address and the local address to send from, opens a client
// socket for each query, and runs one request/reply exchange of archive
// messages, enciphered when the peer sends an enciphered reply.
//
// Lock order: a derived client's own lock, then m_Lock (this base), then the
// client socket's lock.
#pragma once

#include <cstdint>
#include <string>

#include <boost/thread/recursive_mutex.hpp>

#include "transport/ClientSocketEvent.h"

class CArchiveBuffer;
class CClientSocket;
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
  ~CPlatformServiceClient() override;
  CPlatformServiceClient(const CPlatformServiceClient&) = delete;
  CPlatformServiceClient& operator=(const CPlatformServiceClient&) = delete;

  // -1 when either text is null, else 0. The two key inputs are accepted and
  // not used: requests go out in clear and enciphered replies are deciphered
  // with the default key.
  int Initialize(const char* remoteAddress, const char* localAddress, uint32_t keyInput1, uint32_t keyInput2);
  // 0. The second argument is ignored.
  int SetTransportLogging(bool on, uint32_t unused = 0);
  // Creates the client socket for port (no connection yet: the exchange
  // connects and closes again). -1 when already connected or an address
  // text is empty; otherwise the client socket's Initialize code.
  int Connect(uint32_t port);
  // -1 when not connected; otherwise the socket's orderly Shutdown code.
  int Disconnect();

  // One exchange on the connected socket: 0, -1, a client socket error code,
  // or the reply's result code. timeoutMs 0 = computed from the request's
  // size (and raised to 10 s by the client socket).
  int SendRecv_ArchiveBuffer(CArchiveBuffer& requestArchive, CArchiveBuffer& replyArchive, CSerialize& request,
                             CResponse& reply, uint32_t timeoutMs);
  // The same exchange with the request given through a pointer (its log
  // lines carry the suffix "_1").
  int SendRecv_ArchiveBuffer(CArchiveBuffer& requestArchive, CArchiveBuffer& replyArchive, CSerialize* request,
                             CResponse& reply, uint32_t timeoutMs);

  // The reply wait for a request whose content holds contentLength bytes,
  // before the client socket's floor: length x 3 x 1000 / 500000 ms.
  static uint32_t ComputeReplyTimeout(uint32_t contentLength);

  bool OnErrorDetected(int code) override;

  bool IsConnected() const { return m_bConnected; }
  const std::string& GetRemoteAddress() const { return m_sRemoteAddress; }
  const std::string& GetLocalAddress() const { return m_sLocalAddress; }
  uint32_t GetPort() const { return m_uiPort; }

 protected:
  // The request pattern of every query (the caller holds its own lock and
  // has cleared reply): Connect (port); on success one exchange with fresh
  // 8192-byte archives and timeout 0; Disconnect whatever the exchange gave.
  // Returns Connect's failure or the exchange's result.
  int RunQuery(uint32_t port, CSerialize& request, CResponse& reply);

  // Where the client's error lines go: the runtime log, and (since this
  // service never sets the runtime log up, which would make a failing VCI
  // query invisible) the trace log as well. Tests override it to read them.
  virtual void WriteErrorLog(const char* line);

 private:
  int Exchange(bool bPointerVariant, CArchiveBuffer& requestArchive, CArchiveBuffer& replyArchive, CSerialize& request,
               CResponse& reply, uint32_t timeoutMs);
  void LogErrorf(const char* format, ...) __attribute__((format(printf, 2, 3)));

  boost::recursive_mutex m_Lock;
  // Guarded by m_Lock.
  bool m_bTransportLogging = false;
  bool m_bConnected = false;
  uint32_t m_uiKeyModifier = 0;
  uint32_t m_uiKeySelector = 0;
  CClientSocket* m_pClientSocket = nullptr;  // Owned.
  std::string m_sRemoteAddress;
  std::string m_sLocalAddress;
  uint32_t m_uiPort = 0;
  uint8_t m_ServiceVersion[SERVICE_VERSION_SIZE] = {};
};
