// CClientSocket: the calling end of every conversation that the service
// starts (requests to a VCI's services, events to a registered client
// application). TCP: connect with a bounded number of attempts, send one
// frame, read one reply frame, close in order. Datagram types send each
// frame as one datagram to a broadcast or multicast destination.
//
// The recursive m_Lock makes each send, exchange and shutdown one
// indivisible step. Shutdown from another thread first cuts short any wait
// in progress (also the wait without limit of the no-reply-timeout option),
// so it never waits for an exchange that may never end. Every Shutdown
// counts as pending from before it takes m_Lock until it holds it, and
// every wait ends while any is pending: of two Shutdowns that overlap (an
// abort from another thread while the owner closes in order), the one that
// gets the lock first never waits out the other.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "host/TransportLogger.h"
#include "platform/AdapterInfo.h"
#include "platform/Mutex.h"
#include "transport/ClientSocketEvent.h"
#include "transport/SocketTypes.h"

class CArchiveBuffer;

class CClientSocket : public CTransportLogger {
 public:
  enum State : uint32_t {
    STATE_UNINITIALIZED = 0,
    STATE_CLOSED = 1,
    STATE_CREATED = 2,
    STATE_CONNECTED = 3,
    STATE_SHUTTING_DOWN = 4,
  };

  enum : int {
    CS_ERR_CREATE = 9216,
    CS_ERR_INIT = 9217,
    CS_ERR_ABORT_CLOSE = 9219,
    CS_ERR_CLOSE = 9220,
    CS_ERR_SHUTDOWN = 9221,
    CS_ERR_SHUTDOWN_SELECT = 9222,
    CS_ERR_SHUTDOWN_TIMEOUT = 9223,
    CS_ERR_SHUTDOWN_EXCEPTION = 9224,
    CS_ERR_SHUTDOWN_UNKNOWN = 9225,
    CS_ERR_SHUTDOWN_DATA = 9226,
    CS_ERR_BROADCAST = 9228,
    CS_ERR_MULTICAST_TTL = 9229,
    CS_ERR_MULTICAST_IF = 9230,
    CS_ERR_BIND = 9231,
    CS_ERR_NONBLOCKING = 9233,
    CS_ERR_CONNECT_BROADCAST = 9234,
    CS_ERR_CONNECT_STATE = 9235,
    CS_ERR_CONNECT_NONBLOCKING = 9236,
    CS_ERR_CONNECT_ATTEMPTS = 9237,
    CS_ERR_CONNECT_SELECT = 9238,
    CS_ERR_CONNECT_UNKNOWN = 9239,
    CS_ERR_CONNECT_TIMEOUT = 9240,
    CS_ERR_CONNECT_BLOCKING = 9242,
    CS_ERR_SEND_UNINITIALIZED = 9248,
    CS_ERR_EMPTY_FRAME = 9249,
    CS_ERR_WAIT_SELECT = 9250,
    CS_ERR_WAIT_TIMEOUT = 9251,
    CS_ERR_WAIT_EXCEPTION = 9252,
    CS_ERR_WAIT_UNKNOWN = 9253,
    CS_ERR_RECV_LENGTH = 9254,
    CS_ERR_RECV_LENGTH_SHUTDOWN = 9255,
    CS_ERR_ALLOCATE = 9256,
    CS_ERR_RECV_CONTENT = 9257,
    CS_ERR_RECV_CONTENT_SHUTDOWN = 9258,
    CS_ERR_NO_DATA = 9259,
    CS_ERR_WRITEABLE_TIMEOUT = 9260,
    CS_ERR_SENDTO = 9262,
    CS_ERR_SENDTO_SHORT = 9263,
    CS_ERR_WRONG_TYPE = 9264,
    CS_ERR_SHUTDOWN_RECV = 9266,
  };

  // Shutdown mode that closes at once, without the orderly close.
  enum : int { SHUTDOWN_ABORT = -2 };
  // Connect's attempt counter; at most CONNECT_ATTEMPTS - 1 connect calls.
  enum : int { CONNECT_ATTEMPTS = 20 };
  enum : uint32_t {
    CONNECT_SLEEP_MS = 250,
    CONNECT_WAIT_MS = 15000,
    MIN_REPLY_WAIT_MS = 10000,
    WRITEABLE_WAIT_MS = 10000,
    SHUTDOWN_WAIT_MS = 10000,
    // 64 KiB/s: the slowest link a VCI is reached over (a Bluetooth network
    // carries several times that) meets it with room to spare; the replies
    // of a VCI's services (a few KB) get a few milliseconds more than the
    // reply wait, the largest frame accepted (4 MiB) about a minute.
    MIN_TRANSFER_RATE = 64 * 1024,
  };

  // The waits of one socket (ms). Every socket starts with the designed
  // values; SetTimeouts changes them for this socket alone, for a peer known
  // to answer faster or slower (and for tests, which then wait out a few
  // milliseconds instead of the designed seconds). The log lines name the
  // value in force.
  struct Timeouts {
    // The pause before each of the last nine connect calls.
    uint32_t uiConnectPauseMs = CONNECT_SLEEP_MS;
    // How long one connect call may take to be answered (9240).
    uint32_t uiConnectWaitMs = CONNECT_WAIT_MS;
    // The least time a reply is waited for, whatever the caller asks (9251);
    // also the longest pause between the pieces of one reply frame.
    uint32_t uiReplyFloorMs = MIN_REPLY_WAIT_MS;
    // How long a send waits for room in the socket (9260), and the wait of
    // WaitForWriteable (0).
    uint32_t uiWriteableWaitMs = WRITEABLE_WAIT_MS;
    // How long the peer has to close after the exchange (9223).
    uint32_t uiShutdownWaitMs = SHUTDOWN_WAIT_MS;
    // The slowest a frame may travel (bytes per second; 0 counts as 1).
    // The waits above restart with every piece, so a peer that keeps a frame
    // going a byte at a time would hold the exchange for ever: a reply must
    // be complete uiReplyFloorMs plus its announced length at this rate after
    // its first byte (9251), a send uiWriteableWaitMs plus its length at this
    // rate after it began (9260). The first byte of a reply is still waited
    // for as the caller asks, without limit under the no-reply-timeout
    // option.
    uint32_t uiMinRateBytesPerSec = MIN_TRANSFER_RATE;
  };

  explicit CClientSocket(bool bKeepConnection);
  ~CClientSocket() override;
  CClientSocket(const CClientSocket&) = delete;
  CClientSocket& operator=(const CClientSocket&) = delete;

  int Initialize(IClientSocketEvent* pListener, int type, const std::string& remoteAddress,
                 const std::string& localAddress, uint32_t port, bool bNonBlocking);
  int CreateSocket(int type);
  int Connect();
  int SendOnly_Bytes(const uint8_t* pData, uint32_t length);
  int SendOnly_ArchiveBuffer(CArchiveBuffer& archive);
  // One request frame out, one reply frame into the empty reply archive. An
  // enciphered reply is left in storing mode for the caller to decipher.
  int SendRecv_ArchiveBuffer(CArchiveBuffer& request, CArchiveBuffer& reply, uint32_t timeoutMs);
  int WaitForDataInd(uint32_t timeoutMs);
  int WaitForWriteable(uint32_t timeoutMs);
  int _Shutdown(bool bNoWait);
  // SHUTDOWN_ABORT closes at once; any other mode closes in order. Back to
  // uninitialised.
  int Shutdown(int mode);

  // Call before Initialize, or between exchanges from the thread that runs
  // them.
  void SetTimeouts(const Timeouts& timeouts);
  Timeouts GetTimeouts() const;

  // The longest reply frame taken (longer: 9256, nothing allocated);
  // MAX_FRAME_LENGTH unless changed. Call before the exchange.
  void SetMaxReplyLength(uint32_t length) {
    CMutexLock lock(m_Lock);
    m_uiMaxReplyLength = length;
  }

  const std::string& GetRemoteAddress() const { return m_sRemoteAddress; }
  void SetNoReplyTimeout(uint32_t value) { m_uiNoReplyTimeout = value; }
  // The two reads below take no lock: the owner makes them between its own
  // calls, when no other thread changes the socket.
  SOCKET GetSocket() const NO_THREAD_SAFETY_ANALYSIS { return m_Socket; }
  uint32_t GetState() const { return m_uiState.load(); }
  // connect calls made by the last Connect (diagnostics).
  uint32_t GetConnectCalls() const NO_THREAD_SAFETY_ANALYSIS { return m_uiConnectCalls; }
  // Shutdown calls waiting for m_Lock (diagnostics).
  uint32_t GetAbortsPending() const { return m_uiAbortsPending.load(); }

 private:
  typedef std::chrono::steady_clock Clock;
  enum WaitResult { WAIT_READY, WAIT_TIMEOUT, WAIT_FAILED, WAIT_ABORTED };
  // Waits for events on the socket, or for an abort; revents gets what the
  // socket reported. timeoutMs < 0: no limit.
  WaitResult WaitOnSocket(short events, int timeoutMs, short& revents) REQUIRES(m_Lock);
  bool SleepInterruptibly(int ms);
  bool IsAborting() const { return m_uiAbortsPending.load() != 0; }
  // The caller's reply timeout raised to the floor.
  uint32_t ReplyWaitMs(uint32_t timeoutMs) const REQUIRES(m_Lock) {
    return timeoutMs < m_Timeouts.uiReplyFloorMs ? m_Timeouts.uiReplyFloorMs : timeoutMs;
  }
  // How long a frame of n bytes may take: waitMs plus n bytes at the
  // floor rate.
  uint64_t TransferMs(uint32_t waitMs, uint64_t n) const REQUIRES(m_Lock);
  int CloseSocket() REQUIRES(m_Lock);
  // Receives exactly n bytes, each piece within waitMs and all of them
  // before the deadline; timeoutMs is the bound the report names.
  int ReceiveExactly(uint8_t* pData, uint32_t n, int waitMs, Clock::time_point deadline, uint64_t timeoutMs,
                     int errorCode, int shutdownCode, const char* errorMessage) REQUIRES(m_Lock);
  void ReportReceiveTimeout(uint64_t timeoutMs) REQUIRES(m_Lock);
  void ReportError(const char* message, bool bConsole = true) REQUIRES(m_Lock);
  void ReportErrorf(const char* format, ...) __attribute__((format(printf, 2, 3))) REQUIRES(m_Lock);

  const bool m_bKeepConnection;
  mutable CRecursiveMutex m_Lock;
  // The pending Shutdown calls, twice: as a count, and as the count of a
  // semaphore that the waits poll. Each Shutdown raises the count, then the
  // semaphore, before it takes m_Lock, and lowers the semaphore, then the
  // count, once it holds it; so the semaphore is readable only while the
  // count is above zero, and a wait that begins after a Shutdown announced
  // itself sees the count.
  CWakeSemaphore m_Abort;
  std::atomic<uint32_t> m_uiAbortsPending{0};

  IClientSocketEvent* m_pListener GUARDED_BY(m_Lock) = nullptr;
  SOCKET m_Socket GUARDED_BY(m_Lock) = INVALID_SOCKET;
  int m_iType GUARDED_BY(m_Lock) = SOCKTYPE_NONE;
  std::atomic<uint32_t> m_uiState{STATE_UNINITIALIZED};
  struct sockaddr_in m_Destination GUARDED_BY(m_Lock) {};
  std::string m_sRemoteAddress GUARDED_BY(m_Lock);
  std::string m_sLocalAddress GUARDED_BY(m_Lock);
  uint32_t m_uiPort GUARDED_BY(m_Lock) = 0;
  bool m_bNonBlocking GUARDED_BY(m_Lock) = false;
  bool m_bTransportLog GUARDED_BY(m_Lock) = false;
  uint32_t m_uiConnectCalls GUARDED_BY(m_Lock) = 0;
  Timeouts m_Timeouts GUARDED_BY(m_Lock);
  uint32_t m_uiMaxReplyLength GUARDED_BY(m_Lock) = MAX_FRAME_LENGTH;

  std::atomic<uint32_t> m_uiNoReplyTimeout{0};
};
