// CBluezStack: libTosBtApi.so over BlueZ, one per loaded library. It holds
// one connection to the system bus ($DBUS_SYSTEM_BUS_ADDRESS picks another)
// and one event thread, which alone touches the bus: the entry points hand
// it work through a queue and either return at once (the asynchronous
// requests: inquiry, name, connect, whose notifications the event thread
// posts later) or wait for its answer within TOSBT_MAX_CALL_MS (the lists,
// link-key deletion, disconnect). The connection is made at the first
// request that needs it and made again after bluetoothd or the bus went.
//
// Sessions and requests follow the stack contract (bluetooth/TosBtApi.h): a
// request belongs to the session of the thread that made it, and closing
// the session (or its thread's end) drops its requests under m_Lock, the
// lock under which the event thread writes the caller's memory and posts,
// so that nothing of them is written or posted afterwards.
//
// The mapping onto BlueZ:
// - inquiry: the first powered adapter, SetDiscoveryFilter (BR/EDR),
//   StartDiscovery; FOUND for every device of that adapter in range at the
//   start (it has an RSSI), added during the scan (InterfacesAdded) or
//   showing itself (an RSSI change); END after $VCI_BLUEZ_SCAN_MS (10240),
//   then StopDiscovery. No adapter, an adapter off or switched off, a lost
//   bus: ERROR, END. A cancel ends it at once with END.
// - name: Device1.Name, waited for ($VCI_BLUEZ_NAME_MS, 5120) when BlueZ has
//   none yet; ERROR when none comes, never an empty name.
// - connect: pairs a device without link key through an org.bluez.Agent1 of
//   the library (registered as default agent for the pairing, with the IO
//   capability and answering with the PIN set for the device), then sets it
//   Trusted; connects a paired one with Device1.Connect. A device that
//   BlueZ does not know (its link key was deleted with RemoveDevice) is
//   looked for by a discovery first, for at most the scan time.
// - links: the devices whose Device1.Connected is true, and the channel a
//   connect opened until its BtDisconnect; connection handles and channel
//   ids are the library's own, stable for a link's life.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BluezObjects.h"
#include "StackSessions.h"
#include "bluetooth/TosBtApi.h"
#include "platform/CondVar.h"
#include "platform/Mutex.h"

class CBluezStack {
 public:
  // One link as the lists give it.
  struct CLink {
    std::string address;
    uint16_t handle;
    uint16_t cid;
    bool connected;  // Device1.Connected
    bool held;       // a connect's channel, open until its BtDisconnect
  };

  static CBluezStack& Instance();
  ~CBluezStack();
  CBluezStack(const CBluezStack&) = delete;
  CBluezStack& operator=(const CBluezStack&) = delete;

  // The calling thread's session; Close is false when it has none.
  int32_t Open(HWND hWnd);
  bool Close();
  void EndSession(uint64_t session);

  // Asynchronous requests of the calling thread's session: TOSBT_STATUS_OK
  // once accepted, their notifications come later.
  int32_t Discover(BTDEVINFOLIST** ppList, HWND hWnd, UINT uMsg, intptr_t lParam);
  int32_t CancelDiscover();
  int32_t Name(const std::string& address, char* pszName, HWND hWnd, UINT uMsg, intptr_t lParam);
  int32_t Connect(const std::string& address, uint16_t* pwCID, int32_t* plStatus, HWND hWnd, UINT uMsg,
                  intptr_t lParam);

  // Synchronous, within TOSBT_MAX_CALL_MS.
  int32_t Devices(bool pairedOnly, std::vector<bluez::CDevice>& out);
  int32_t DeleteLinkKeys(const std::vector<std::string>& addresses);
  int32_t Links(std::vector<CLink>& out);
  int32_t Disconnect(uint16_t cid);

  // Pairing settings per device ("" clears the PIN, -1 the capability).
  int32_t SetPin(const std::string& address, const std::string& pin);
  int32_t SetIoCapability(const std::string& address, int32_t capability);

 private:
  enum Kind { INQUIRY, NAME, CONNECT };
  struct CRequest {
    Kind kind = INQUIRY;
    uint64_t session = 0;
    HWND hWnd = 0;
    UINT uMsg = 0;
    intptr_t lParam = 0;
    // The caller's memory that the request fills (null: not this kind's).
    BTDEVINFOLIST** ppList = nullptr;
    char* pszName = nullptr;
    uint16_t* pwCID = nullptr;
    int32_t* plStatus = nullptr;
    std::string address;  // name, connect
    std::string adapter;  // inquiry, a connect's search: the adapter scanned
    std::string path;     // name, connect: the device
    bool discovering = false;  // holds a discovery of the adapter
    bool pairing = false;      // Device1.Pair runs
    std::vector<BTDEVINFO> found;  // inquiry
    std::set<std::string> foundPaths;
  };
  typedef std::function<void(sd_bus_message* reply, const sd_bus_error* error)> ReplyFn;
  typedef std::function<int(sd_bus_message* call)> AppendFn;

  CBluezStack();
  int32_t Accept(CRequest request, HWND hWnd, UINT uMsg, intptr_t lParam, void (CBluezStack::*start)(uint32_t));
  // Queues work for the event thread (started on first use); false when it
  // cannot run.
  bool Post(std::function<void()> work);
  // Runs work on the event thread and waits for its answer; NO_RADIO when
  // none comes in time. work calls done exactly once.
  int32_t Sync(const std::function<void(std::function<void(int32_t)> done)>& work);

  // The event thread.
  void Run();
  static int OnWake(sd_event_source*, int fd, uint32_t, void* self);
  bool EnsureBus();
  void DropBus();
  bool Call(const std::string& path, const char* interface, const char* member, uint64_t timeoutUs,
            const AppendFn& append, ReplyFn done);
  static int OnReply(sd_bus_message* m, void* fn, sd_bus_error*);
  void GetObjects(std::function<void(bool ok, const bluez::CObjects& objects)> done);
  void Acquire(const std::string& adapter, std::function<void(bool ok)> done);
  void Release(const std::string& adapter);
  void SetTimer(uint32_t id, uint64_t ms, std::function<void()> fire);
  void Finish(const CRequest& request, uint32_t id);
  void StartInquiry(uint32_t id);
  void EndInquiry(uint32_t id);
  void StartName(uint32_t id);
  void StartConnect(uint32_t id);
  void ConnectDevice(uint32_t id, const bluez::CDevice& device);
  void Pair(uint32_t id, const std::string& path, const std::string& capability);
  void Connected(uint32_t id, const std::string& path);
  void Fail(uint32_t id, int32_t status);
  void OnInterfacesAdded(sd_bus_message* m);
  void OnInterfacesRemoved(sd_bus_message* m);
  void OnPropertiesChanged(sd_bus_message* m);
  void OnDeviceSeen(const bluez::CDevice& device);
  static int OnSignal(sd_bus_message* m, void* self, sd_bus_error*);
  static int OnBusLost(sd_bus_message* m, void* self, sd_bus_error*);
  static int OnAgent(sd_bus_message* m, void* self, sd_bus_error* error);

  // Under m_Lock.
  bool PostCode(uint32_t id, uint32_t code);            // false when the request has gone
  bool TakeOut(uint32_t id, CRequest& out);              // the request leaves the table
  void Found(CRequest& request, const bluez::CDevice& device);
  CLink& EnsureLink(const std::string& path, const std::string& address);
  void Refresh(const bluez::CObjects& objects);

  // The table of sessions Requires m_Lock held; before m_Post, which it finds.
  CStackSessions m_Sessions;
  const CStackSessions::PostMessageFn m_Post;  // the program's; null when it exports none

  // Starting and stopping the event thread; taken before m_Lock and m_WorkLock.
  CMutex m_StartLock;
  std::thread m_Thread;  // Guarded by m_StartLock.
  int m_WakeFd = -1;     // constant while the thread runs

  CMutex m_WorkLock;
  std::deque<std::function<void()>> m_Work;  // Guarded by m_WorkLock.
  bool m_bQuit = false;                      // Guarded by m_WorkLock.

  CMutex m_Lock;
  uint32_t m_uiNextId = 0;                         // Guarded by m_Lock.
  std::map<uint32_t, CRequest> m_Requests;         // by id; Guarded by m_Lock.
  std::map<std::string, std::string> m_Pins;       // by address; Guarded by m_Lock.
  std::map<std::string, int32_t> m_IoCapabilities;  // by address; Guarded by m_Lock.
  std::map<std::string, CLink> m_Links;            // by device path; Guarded by m_Lock.
  uint16_t m_uiLastHandle = 0, m_uiLastCid = 0;    // Guarded by m_Lock.
  bool m_bFoundBoundLogged = false;                // Guarded by m_Lock.

  // The event thread's own.
  sd_event* m_pEvent = nullptr;
  sd_bus* m_pBus = nullptr;
  std::map<uint32_t, sd_event_source*> m_Timers;       // by request id
  std::map<std::string, uint32_t> m_DiscoveryUsers;    // by adapter path
  bool m_bAgentRegistered = false;
};
