// CServerSocket: the receiving end of the conversations that the service
// does not start itself, but for the control port (CControlServer, which
// holds its conversations the same way, side by side). TCP: accept, read one
// archive frame, hand it to the listener, send its reply in one send, then
// wait for the peer to close (unless the connection is kept). UDP: hand every
// datagram to the listener. One receive thread per socket.
//
// Lock order: m_Lock before m_SocketLock. m_Lock is held for each listener
// call and its reply, so one socket never runs two listener calls at once.
// m_SocketLock is held only for moments (never over a wait): Shutdown takes
// it first, alone, to cut every wait on the network short, and only then
// waits for m_Lock, that is for a listener call in progress.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include "base/Thread.h"
#include "host/TransportLogger.h"
#include "platform/Mutex.h"
#include "transport/ServerEvent.h"
#include "transport/SocketTypes.h"

class CArchiveBuffer;

class CServerSocket : public IThread, public CTransportLogger {
 public:
  enum State : uint32_t {
    STATE_IDLE = 0,
    STATE_LISTENING = 2,
    STATE_ACCEPTING = 3,
    STATE_CONNECTED = 4,
    STATE_WAIT_REMOTE_SHUTDOWN = 5,
    STATE_REMOTE_CLOSED = 6,
    STATE_TERMINATING = 7,
    STATE_RECV_ERROR = 8,
  };

  enum : int {
    SS_ERR_NOT_IDLE = 8705,
    SS_ERR_CREATE = 8708,
    SS_ERR_BROADCAST = 8709,
    SS_ERR_BIND = 8710,
    SS_ERR_THREAD = 8718,
    SS_ERR_ACCEPT_SHUTDOWN = 8720,
    SS_ERR_RECV = 8723,
    SS_ERR_CLOSE = 8725,
    SS_ERR_SEND = 8726,
    SS_ERR_SELECT = 8728,
    SS_ERR_REMOTE_SHUTDOWN_TIMEOUT = 8729,
    SS_ERR_SELECT_EXCEPTION = 8730,
    SS_ERR_SELECT_UNKNOWN = 8731,
    SS_ERR_WAIT_RECV = 8732,
    SS_ERR_ACCEPT = 8733,
    SS_ERR_REUSEADDR = 8734,
    SS_ERR_WAIT_DATA = 8736,
  };

  // The first automatic port of the process-wide counter.
  enum : uint16_t { FIRST_AUTOMATIC_PORT = 9006 };
  enum : uint32_t { REMOTE_SHUTDOWN_WAIT_MS = 5000, SILENT_PEER_TIMEOUT_MS = 30000, REQUEST_WAIT_MS = 2000 };

  // The waits of a TCP conversation, per socket (ms).
  struct Timeouts {
    // How long the peer has to close after the reply.
    uint32_t uiRemoteShutdownWaitMs = REMOTE_SHUTDOWN_WAIT_MS;
    // A peer silent for this long, before or in the middle of a frame, makes
    // the receive a receive error, and one that takes nothing of a reply for
    // this long makes the send end short: a client that connects and sends
    // nothing, or stops reading, never holds the receive thread for good.
    uint32_t uiSilentPeerMs = SILENT_PEER_TIMEOUT_MS;
    // A conversation without keep connection (a VCI service's in vci-sim) has
    // this long from its accept to deliver its whole request, and the reply
    // send this long to be taken: such a server serves one conversation at a
    // time, so a peer that sends nothing, or a part, or stops reading holds
    // up every client behind it. The reply's bound stays below the
    // 10 s that an application waits for a reply.
    uint32_t uiRequestWaitMs = REQUEST_WAIT_MS;
    uint32_t uiReplySendMs = REMOTE_SHUTDOWN_WAIT_MS;
  };

  explicit CServerSocket(IServerEvent* pListener, bool bReply = true);
  ~CServerSocket() override;
  CServerSocket(const CServerSocket&) = delete;
  CServerSocket& operator=(const CServerSocket&) = delete;

  // The interface address to bind to (and, multicast, to join on). The owner
  // of a UDP socket calls it before Initialize.
  void SetLocalAddress(const std::string& address);
  // 0 on success or a server socket error code. port 0: an automatic port.
  int Initialize(int type, uint16_t port, bool bKeepConnection);
  // The designed waits unless changed; call before Initialize.
  void SetTimeouts(const Timeouts& timeouts) { m_Timeouts = timeouts; }
  // Port 0 then lets the system choose a free port (GetPort tells which)
  // instead of taking the next automatic port. For listeners of programs
  // other than the service (a client application's event port), where the
  // automatic ports would collide with the service's. Call before Initialize.
  void SetSystemChosenPort(bool on) { m_bSystemChosenPort = on; }
  const Timeouts& GetTimeouts() const { return m_Timeouts; }
  // The longest TCP frame taken (longer: a receive error, nothing
  // allocated); MAX_FRAME_LENGTH unless changed. Call before Initialize.
  void SetMaxFrameLength(uint32_t length) { m_uiMaxFrameLength = length; }
  // Closes everything and joins the receive thread; the listener is never
  // called again once this returns. Valid from every state. Every wait on
  // the network ends at once; a listener call in progress is waited for
  // (see IServerEvent for what that asks of the caller).
  int Shutdown();
  void Run(uint32_t uiArg1, uint32_t uiArg2) override;

  uint32_t GetState() const { return m_uiState.load(); }
  uint16_t GetPort() const { return m_usPort; }
  int GetType() const { return m_iType; }
  // The listening or receiving socket (invalid when none).
  SOCKET GetSocket() const { return m_Socket; }
  uint16_t GetHighestAutomaticPort() const { return m_usHighestAutomaticPort; }
  uint32_t GetBindAttempts() const { return m_uiBindAttempts; }

 private:
  int CreateSocket();
  void CloseSocketReporting(const char* message);
  int JoinGroup();
  // A receive buffer for bursts of datagrams, logged with what was granted.
  void SetDatagramReceiveBuffer();
  uint16_t TakeAutomaticPort();

  void RunTCP();
  void RunUDP();
  int Accept();
  int Send(CArchiveBuffer& reply);
  int WaitForRemoteShutdown() REQUIRES(m_Lock);
  // Receives exactly n bytes of the accepted connection (see the .cpp for
  // the outcomes).
  int ReceiveN(uint8_t* pData, uint32_t n);
  // Asks the listener; true (end the thread) when there is none any more or
  // Shutdown has begun.
  bool ErrorDetected(int code);
  IServerEvent* Listener() EXCLUDES(m_Lock);
  // Shuts the accepted connection down (how: SHUT_WR or SHUT_RDWR) and
  // closes it, reporting failures with the messages that are not null.
  // False when the close failed.
  bool CloseAccepted(int how, const char* shutdownMessage, const char* closeMessage);
  // The receive thread's state changes; none once Shutdown has begun.
  void SetState(uint32_t state);

  void ReportError(const char* message);
  // Failures that Shutdown's cut causes are no news.
  void ReportUnlessStopping(const char* message);

  // Constant after construction.
  const bool m_bReply;
  std::map<int, std::string> m_ErrorTexts;
  uint16_t m_usHighestAutomaticPort;
  uint32_t m_uiBindAttempts;
  // Set before Initialize; constant while the receive thread runs.
  Timeouts m_Timeouts;
  bool m_bSystemChosenPort = false;
  uint32_t m_uiMaxFrameLength = MAX_FRAME_LENGTH;

  // Set by Initialize before the receive thread starts; constant while it runs.
  SOCKET m_Socket = INVALID_SOCKET;
  bool m_bTransportLog = false;
  bool m_bKeepConnection = false;
  int m_iType = SOCKTYPE_NONE;
  struct sockaddr_in m_LocalAddr {};
  uint16_t m_usPort = 0;
  // Written by the receive thread before SignalStarted, read by Initialize after.
  bool m_bThreadStarted = false;

  CMutex m_Lock;
  IServerEvent* m_pListener GUARDED_BY(m_Lock);

  CMutex m_SocketLock;
  // Written by the receive thread (and by Shutdown after the join) under
  // m_SocketLock; the receive thread reads it without.
  SOCKET m_AcceptSocket = INVALID_SOCKET;
  // Set by Shutdown (cleared by Initialize) under m_SocketLock; read anywhere.
  std::atomic<bool> m_bStopping{false};

  // Used by the receive thread only.
  std::string m_sRemoteAddress;
  std::chrono::steady_clock::time_point m_RequestDeadline;

  // Written by SetLocalAddress (before Initialize) and by the receive thread
  // after an accept; read by the receive thread.
  std::string m_sLocalAddress;
  // The interface address of a multicast socket (its membership).
  std::string m_sInterfaceAddress;

  // Written by the receive thread through SetState and by Shutdown, both
  // under m_SocketLock; read anywhere.
  std::atomic<uint32_t> m_uiState{STATE_IDLE};
};
