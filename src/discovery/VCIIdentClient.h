// CVCIIdentClient: the discovery engine. It opens one announcement socket
// per local interface (UDP 8194, group 225.1.1.1) and follows the interface
// monitor as interfaces come and go; it turns every announcement into the
// live table of VCIs and the bindings of VCI addresses to local interfaces,
// fetches the details of new VCIs and checks the route to VCIs on foreign
// subnets off the receive path, sweeps out VCIs that fell silent, merges
// what the Bluetooth discovery reports, and tells its owner through
// IIdentEvent whenever the table or the bindings change.
//
// What LAN hosts can make the engine hold is bounded (see the limits below):
// a host may announce a new serial number in every datagram, from any
// address. Beyond a bound a new serial number, fetch or route check is
// dropped with a rate-limited line; a VCI already listed is always served,
// so real VCIs keep their place during such a flood.
//
// Lock order: m_RecvLock, then m_IFLock, then m_TableLock (recursive);
// m_IFListLock before m_IFLock and m_TableLock; a fetch's or route check's
// own lock after m_TableLock; the pools' locks after every other.
// m_CacheFileLock is taken with no other engine lock held: the detail
// cache's file is written and read back under it alone, so that no receive
// thread waits while the disk syncs.
// OnIdentNotify is never called with m_TableLock held. A socket is never shut down while a lock that
// OnDataReceived takes (m_RecvLock, m_IFLock, m_TableLock) is held, since
// the shutdown waits for the listener call in progress; and the pools'
// workers are joined without m_TableLock, which fetches and route checks
// take to store their results.
//
// Bluetooth commands (BtCommand) run one at a time under m_CmdLock, which
// comes before every other engine lock. A connect waits for its interface
// without holding m_IFLock across pairing and the connection wait: every
// datagram takes m_IFLock, and holding it for that long would stall
// discovery until VCIs time out. Instead the receive path (and DeleteIF)
// records under m_IFLock that the Bluetooth interface was seen, and the
// command holds m_IFLock only while it checks that record and waits on
// m_IFCond, so no signal between the two is missed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "base/Thread.h"
#include "bluetooth/BluetoothEvent.h"
#include "bluetooth/BluetoothMgr.h"
#include "bluetooth/BtVciInfo.h"
#include "discovery/IIdentEvent.h"
#include "discovery/SenderTally.h"
#include "host/IdentConfig.h"
#include "host/RateLimit.h"
#include "netif/IFList.h"
#include "netif/IFMonitor.h"
#include "platform/CondVar.h"
#include "platform/Mutex.h"
#include "records/BindMap.h"
#include "records/InvalidVCIList.h"
#include "records/TimePoint.h"
#include "records/VCICachedMap.h"
#include "records/VCIStatusDynMap.h"
#include "transport/ServerEvent.h"
#include "transport/WorkerPool.h"

class CAcquireDeviceStats;
class CCheckDeviceRoute;
class CRecoveryStatus;
class CServerSocket;
class CVCIIdentMsg;
class CVCIStatusMap;
class CVCIStatusMsg;

class CVCIIdentClient : public IServerEvent, public IThread, public IIFEvent, public IBluetoothEvent {
 public:
  // OnIdentNotify types and the bits of the type-4 mask.
  enum : uint32_t { EVENT_VCI_STATUS = 4, EVENT_BT_ERROR = 0x8001 };
  enum : uint32_t { EVENT_TABLE_CHANGED = 1, EVENT_BINDINGS_CHANGED = 2 };
  enum : int32_t {
    IDENT_FETCH_PENDING = 8192,      // the VCI is listed once its details arrive
    IDENT_BT_NO_STACK = 20531,       // the Bluetooth stack library is absent
    IDENT_IF_REGISTERED = 20533,     // a socket for the address exists already
  };
  enum : uint16_t { ANNOUNCE_PORT = 8194 };
  enum : uint32_t { SWEEP_INTERVAL_MS = 250, ADDRESS_RETRY_MS = 200 };
  // Bluetooth command codes, and the session of the default-device watcher.
  enum : uint32_t { BT_CONNECT = 1, BT_DISCONNECT = 2, BT_SCAN = 3, BT_CHECK_CONNECT_STATE = 4 };
  enum : uint32_t { DEFAULT_DEVICE_SESSION = 1233 };
  // Bounds on what LAN hosts can make the engine hold.
  enum : uint32_t {
    // VCIs listed: a test bay holds a few hundred, the benchmarks 1200; a
    // listed VCI holds a few kB.
    MAX_VCIS = 4096,
    // New serial numbers listed per sender address: every real VCI (the
    // Bluetooth and USB VCIs too) announces from an address of its own.
    MAX_VCIS_PER_SENDER = 16,
    // Detail fetches pending (queued, running or not yet reaped), in all
    // and per sender address, and the workers that run them. A fetch is a
    // few short requests on the LAN, so four workers take in a bay of new
    // VCIs within seconds; the limit per address keeps a host that never
    // answers to two of them. A fetch beyond a bound is dropped, and the
    // VCI's next announcement asks again.
    MAX_FETCHES = 64,
    MAX_FETCHES_PER_SENDER = 2,
    FETCH_WORKERS = 4,
    // Route checks pending (one per address already) and their workers:
    // VCIs behind a router are few.
    MAX_ROUTE_CHECKS = 16,
    ROUTE_CHECK_WORKERS = 2,
    // VCI addresses bound, and VCIs in the detail cache: each real VCI
    // has one address and one cache item, so the bound of the table
    // serves. Bindings and cache items outlive their VCI's place in the
    // table, so a host that rotates its address or serves details of
    // ever new serial numbers would grow them without end: at the bound,
    // those of VCIs no longer listed make room.
    MAX_BINDINGS = MAX_VCIS,
    MAX_CACHED_VCIS = MAX_VCIS,
  };
  // Entries swept out after which the heap's free memory is handed back.
  enum : uint32_t { TRIM_AFTER_SWEPT = 256 };
  // The Bluetooth VCI's address on the Bluetooth network, and that network.
  static const char kBluetoothVciAddress[];
  static const char kBluetoothSubnet[];
  // The PC's Bluetooth network connection, by a part of its device name.
  static const char kBluetoothConnection[];
  // The file of the Bluetooth VCIs in the data folder.
  static const char kBtFileName[];

  class CDefDevice;

  // btLibrary: the Bluetooth stack library's name (tests select a stack).
  explicit CVCIIdentClient(const char* btLibrary = TOSBT_LIBRARY_NAME);
  // Uninitializes when the owner has not.
  ~CVCIIdentClient() override;
  CVCIIdentClient(const CVCIIdentClient&) = delete;
  CVCIIdentClient& operator=(const CVCIIdentClient&) = delete;

  // Starts the engine thread, loads the caches, opens a socket per
  // interface and registers with the interface monitor. 0, or -1 when no
  // brand number can be resolved, or the monitor's code. Without a
  // Bluetooth stack the caller's flag is cleared and the code is kept for
  // GetBtInitError.
  int32_t Initialize(IIdentEvent* pEventSink, bool& bEnableBluetooth)
      EXCLUDES(m_RecvLock, m_IFLock, m_TableLock, m_IFListLock, m_CmdLock, m_CacheFileLock);
  // Stops everything Initialize started and empties every table; returns
  // once no thread of the engine is left.
  int32_t Uninitialize() EXCLUDES(m_RecvLock, m_IFLock, m_TableLock, m_IFListLock, m_CmdLock, m_CacheFileLock);
  // Copies taken under m_TableLock; 0.
  int32_t GetVCIStatusMap(CVCIStatusMap& map);
  int32_t GetBindMap(CBindMap& map);
  // How many VCIs GetVCIStatusMap would list now.
  size_t GetVCICount();
  // The brand number Initialize resolved; 0 before, or without a home
  // folder. The thread that initialises.
  uint32_t GetBrandNumber() const { return m_uiBrand; }
  // The bytes of the map that GetVCIStatusMap fills, written into ar under
  // m_TableLock without copying a status first (the table event of every
  // change). False when ar could not take them.
  bool SerializeVCIStatusMap(CArchiveBuffer& ar);
  // The Bluetooth initialisation error, reset to 0 by the read.
  int32_t GetBtInitError() { return m_iBtInitError.exchange(0); }
  bool IsInitialized() const { return m_bInitialized; }
  // Datagrams taken in by OnDataReceived so far, whatever became of them.
  uint64_t GetDatagramCount() const { return m_uiDatagrams.load(std::memory_order_relaxed); }
  // True for the name of a temporary file that a store of a file of the
  // data folder (the caches, vci-bt.txt) leaves behind when the service is
  // killed in the middle: Initialize removes them, and they are never handed
  // out as data files.
  static bool IsStoreTemporary(const std::string& name);

  // A Bluetooth command for the VCI serial on behalf of session: 0, or -1
  // (no stack, unknown serial, another VCI in use, a connect that failed);
  // a failed pairing gives the manager's code. status receives the stack
  // status of BT_CHECK_CONNECT_STATE.
  int32_t BtCommand(uint32_t serial, uint32_t session, uint32_t command, int32_t& status)
      EXCLUDES(m_RecvLock, m_IFLock, m_TableLock, m_IFListLock, m_CmdLock, m_CacheFileLock);
  // Switches the Bluetooth network connection and waits until its adapter
  // is listed (enable) or gone (disable), at most BT_IF_UP_TIMEOUT or
  // BT_IF_DOWN_TIMEOUT. 0, or -1 when the connection could not be switched
  // or the adapter did not follow in time.
  int32_t EnableInterface(bool enable);
  // Sets the first network connection whose device name contains
  // deviceName up or down; true when that succeeded.
  static bool EnableConnection(const std::string& deviceName, bool enable);

  // IServerEvent: one datagram from any announcement socket; always 0, so
  // that no socket stops receiving over a bad datagram.
  int OnDataReceived(CArchiveBuffer& request, CArchiveBuffer& reply, const std::string& remoteAddress,
                     const std::string& localAddress) override;
  // A socket whose receive failed stops its thread.
  bool OnErrorDetected(int code) override;
  void OnAccept(const std::string& remoteAddress) override;

  // IThread: the timeout monitor, a Sweep every 250 ms.
  void Run(uint32_t uiArg1, uint32_t uiArg2) override;

  // IIFEvent (the monitor's thread).
  void OnIFNotify() override;
  void OnIFError(int32_t iError) override;

  // IBluetoothEvent (the Bluetooth discovery's thread).
  int32_t OnVciBtDetect(const BtVciInfoMap* pDetected) override;
  int32_t OnVciBtError(int32_t iError) override;

  // The engine's own steps, public for the service's tools, the tests and
  // the benchmarks.

  // 0, 20533 when a socket for the address exists, or the socket's code.
  int32_t AddIF(const std::string& address) REQUIRES(m_IFListLock);
  // Stops the address's socket (its result, 0 when there is none) and
  // clears its bindings.
  int32_t DeleteIF(const std::string& address) REQUIRES(m_IFListLock) EXCLUDES(m_RecvLock, m_IFLock, m_TableLock);
  // One announcement, from the sender remote heard through local; 0.
  int32_t ProcessIncomingStatus(const CVCIIdentMsg& msg, const std::string& remote, const std::string& local)
      REQUIRES(m_RecvLock);
  int32_t ProcessLegacyStatusMsg(const CVCIStatusMsg& msg, const std::string& remote, const std::string& local)
      REQUIRES(m_RecvLock);
  int32_t ProcessIncomingRecovery(const CRecoveryStatus& msg, const std::string& remote, const std::string& local)
      REQUIRES(m_RecvLock);
  // True when a new binding of foreign to local was added; a known one only
  // gets its time refreshed. Takes m_TableLock.
  bool SetIFBinding(const std::string& local, const std::string& foreign);
  // The same at now.
  bool SetIFBindingLocked(const std::string& local, const std::string& foreign, const TimePoint& now)
      REQUIRES(m_TableLock);
  // Drops the bindings through local and reports (4, 2).
  void ClearIFBinding(const std::string& local) EXCLUDES(m_TableLock);
  // Whether announcements from remote may be processed: token 0, a bound
  // address, or one on a local subnet. Otherwise a route check is started
  // (once per address) and the announcement is to be dropped. Takes
  // m_TableLock.
  bool CheckIsAddrRoutable(const std::string& remote, const std::string& local, const CVCIIdentMsg& msg,
                           uint32_t brand, uint32_t serial);
  // Fills the live entry of a new or changed VCI from the cache or from the
  // announcement itself (stored set, 0), or starts a detail fetch (8192).
  int32_t UpdateDetectedVCIs(const CVCIIdentMsg& msg, const std::string& local, const std::string& remote, bool& stored)
      REQUIRES(m_TableLock);
  // One pass of the timeout monitor at now: the sweep of the live table and
  // the reaping of finished fetches and route checks. Returns the type-4
  // mask to report (Run reports it). Takes m_TableLock.
  uint32_t Sweep(const TimePoint& now);
  // vci-bt.txt: read into the stored Bluetooth VCIs (0, or -1 without an
  // installation folder), and one record written into it (requires
  // m_TableLock held).
  int32_t LoadDetectedVCIs();
  int32_t UpdateDetectedVCIs(const std::string& name, const BtVciInfo& info) REQUIRES(m_TableLock);

  // The detail cache's bytes for its file, taken under the locks that
  // guard the cache, and their place in the order of snapshots.
  struct CacheSnapshot {
    std::shared_ptr<CArchiveBuffer> archive;  // null when the cache could not be serialised
    uint64_t generation = 0;
  };
  // m_RecvLock as well as m_TableLock: the cached announcements take the
  // sequence counter that the receive path sets.
  CacheSnapshot SnapshotCache() REQUIRES(m_RecvLock, m_TableLock);
  // Writes the snapshot to the detail cache file unless a later one is
  // there already (which holds all this one does), then reads the file
  // back: the read's result, 0 or -1; stored receives the write's (0 when a
  // later snapshot made it unneeded). Takes m_CacheFileLock; requires no
  // other engine lock held.
  int32_t StoreCache(const CacheSnapshot& snapshot, int32_t& stored)
      EXCLUDES(m_RecvLock, m_IFLock, m_TableLock, m_IFListLock, m_CmdLock);

 private:
  friend class CAcquireDeviceStats;
  friend class CCheckDeviceRoute;

  void Notify(uint32_t type, uint32_t value);
  void NotifyUsb(uint32_t code);
  // Initialize's AddIF for every address of list; 20533 is skipped, counted
  // counts the sockets opened. The first other failure ends the walk and is
  // returned.
  int32_t AddAll(const CIFList& list, int& counted) REQUIRES(m_IFListLock);
  // Initialize's cache paths and loads.
  void LoadCaches(const std::string& location) REQUIRES(m_TableLock);
  // Whether an announcement of serial from sender, which the live table
  // does not hold, may add it; logs a drop.
  bool MayAdd(uint32_t serial, const std::string& sender) REQUIRES(m_TableLock);
  // The live entry of serial, added for sender when absent.
  CVCIStatusDynItem& AddEntry(uint32_t serial, const std::string& sender) REQUIRES(m_TableLock);
  // Files a fetch of serial from remote and queues it, when the bounds
  // allow; logs a drop.
  void StartFetch(const CVCIIdentMsg& msg, const std::string& local, const std::string& remote) REQUIRES(m_TableLock);
  // Whether a binding of the new VCI address foreign may be added: below
  // MAX_BINDINGS, or once the bindings of addresses that no listed VCI
  // has were dropped to make room; logs a refusal.
  bool MakeRoomForBinding(const std::string& foreign) REQUIRES(m_TableLock);
  // Files a fetched VCI's item in the detail cache; at MAX_CACHED_VCIS an
  // item of a VCI not listed now makes room, and without one the item is
  // not cached (logged).
  void CacheDetails(uint32_t serial, const CVCICachedItem& item) REQUIRES(m_TableLock);
  // Initialize's sockets and monitor registration.
  int32_t OpenSockets() REQUIRES(m_IFListLock);
  bool IsOnLocalSubnet(const std::string& remote) const;
  // Initialize's Bluetooth start; clears enable when the stack is missing.
  void InitializeBluetooth(bool& enable) REQUIRES(m_TableLock);
  static std::string BtFilePath(const std::string& location);
  // The commands on a copy of the Bluetooth VCIs; serial is the name of
  // the command's record in the copy, rec that record.
  int32_t BtScan(BtVciInfoMap& copy) REQUIRES(m_CmdLock);
  int32_t BtConnect(BtVciInfoMap& copy, const std::string& serial, int32_t session) REQUIRES(m_CmdLock);
  int32_t BtDisconnect(BtVciInfo& rec, const std::string& serial, int32_t session) REQUIRES(m_CmdLock);
  // Writes the records of copy back where their serial is still present.
  void WriteBack(const BtVciInfoMap& copy);
  // ArmInterfaceWait forgets what was seen of the Bluetooth interface (with
  // waiting set, a connect waits for its VCI to be heard on it; otherwise
  // only its removal counts); WaitForInterface waits until it is seen or
  // deadline, true when it was, and ends the connect's waiting. Each takes
  // m_IFLock.
  void ArmInterfaceWait(bool waiting) EXCLUDES(m_IFLock);
  bool WaitForInterface(std::chrono::steady_clock::time_point deadline) EXCLUDES(m_IFLock);

  // Constant while the sockets run: set by Initialize before they open.
  bool m_bBtEnabled = false;
  uint32_t m_uiBrand = 0;
  std::string m_sValidModulePath;
  std::string m_sInvalidModulePath;

  CVCIStatusDynMap m_VCIStatusDynMap GUARDED_BY(m_TableLock);
  CInvalidVCIList m_InvalidVCIList GUARDED_BY(m_TableLock);
  CVCICachedMap m_VCICachedMap GUARDED_BY(m_TableLock);
  CBindMap m_BindMap GUARDED_BY(m_TableLock);
  // Shared with the pools, which hold a job until its worker is done.
  std::map<uint32_t, std::shared_ptr<CAcquireDeviceStats>> m_AcquireDeviceStatsMap GUARDED_BY(m_TableLock);
  std::map<std::string, std::shared_ptr<CCheckDeviceRoute>> m_CheckDeviceRouteMap GUARDED_BY(m_TableLock);
  CSenderTally m_SenderTally GUARDED_BY(m_TableLock);
  size_t m_uiSweptSinceTrim GUARDED_BY(m_TableLock) = 0;  // entries the sweep removed since the last trim
  BtVciInfoMap m_BtVciMap GUARDED_BY(m_TableLock);        // the Bluetooth discovery's current VCIs
  BtVciInfoMap m_StoredBtVciMap GUARDED_BY(m_TableLock);  // the VCIs stored in vci-bt.txt

  CIFList m_IFList GUARDED_BY(m_IFListLock);
  std::map<std::string, std::unique_ptr<CServerSocket>> m_Sockets GUARDED_BY(m_IFListLock);  // by interface address
  bool m_bRegistered GUARDED_BY(m_IFListLock) = false;

  CCondVar m_IFCond;
  bool m_bWaitingForIF GUARDED_BY(m_IFLock) = false;
  bool m_bIFSeen GUARDED_BY(m_IFLock) = false;  // the Bluetooth interface came up or went down

  // The link-quality zones lent to each read, as the configuration's
  // settings of the generation given held them.
  uint32_t m_Zones[CIdentConfig::MAX_ZONES] GUARDED_BY(m_RecvLock) = {};
  uint32_t m_uiZoneCount GUARDED_BY(m_RecvLock) = 0;
  uint64_t m_uiZonesGeneration GUARDED_BY(m_RecvLock) = 0;  // none: the configuration's start at 1

  CRecursiveMutex m_TableLock;
  CMutex m_RecvLock;
  CMutex m_IFLock;
  CMutex m_CmdLock;  // serialises the Bluetooth commands and the manager's Uninitialize
  CMutex m_IFListLock;
  CMutex m_CacheFileLock;

  uint64_t m_uiCacheSnapshots GUARDED_BY(m_TableLock) = 0;   // The last snapshot's generation.
  uint64_t m_uiCacheStored GUARDED_BY(m_CacheFileLock) = 0;  // The generation in the file.

  // Locks of their own; started by Initialize, stopped by Uninitialize.
  // Fetches and route checks run as jobs of these small pools rather than
  // on a thread each, which would let one LAN host start threads without
  // limit (one per new serial number or address it announces).
  CWorkerPool m_FetchPool{FETCH_WORKERS, MAX_FETCHES};
  CWorkerPool m_RoutePool{ROUTE_CHECK_WORKERS, MAX_ROUTE_CHECKS};
  // Locks of their own: when the drop lines are due.
  CRateLimit m_DroppedVcis;
  CRateLimit m_DroppedFetches;
  CRateLimit m_DroppedRouteChecks;
  CRateLimit m_DroppedBindings;
  CRateLimit m_UncachedVcis;

  // Locks of its own (see its header); the engine is its listener.
  CBluetoothMgr m_BtMgr;
  // The owner's thread only (Initialize and Uninitialize).
  std::unique_ptr<CDefDevice> m_pDefDevice;

  // Read by every thread that reports; written by Initialize and
  // Uninitialize.
  std::atomic<IIdentEvent*> m_pEventSink{nullptr};
  std::atomic<int32_t> m_iBtInitError{0};
  std::atomic<uint64_t> m_uiDatagrams{0};
  // The owner's thread only.
  bool m_bInitialized = false;
  bool m_bStarted = false;  // Initialize was called and Uninitialize was not
};
