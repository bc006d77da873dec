// CControlServer: the control port (TCP 8098), served so that no peer can
// hold it. Each connection carries one conversation as a server socket
// without keep connection holds it (CServerSocket): one request frame, its
// length checked before anything is allocated, the listener's reply in one
// frame, then the peer's close; each ends with the reports and trace lines
// that CServerSocket gives it. What differs is that conversations proceed
// side by side: one poll thread accepts, reads, writes and waits for every
// conversation without blocking, each under a deadline counted from its
// accept (the request) and from the listener's answer (the reply taken and
// the close), and a pool of workers runs OnDataReceived for the complete
// requests. A peer's error (a bad length, a request not complete in time, a
// reply not taken, no close) ends that conversation only; the listener
// hears nothing of it, since the server has nothing to repair. Only a
// failure of the listening socket itself is reported (OnErrorDetected (-2));
// the owner then replaces the server, and that is the one time the port
// refuses a connection while the service runs.
//
// Threads: the poll thread owns the conversations and every descriptor. A
// worker touches a conversation's archives and addresses only between its
// pop from m_Work and its push onto m_Done, while the poll thread leaves
// them alone. OnDataReceived may run on several workers at once, and runs
// without any lock of this class; OnAccept and OnErrorDetected run on the
// poll thread.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/Thread.h"
#include "host/RateLimit.h"
#include "host/TransportLogger.h"
#include "platform/AdapterInfo.h"
#include "platform/CondVar.h"
#include "platform/Mutex.h"
#include "transport/ServerEvent.h"
#include "transport/SocketTypes.h"

class CArchiveBuffer;

class CControlServer : public IThread, public CTransportLogger {
 public:
  enum : uint32_t { REQUEST_WAIT_MS = 2000, REPLY_WAIT_MS = 5000 };

  // The waits of every conversation (ms); per server, tests shorten them.
  struct Timeouts {
    // From the accept to the last byte of the request: a local application
    // sends its request at once, so a peer that sends nothing, or a part,
    // is gone from the port after this.
    uint32_t uiRequestWaitMs = REQUEST_WAIT_MS;
    // From the listener's answer to the peer's close: the reply taken and
    // the close seen, below the 10 s that an application waits for a reply.
    uint32_t uiReplyWaitMs = REPLY_WAIT_MS;
  };

  // What the peers of the port can make the server hold at once.
  struct Limits {
    // Open conversations, one descriptor each. Far above what the
    // applications of a PC hold (one each, for milliseconds), and within the
    // service's descriptor limit (LimitNOFILE in the unit). When it is
    // reached, the oldest conversation that has not delivered its request is
    // closed to make room: that is the one a peer leaves idle, never the one
    // of an application that just connected and sent its request.
    uint32_t uiConversations = 1024;
    // Workers that always run: a request takes milliseconds (the request
    // lock of the listener serialises most of them anyway).
    uint32_t uiWorkers = 4;
    // Workers at most. A listener call may wait for a peer (a registration
    // connects to the application's event port, for up to its connect
    // timeout); when every worker is busy, more are started, so that such
    // waits do not hold the requests behind them, up to the number of
    // registrations the service keeps (64) and the base pool. The extra ones
    // end when the queue is empty.
    uint32_t uiMaxWorkers = 68;
    // Bytes of request frames longer than SMALL_FRAME held at once: four of
    // the largest (4 MiB). Every request of an application is far below
    // SMALL_FRAME, and those are always taken; a larger frame is taken when
    // it fits in this, and is a receive error otherwise, so that peers
    // announcing large frames cannot make the service allocate a frame each.
    uint32_t uiRequestBytes = 16u << 20;
    // Bytes of replies longer than SMALL_REPLY held at once (a data-file
    // fetch answers with megabytes, a registration with the VCI table): a
    // data folder of a few megabytes twice over, which keeps the service
    // within 64 MB while peers fetch it and do not read. A reply that does
    // not fit is dropped: the conversation ends without it.
    uint32_t uiReplyBytes = 16u << 20;
  };
  enum : uint32_t { SMALL_FRAME = 8192, SMALL_REPLY = 65536 };

  explicit CControlServer(IServerEvent* pListener);
  ~CControlServer() override;
  CControlServer(const CControlServer&) = delete;
  CControlServer& operator=(const CControlServer&) = delete;

  // Call before Initialize.
  void SetLocalAddress(const std::string& address) { m_sLocalAddress = address; }
  // A listening socket to serve instead of binding one (the service
  // manager's, socket activation): the server listens on a copy of it and
  // leaves fd to the caller; the port and address are the socket's.
  void SetListenSocket(int fd) { m_iHandedOver = fd; }
  void SetTimeouts(const Timeouts& timeouts) { m_Timeouts = timeouts; }
  void SetLimits(const Limits& limits) { m_Limits = limits; }

  // Listens on the port (0: one the system chooses; GetPort tells which) at
  // the local address (every address when empty). 0, or the server socket's
  // codes: 8705 when not idle, 8708, 8734, 8710, 8718.
  int Initialize(uint16_t port);
  // Ends every conversation at once (a peer waiting for its reply sees the
  // close), waits for the listener calls in progress and joins every
  // thread; no listener call comes after it returns. Never waits on a peer.
  int Shutdown();
  void Run(uint32_t uiArg1, uint32_t uiArg2) override;

  uint16_t GetPort() const { return m_usPort; }
  // "127.0.0.1:8098", "0.0.0.0:8098": where it listens. After Initialize.
  std::string GetAddressText() const { return m_sAddressText; }

 private:
  struct CConversation;
  typedef std::list<CConversation> Conversations;
  typedef std::chrono::steady_clock Clock;

  // The poll thread's steps, each for one conversation.
  // Takes waiting connections; false when the listening socket failed.
  bool AcceptAll();
  void Take(SOCKET s, const struct sockaddr_in& remote);
  void Receive(Conversations::iterator it);
  // Hands a complete request to the workers.
  void Dispatch(Conversations::iterator it);
  // The listener has answered: the reply goes out (or the conversation ends).
  void Answer(Conversations::iterator it);
  void SendReply(Conversations::iterator it);
  void AwaitClose(Conversations::iterator it, short revents);
  void ExpireDeadlines(Clock::time_point now);
  // Ends a conversation whose reply phase failed, with its trace line.
  void Fail(Conversations::iterator it);
  // Shuts the connection down (how), closes it, reporting the failures whose
  // messages are given, and forgets the conversation.
  void End(Conversations::iterator it, int how = SHUT_RDWR, const char* shutdownMessage = nullptr,
           const char* closeMessage = nullptr);
  // Closes every connection; forgets the conversations no worker holds.
  void CloseAll();
  // Frees the conversation's request, reply or both, and gives their bytes
  // back to the limits.
  void Release(CConversation& c, bool request, bool reply);

  // A worker in a free slot; false when there is none or no thread.
  bool StartWorker();
  // Initialize's sizing of the worker slots, before any worker runs.
  void SizeSlots(uint32_t slots);
  void Worker(size_t slot);
  // Stops and joins every thread, closes every descriptor.
  void EndAll();
  void ReportError(const char* message);

  // Constant after construction, or set before Initialize.
  IServerEvent* const m_pListener;
  Timeouts m_Timeouts;
  Limits m_Limits;
  std::string m_sLocalAddress;
  int m_iHandedOver = -1;
  // Set by Initialize before the threads start.
  std::string m_sAddressText;
  SOCKET m_Listen = INVALID_SOCKET;
  uint16_t m_usPort = 0;
  bool m_bTransportLog = false;
  uint32_t m_uiConversationCap = 0;
  bool m_bThreadStarted = false;  // Written by the poll thread before SignalStarted.
  // Raised by the workers for each answer, to wake the poll thread.
  CWakeSemaphore m_Wake;

  // The poll thread only (and EndAll once it has been joined).
  Conversations m_Reading;   // in accept order, which is deadline order
  Conversations m_InWork;    // queued for a worker or with one
  Conversations m_Replying;  // in answer order, which is deadline order
  uint64_t m_ullRequestBytes = 0;
  uint64_t m_ullReplyBytes = 0;
  Clock::time_point m_AcceptPausedUntil;
  CRateLimit m_CapLine, m_ReplyLine, m_AcceptLine;
  // The workers by slot (sized by Initialize). A slot whose worker has
  // ended is joined when it is taken again, or by EndAll.
  std::vector<std::unique_ptr<std::thread>> m_Workers;

  CMutex m_Lock;
  CCondVar m_WorkReady;
  std::deque<CConversation*> m_Work GUARDED_BY(m_Lock);
  std::vector<CConversation*> m_Done GUARDED_BY(m_Lock);
  std::vector<bool> m_SlotEnded GUARDED_BY(m_Lock);
  uint32_t m_uiWorkersAlive GUARDED_BY(m_Lock) = 0;
  uint32_t m_uiWorkersIdle GUARDED_BY(m_Lock) = 0;
  bool m_bStopping GUARDED_BY(m_Lock) = false;
};
