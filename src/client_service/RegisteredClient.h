// CRegisteredClient: one registered client application. It holds a TCP
// connection to the application's event port, a queue of serialised
// IdentEvent_Send messages, a notify thread that delivers them one by one and
// waits for each acknowledgement, and a link-detection thread (the IThread
// worker) that notices the application closing that connection even while
// no event is pending. A failed delivery or a closed connection marks the
// link broken and is reported once through IIdentEvent::OnIdentNotify (1,
// session id); the connection manager then removes the client.
//
// Threads: the manager's event thread queues events, sends the client on its
// way (Depart) and uninitialises; the control server's thread initialises and
// marks the client terminating; the notify and link-detection threads report.
// The queue is the only hand-over to the notify thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "base/EventQueue.h"
#include "base/Thread.h"
#include "discovery/IIdentEvent.h"
#include "platform/AdapterInfo.h"
#include "platform/CondVar.h"
#include "platform/Mutex.h"
#include "serialize/ArchiveBuffer.h"
#include "transport/ClientSocket.h"

class CIdentEvent_Send;

class CRegisteredClient : public IThread {
 public:
  // OnIdentNotify type of a broken link (value: the session id).
  enum : uint32_t { EVENT_LINK_BROKEN = 1 };
  // What the notify thread asks of the socket for each acknowledgement; the
  // socket raises it to its reply floor (10 s unless set otherwise).
  enum : uint32_t { ACK_WAIT_MS = 1000 };

  CRegisteredClient();
  // Uninitializes when the owner has not.
  ~CRegisteredClient() override;

  // The waits of the event connection; call before Initialize. The designed
  // ones unless changed (tests shorten the reply floor and the connect
  // pauses).
  void SetEventTimeouts(const CClientSocket::Timeouts& timeouts) { m_EventTimeouts = timeouts; }
  const CClientSocket::Timeouts& GetEventTimeouts() const { return m_EventTimeouts; }

  // Connects to clientAddress:eventPort from localAddress and starts both
  // threads. 0, -1, or the event socket's error code; on failure nothing is
  // left running. noReplyTimeout non-zero: acknowledgements are waited for
  // without a time limit. After ConnectEventPort, its connection (or its
  // failure) is taken instead of connecting again.
  int32_t Initialize(const std::string& clientAddress, uint32_t eventPort, IIdentEvent* pEventSink,
                     uint32_t sessionId, const std::string& localAddress, uint32_t noReplyTimeout);
  // Makes the event connection alone, before the client has its session id:
  // the manager connects outside its request lock, so that an event port
  // that does not answer holds no other request. 0 or the socket's code.
  int32_t ConnectEventPort(const std::string& clientAddress, uint32_t eventPort, const std::string& localAddress);
  // Cuts a ConnectEventPort in progress on another thread short (it then
  // fails) and fails any that comes later; returns once it has returned.
  void AbortConnect();
  // The application's address (where its event port is), once connecting.
  const std::string& GetClientAddress() const { return m_sClientAddress; }
  // Stops both threads (events still queued are not delivered: a line
  // counts them) and closes the event connection with the given mode, unless
  // a departure closed it (its result is then returned). -1 when not initialised, else
  // the socket's Shutdown result. Returns promptly even while the notify
  // thread waits for an acknowledgement that never comes: that wait is cut
  // and the connection closed at once. Never call it from either thread of
  // this client.
  int32_t Uninitialize(int mode);
  // The removal of a client whose application unregistered, without
  // waiting for the application: nothing more is queued, the link-detection
  // thread ends, and the notify thread delivers what is queued (each event
  // with the acknowledgement wait of a client without the no-reply-timeout
  // option), then closes the connection in order (at once once a delivery
  // failed) and counts as departed. An exchange already waiting without a
  // time limit is cut, as an unregistration always ended it. Returns at
  // once; Uninitialize follows, which then does not wait. Requires the
  // client initialised; the manager's event thread only.
  void Depart();
  // The notify thread has closed the connection after Depart. Any thread.
  bool HasDeparted() const { return m_bDeparted.load(); }
  // Marks the client terminating; returns whether it was already.
  bool SetTerminating();
  bool IsTerminating() const;
  bool IsLinkBroken() const { return m_bLinkBroken.load(); }

  void SetClientName(const std::string& name);
  std::string GetClientName() const;
  uint32_t GetSessionId() const { return m_uiSessionId; }

  // One serialised IdentEvent_Send, shared by every client it goes to and
  // never changed once made: a table change is serialised once, not once
  // per client.
  typedef std::shared_ptr<const CArchiveBuffer> EventImage;

  // Each queues an event unless the link is broken or the client is
  // terminating, and returns 0. ChangeInMap takes the image of an 0x8002
  // event made by SerializeEvent, ChangeInBindMap that of a bindings event:
  // the manager serialises each once for all its clients.
  int32_t ChangeInMap(const EventImage& tableEvent);
  int32_t ChangeInBindMap(const EventImage& bindingsEvent);
  // An event whose payload is an empty VCI table.
  int32_t Notify(uint32_t eventCode);
  // Serialises one event into the queue; 0, or -1 when it cannot be
  // allocated or written.
  int32_t NotifyClient(CIdentEvent_Send& event);
  // The event's image, written into an archive of initialSize bytes (it
  // grows as needed); null when it cannot be allocated or written (both
  // logged).
  static EventImage SerializeEvent(CIdentEvent_Send& event, uint32_t initialSize = CArchiveBuffer::DEFAULT_SIZE);
  // The same with the event's bytes written by write.
  static EventImage SerializeImage(const std::function<bool(CArchiveBuffer&)>& write, uint32_t initialSize);

  // The link-detection thread (IThread).
  void Run(uint32_t uiArg1, uint32_t uiArg2) override;
  // The notify thread.
  void NotifyThread();

 private:
  // Whether events are still queued (neither link broken nor terminating).
  bool Accepting() const;
  void Queue(const EventImage& event);
  // The event code of a serialised IdentEvent_Send, 0 when it has none.
  static uint32_t EventCode(const EventImage& event);
  // Marks the link broken; reported once unless the client is already on
  // its way out.
  void ReportBroken(const char* line);
  // The notify thread's end of a departure: the connection closed.
  void Leave(uint32_t undelivered);
  // Releases what Initialize created: the queue shut down and the notify
  // thread joined, the link-detection thread stopped, the socket closed.
  // Returns the socket's Shutdown result.
  int ReleaseAll(int mode);

  // Set before Initialize; constant while the threads run.
  CClientSocket::Timeouts m_EventTimeouts;
  // Set by ConnectEventPort or Initialize on the registering thread.
  std::string m_sClientAddress;
  bool m_bConnectMade = false;
  int32_t m_iConnectResult = 0;
  // Set by Initialize before either thread starts; constant while they run.
  IIdentEvent* m_pEventSink = nullptr;
  uint32_t m_uiSessionId = 0;
  uint32_t m_uiNoReplyTimeout = 0;
  std::unique_ptr<CEventQueue<EventImage>> m_pEventQueue;
  // The departure mark (an empty image), made by Initialize so that Depart
  // cannot fail; queued by Depart behind everything else.
  std::unique_ptr<EventImage> m_pDepartMark;
  std::unique_ptr<CClientSocket> m_pEventSocket;
  // The connected event socket that the link-detection thread watches.
  SOCKET m_EventFd = INVALID_SOCKET;
  std::unique_ptr<std::thread> m_pNotifyThread;
  // Signalled (never reset while the threads run) to end the link-detection
  // wait; a descriptor that the wait polls beside the event socket.
  CWakeSemaphore m_StopEvent;

  // Makes SetTerminating one step and tells Uninitialize and Depart whether
  // the notify thread is waiting on the application (an exchange, or the
  // departure's close).
  mutable CMutex m_StateLock;
  bool m_bTerminating GUARDED_BY(m_StateLock) = false;
  bool m_bInExchange GUARDED_BY(m_StateLock) = false;
  // Uninitialize has begun: no exchange or close starts any more.
  bool m_bStopping GUARDED_BY(m_StateLock) = false;
  bool m_bDeparting GUARDED_BY(m_StateLock) = false;
  std::string m_sClientName GUARDED_BY(m_StateLock);
  // A ConnectEventPort is in progress, and its end for AbortConnect.
  bool m_bConnecting GUARDED_BY(m_StateLock) = false;
  bool m_bConnectAborted GUARDED_BY(m_StateLock) = false;
  CCondVar m_ConnectEnded;

  // Written by either thread, read by every thread: a late read costs at
  // most one more attempted event.
  std::atomic<bool> m_bLinkBroken{false};
  // Set by the notify thread once it has closed the connection after
  // Depart, with the close's result written before it.
  std::atomic<bool> m_bDeparted{false};
  int m_iDepartResult = 0;
  // The owner's threads only (Initialize, Uninitialize).
  bool m_bInitialized = false;
};
