// CClientConnectionMgr: the process-wide object through which local client
// applications use the service. It owns the control server (TCP 8098, one
// request per connection: register, unregister, Bluetooth command, data-file
// fetch), the discovery engine, one CRegisteredClient per registered
// application, and an event queue with a thread of its own that turns the
// engine's reports into events at every registered client. It repairs
// itself: a control server whose listening socket failed is replaced, a
// client whose connection broke is removed.
//
// Lock order: the request lock (m_RequestLock) before m_ConfigLock, and
// m_ConfigLock before m_ClientsLock; the request lock before m_PendingLock.
// The control server runs requests on several threads; the request lock is
// held for each request and for DisconnectClients, so requests take effect
// one at a time, in the designed order, except that a registration lets go of it while it connects to the
// application's event port (see Register). m_ClientsLock guards the map and
// the clients departing: under it a client is at most marked terminating,
// and every call that notifies a client is made without it, on a copy of
// the map. The copies stay valid because while the manager is initialised
// only the event thread deletes listed clients (a registration reaps only
// departed ones, which no copy holds), and DisconnectClients runs after
// Uninitialize has stopped that thread. The event thread never waits for an
// application: a removed client delivers what is queued for it and closes
// its connection on its own notify thread (see RemoveClient). m_PendingLock
// guards the registrations still connecting, which Uninitialize cuts short
// under it. m_ServerLock (the
// control server pointer) is never taken by a listener call, so the server
// may be shut down under it; m_QueueLock is held only for a push or for
// replacing the queue. m_ConfigLock makes each change of the run-time trace
// settings (a registration's, the last client's going, a reload) one step
// with the count of clients it depends on.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/EventQueue.h"
#include "base/Thread.h"
#include "client_service/ConnMgrEvent.h"
#include "discovery/IIdentEvent.h"
#include "discovery/VCIIdentClient.h"
#include "host/RateLimit.h"
#include "host/ServiceStatus.h"
#include "platform/Mutex.h"
#include "serialize/ArchiveBuffer.h"
#include "transport/ClientSocket.h"
#include "transport/ServerEvent.h"

class CRegisteredClient;
class CControlServer;

class CClientConnectionMgr : public IServerEvent, public IIdentEvent, public IThread {
 public:
  enum : uint16_t { CONTROL_PORT = 8098 };
  enum : uint32_t { FIRST_SESSION_ID = 0x4D2, FIRST_REGISTRATION_WAIT_MS = 2000 };
  // The longest client name a registration may carry; the name only labels
  // the client's log lines, and a longer one is refused as a failed
  // registration.
  enum : uint32_t { MAX_CLIENT_NAME = 256 };
  // How long a registration's connect to the application's event port may
  // take: the application is on this PC, or on a LAN that has just carried
  // its request.
  enum : uint32_t { EVENT_CONNECT_WAIT_MS = 2000 };
  // The registrations kept at once (and still connecting), in all and from
  // one address. Each costs two threads and three descriptors. Far above
  // the applications of a PC, which all register from 127.0.0.1, so the cap
  // per address leaves room for them beside another host's.
  struct RegistrationLimits {
    uint32_t uiTotal = 64;
    uint32_t uiPerAddress = 32;
  };
  // The build date when the compile date cannot be read.
  enum : uint32_t { UNKNOWN_BUILD_DATE = 27071500 };
  // Shows (true) or hides the main window; installed by the host, which owns
  // the window. Called on the event thread when the last client has gone and
  // the configuration changed meanwhile.
  typedef void (*ShowWindowHook)(bool show);

  // The manager the service runs, created on first use.
  static CClientConnectionMgr& GetInstance();
  // A separate instance (tests, benchmarks); the service uses GetInstance.
  CClientConnectionMgr();
  // Uninitializes and disconnects when the owner has not.
  ~CClientConnectionMgr() override;
  CClientConnectionMgr(const CClientConnectionMgr&) = delete;
  CClientConnectionMgr& operator=(const CClientConnectionMgr&) = delete;

  // Control server, event thread, discovery engine. 0; -1 when already
  // initialised, the registry key cannot be read or ControlAddress cannot
  // be listened on; otherwise the control server's or the engine's code.
  // Each failure that has no designed line is logged at ERR with its cause.
  // The control server listens on the socket that the service manager
  // handed over, when there is one (socket activation); otherwise it binds
  // CONTROL_PORT on ControlAddress. Main thread.
  int32_t Initialize();
  // Stops the control server, the engine and the event thread; registered
  // clients stay until DisconnectClients. 0. Main thread.
  int32_t Uninitialize();
  // Uninitialises and deletes every registered client; 0 or the last failure
  // of a client's Uninitialize. Takes the request lock.
  int32_t DisconnectClients();
  // Reads ident.ini again now, whatever its write time, when no application
  // is registered; otherwise marks it to be read when the last one has gone
  // (while applications are registered, the trace follows them). A line
  // either way. Any thread but a listener call's.
  void Reload();
  // For the service's start line: "brand KIVO (1), control port
  // 127.0.0.1:8098". Main thread.
  std::string Describe();

  // IServerEvent: one control request (see the .cpp for each), on one of
  // the control server's workers. 0 when handled, reply or not; -1 for a
  // request shorter than 4 bytes or while uninitialising, which ends that
  // conversation without a reply.
  int OnDataReceived(CArchiveBuffer& request, CArchiveBuffer& reply, const std::string& remoteAddress,
                     const std::string& localAddress) override;
  // The control server's listening socket failed: queues its replacement;
  // true (its thread ends).
  bool OnErrorDetected(int code) override;
  void OnAccept(const std::string& remoteAddress) override { (void)remoteAddress; }

  // IIdentEvent: the engine's reports, and a registered client's broken
  // link (type 1, value its session id). Queued for the event thread.
  void OnIdentNotify(uint32_t type, uint32_t value) override;
  void OnIdentUsb(uint32_t code) override;

  // IThread: the event thread, the queue's only consumer.
  void Run(uint32_t uiArg1, uint32_t uiArg2) override;

  static void SetShowWindowHook(ShowWindowHook hook);
  // The waits of the event connections of clients registered from now on:
  // the designed ones, with EVENT_CONNECT_WAIT_MS for the connect, unless
  // changed.
  void SetClientSocketTimeouts(const CClientSocket::Timeouts& timeouts);
  // For registrations from now on.
  void SetRegistrationLimits(const RegistrationLimits& limits);
  // The longest frame that carries the VCI table: MAX_TABLE_FRAME_LENGTH,
  // what an application takes, unless changed (tests).
  void SetTableFrameLimit(uint32_t bytes) { m_uiTableFrameLimit = bytes; }
  CVCIIdentClient& GetEngine() { return m_Engine; }

  // The version number (one byte per part of ProductVersion) and the build
  // date (year, month and day in the three upper bytes) from the program's
  // version resource. False when a query failed; the outputs then hold
  // what was read before it (both start at 0).
  static bool ReadVersionResource(uint32_t& versionNumber, uint32_t& buildDate);

 private:
  typedef std::map<uint32_t, std::unique_ptr<CRegisteredClient>> OwnedClients;
  // A copy of the map to notify through, made under m_ClientsLock.
  typedef std::map<uint32_t, CRegisteredClient*> ClientMap;

  // The requests, each under the request lock. False when the request
  // could not be read (no reply then).
  bool Register(CArchiveBuffer& request, CArchiveBuffer& reply, const std::string& remoteAddress,
                const std::string& localAddress) REQUIRES(m_RequestLock);
  // Whether a registration may go on: its name within MAX_CLIENT_NAME and
  // room for it under the caps beside the clients kept and the
  // registrations connecting; from then on it counts as connecting. A
  // refusal is logged, rate-limited.
  bool Admit(const std::string& name, const std::string& address, CRegisteredClient* client) REQUIRES(m_RequestLock);
  // The registration's connect has returned: it counts as connecting no
  // more.
  void Connected(CRegisteredClient* client) REQUIRES(m_RequestLock);
  // Cuts the connects of registrations in progress, and refuses new ones
  // until Uninitialize has stopped the control server (refuse false).
  void CutRegistrations(bool refuse);
  bool Unregister(CArchiveBuffer& request, CArchiveBuffer& reply) REQUIRES(m_RequestLock);
  bool BluetoothRequest(CArchiveBuffer& request, CArchiveBuffer& reply) REQUIRES(m_RequestLock);
  void DataFileRequest(CArchiveBuffer& request, CArchiveBuffer& reply) REQUIRES(m_RequestLock);
  // Writes into ar, with write, a frame that carries table (a table event, a
  // registration's reply). While it is longer than an application takes
  // (SetTableFrameLimit), the largest VCI records leave table and it is
  // written again, with a line (limited by line) naming where (the
  // caller's function). False when write fails.
  bool WriteTableFrame(CArchiveBuffer& ar, CVCIStatusMap& table, const std::function<bool(CArchiveBuffer&)>& write,
                       CRateLimit& line, const char* where);
  int32_t BtCommand(uint32_t serialNumber, uint32_t sessionId, uint32_t command);

  // The event thread's handling of one event.
  void RemoveClient(uint32_t sessionId);
  // Uninitialises and deletes the departing clients that have departed
  // (nothing waits). The event thread, or a registration under the request
  // lock: each takes its own out of the list.
  void ReapDeparted();
  void UninitializeRemoved(CRegisteredClient& client, int mode);
  void NotifyClients(uint32_t mask);
  void ReplaceControlServer();

  // A new control server on CONTROL_PORT (on m_sControlAddress when set),
  // or on the handed-over socket; 0 or its code.
  int32_t StartControlServer() REQUIRES(m_ServerLock);
  // CheckForChanges, or with always a reload whatever the file's time; the
  // saved trace settings follow what was read, and the window is shown or
  // hidden. No client may be registered.
  void TakeInConfiguration(bool always) REQUIRES(m_ConfigLock);
  // "3 VCIs, 1 application registered".
  std::string StatusText();
  // Shuts down and deletes the control server, the event queue and thread,
  // and the engine, whatever an earlier Initialize left of them.
  void StopAll();
  // False (and the event dropped, logged with the caller's line) when there
  // is no queue or no memory.
  bool Queue(uint32_t type, uint32_t sessionId, uint32_t value, const char* failureLine);
  ClientMap CopyClients();
  void DrawInstanceToken() REQUIRES(m_RequestLock);

  static std::atomic<ShowWindowHook> s_ShowWindowHook;

  // Written by Initialize before the control server starts; constant while
  // it runs.
  uint32_t m_uiBuildDate = 0;
  uint32_t m_uiVersionNumber = 0;
  const std::string m_sProductName;
  std::string m_sControlAddress;  // empty: every local address
  // The listening socket that the service manager handed over, taken by the
  // first Initialize and kept for the manager's life: every control server
  // listens on a copy of it. -1 when there is none.
  int m_iHandedOverSocket = -1;
  bool m_bHandOverTaken = false;  // The main thread only.

  // From the registry at Initialize, cleared by the engine's Initialize
  // when there is no Bluetooth stack; read by the request and client
  // threads.
  std::atomic<bool> m_bBluetoothEnabled{false};

  CMutex m_ServerLock;
  std::unique_ptr<CControlServer> m_pControlServer GUARDED_BY(m_ServerLock);

  // m_QueueLock guards the pointer; the queue locks itself.
  CMutex m_QueueLock;
  std::unique_ptr<CEventQueue<CConnMgrEvent>> m_pEventQueue GUARDED_BY(m_QueueLock);
  // Removals that no event thread took (reported while the manager was not
  // initialised, or still queued when it stopped), queued by the next
  // Initialize. At most one per client.
  std::vector<uint32_t> m_CarriedRemovals GUARDED_BY(m_QueueLock);

  CVCIIdentClient m_Engine;

  // The clients are owned (deleted by the event thread while initialised, by
  // DisconnectClients otherwise).
  CMutex m_ClientsLock;
  OwnedClients m_Clients GUARDED_BY(m_ClientsLock);
  // Removed clients that unregistered, until they have departed: they count
  // towards the registration caps meanwhile.
  std::vector<std::unique_ptr<CRegisteredClient>> m_Departing GUARDED_BY(m_ClientsLock);

  // The event thread only.
  uint32_t m_uiTableEventSize = CArchiveBuffer::DEFAULT_SIZE;
  // A VCI table left short in an event (the event thread) and in a reply
  // (the requests).
  CRateLimit m_TableEventLine, m_TableReplyLine;
  std::atomic<uint32_t> m_uiTableFrameLimit{MAX_TABLE_FRAME_LENGTH};

  uint32_t m_uiNextSessionId GUARDED_BY(m_RequestLock) = FIRST_SESSION_ID;
  CClientSocket::Timeouts m_ClientSocketTimeouts GUARDED_BY(m_RequestLock);
  RegistrationLimits m_RegistrationLimits GUARDED_BY(m_RequestLock);
  uint32_t m_uiLargestBtCommandMs GUARDED_BY(m_RequestLock) = 0;
  CRateLimit m_NameLine GUARDED_BY(m_RequestLock);
  CRateLimit m_CapLine GUARDED_BY(m_RequestLock);
  CRateLimit m_DataFileLine GUARDED_BY(m_RequestLock);
  // Drawn under the request lock; read by the registrations in flight.
  std::atomic<uint32_t> m_uiInstanceToken{0};
  std::minstd_rand m_Random GUARDED_BY(m_RequestLock);

  // The registrations connecting to their application's event port (the
  // request lock let go meanwhile), with their clients' addresses.
  CMutex m_PendingLock;
  std::vector<std::pair<CRegisteredClient*, std::string>> m_Pending GUARDED_BY(m_PendingLock);
  bool m_bRefuseRegistrations GUARDED_BY(m_PendingLock) = false;

  // Read by every reporting thread.
  std::atomic<bool> m_bShuttingDown{false};
  std::atomic<bool> m_bFirstRegistrationPending{true};
  // The main thread only.
  bool m_bInitialized = false;

  // The request lock: one request takes effect at a time (see the top).
  CMutex m_RequestLock ACQUIRED_BEFORE(m_ConfigLock, m_PendingLock);

  // Taken from the configuration at construction and at every take-in of
  // ident.ini; restored when the last client has gone (registration forces
  // the trace level to INFO).
  CMutex m_ConfigLock ACQUIRED_BEFORE(m_ClientsLock);
  int m_iSavedTraceLevel GUARDED_BY(m_ConfigLock);
  bool m_bSavedPersist GUARDED_BY(m_ConfigLock);
  bool m_bReloadPending GUARDED_BY(m_ConfigLock) = false;

  // The counts for the service manager; started and stopped by the main
  // thread.
  CServiceStatus m_Status;
};
