#include "discovery/VCIIdentClient.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "discovery/AcquireDeviceStats.h"
#include "discovery/CheckDeviceRoute.h"
#include "discovery/DefDevice.h"
#include "host/Brand.h"
#include "host/TraceLog.h"
#include "platform/AdapterInfo.h"
#include "platform/Files.h"
#include "platform/Kernel.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "records/CacheFile.h"
#include "records/RecoveryStatus.h"
#include "records/VCIIdentMsg.h"
#include "records/VCIStatusMap.h"
#include "records/VCIStatusMsg.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"
#include "transport/ServerSocket.h"
#include "transport/SocketTypes.h"

const char CVCIIdentClient::kBluetoothVciAddress[] = "192.168.178.2";
const char CVCIIdentClient::kBluetoothSubnet[] = "192.168.178";

namespace {

// The cache files are named from these and the brand number.
const char kValidModule[] = "valid-module";
const char kInvalidModule[] = "invalid-module";

// A job for a pool, shared with it; null when there is no memory for it.
template <class Job, class... Args>
std::shared_ptr<Job> MakeJob(Args&&... args) {
  try {
    return std::make_shared<Job>(std::forward<Args>(args)...);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

unsigned long long Count(uint64_t n) { return static_cast<unsigned long long>(n); }

// The log name of an announced kind; "USB" also for a value that is no kind.
const char* KindName(uint32_t kind) {
  bool named = kind == VCI_KIND_ETHERNET || kind == VCI_KIND_WIRELESS || kind == VCI_KIND_LOCAL ||
               kind == VCI_KIND_BLUETOOTH;
  return named ? GetIFKindName(static_cast<int32_t>(kind)) : "USB";
}

}  // namespace

CVCIIdentClient::CVCIIdentClient(const char* btLibrary) : m_BtMgr(btLibrary) {
  m_BtMgr.SetEnableConnection(&CVCIIdentClient::EnableConnection);
}

CVCIIdentClient::~CVCIIdentClient() {
  if (m_bStarted) Uninitialize();
}

void CVCIIdentClient::Notify(uint32_t type, uint32_t value) {
  if (IIdentEvent* sink = m_pEventSink.load()) sink->OnIdentNotify(type, value);
}

void CVCIIdentClient::NotifyUsb(uint32_t code) {
  if (IIdentEvent* sink = m_pEventSink.load()) sink->OnIdentUsb(code);
}

int32_t CVCIIdentClient::Initialize(IIdentEvent* pEventSink, bool& bEnableBluetooth) {
  // The interface-list lock comes first: once registered with the monitor,
  // OnIFNotify takes it and then the table lock.
  CMutexLock ifList(m_IFListLock);
  CMutexLock table(m_TableLock);
  TraceLog(TRACE_INFO, "CVCIIdentClient::Initialize entering");
  m_bStarted = true;
  m_bBtEnabled = bEnableBluetooth;
  m_pEventSink = pEventSink;
  IThread::Start();
  // Without workers every fetch and route check is dropped (and logged).
  m_FetchPool.Start();
  m_RoutePool.Start();

  // Without the stack library the run goes on without Bluetooth.
  if (bEnableBluetooth) InitializeBluetooth(bEnableBluetooth);

  std::string location;
  if (platform::ReadRegistryString("IdentServiceDefaultLocation", 256, location) == ERROR_SUCCESS) {
    std::string why;
    if (!GetBrand(m_uiBrand, &why)) {
      TraceStartFailure("CVCIIdentClient::Initialize No brand: %s", why.c_str());
      return -1;
    }
    LoadCaches(location);
  }

  int32_t r = OpenSockets();
  if (r == 0 && bEnableBluetooth) {
    m_pDefDevice.reset(new (std::nothrow) CDefDevice(this));
    if (!m_pDefDevice) r = -1;
  }
  if (r == 0) {
    TraceLog(TRACE_INFO, "CVCIIdentClient::Initialize VCI Identification Service finished initialization");
    m_bInitialized = true;
  }
  TraceLog(TRACE_INFO, "CVCIIdentClient::Initialize Leaving");
  return r;
}

void CVCIIdentClient::LoadCaches(const std::string& location) {
  std::string folder = platform::JoinPath(location, "data_files");
  if (!platform::CreateFolders(folder)) return;
  char name[64];
  snprintf(name, sizeof name, "%s_%d.bin", kValidModule, static_cast<int>(m_uiBrand));
  m_sValidModulePath = platform::JoinPath(folder, name);
  snprintf(name, sizeof name, "%s_%d.bin", kInvalidModule, static_cast<int>(m_uiBrand));
  m_sInvalidModulePath = platform::JoinPath(folder, name);
  // A store that was killed before its rename left its temporary file; no
  // store is running now.
  for (const auto& entry : platform::FolderEntries(folder)) {
    if (!IsStoreTemporary(entry.first)) continue;
    TraceLog(TRACE_WARN, "CVCIIdentClient::Initialize Removing %s, left by a store that did not end",
             entry.second.c_str());
    platform::RemoveFile(entry.second);
  }
  // A file that exists and does not load is deleted, so that the next store
  // starts it afresh.
  if (m_VCICachedMap.Load(m_sValidModulePath) != 0) {
    TraceLog(TRACE_WARN, "CVCIIdentClient::Initialize Unable to load cached Modules");
    platform::RemoveFile(m_sValidModulePath);
  }
  if (m_InvalidVCIList.Load(m_sInvalidModulePath) != 0) {
    TraceLog(TRACE_WARN, "CVCIIdentClient::Initialize Unable to load invalid module cache");
    platform::RemoveFile(m_sInvalidModulePath);
  }
}

bool CVCIIdentClient::IsStoreTemporary(const std::string& name) {
  std::string target;
  if (!platform::TemporaryFileTarget(name, target)) return false;
  if (target == kBtFileName) return true;
  // <cache>_<brand number>.bin
  for (const std::string stem : {kValidModule, kInvalidModule}) {
    const std::string prefix = stem + "_", suffix = ".bin";
    if (target.size() <= prefix.size() + suffix.size() || target.compare(0, prefix.size(), prefix) != 0 ||
        target.compare(target.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    const std::string brand = target.substr(prefix.size(), target.size() - prefix.size() - suffix.size());
    const size_t digits = brand[0] == '-' ? 1 : 0;
    if (brand.size() > digits && brand.find_first_not_of("0123456789", digits) == std::string::npos) return true;
  }
  return false;
}

int32_t CVCIIdentClient::AddAll(const CIFList& list, int& counted) {
  for (const auto& entry : list.GetIFs()) {
    int32_t r = AddIF(entry.first);
    if (r == IDENT_IF_REGISTERED) continue;
    if (r != 0) {
      TraceLog(TRACE_WARN, "CVCIIdentClient::Initialize Failed to add IF %s", entry.first.c_str());
      return r;
    }
    ++counted;
  }
  return 0;
}

int32_t CVCIIdentClient::OpenSockets() {
  CIFMonitor& monitor = CIFMonitor::GetInstance();
  int counted = 0;
  for (;;) {
    int32_t r = monitor.RefreshAddressList(m_IFList);
    if (r == 0) r = AddAll(m_IFList, counted);
    if (r == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(ADDRESS_RETRY_MS));
    TraceLog(TRACE_INFO, "CVCIIdentClient::Initialize Getting PCs Addresses");
    if (monitor.RefreshAddressList(m_IFList) == 0) break;
  }
  CIFList current;
  m_bRegistered = true;
  int32_t r = monitor.Register(this, current);
  if (current != m_IFList) {
    TraceLog(TRACE_WARN, "CVCIIdentClient::Initialize IF Count not the same");
    if (r == 0) r = AddAll(current, counted);
  }
  m_IFList = current;
  TraceLog(TRACE_INFO, "CVCIIdentClient::Initialize %d interfaces up and registered", counted);
  return r;
}

int32_t CVCIIdentClient::Uninitialize() {
  TraceLog(TRACE_INFO, "CVCIIdentClient::Uninitialize Entering");
  int32_t result = 0;
  if (m_bBtEnabled) {
    m_pDefDevice.reset();  // joins the watcher, and with it a command it runs
    // A command from a client (the restart after a broken event connection,
    // say) may run right now: the manager destroys the stack binding that
    // the command uses and stops the discovery that the command may be
    // about to start, so it goes only between commands. A command that
    // comes later finds no stack and fails.
    CMutexLock commands(m_CmdLock);
    result = m_BtMgr.Uninitialize();
    if (result != 0) TraceLog(TRACE_ERR, "CVCIIdentClient::Uninitialize Bluetooth failed to uninitialize");
  }
  bool registered;
  {
    CMutexLock ifList(m_IFListLock);
    registered = m_bRegistered;
    m_bRegistered = false;
  }
  if (registered) {
    TraceLog(TRACE_INFO, "CVCIIdentClient::Uninitialize Unregistering from IF Monitor");
    CIFMonitor::GetInstance().Unregister(this);
  }
  IThread::Stop();

  TraceLog(TRACE_INFO, "CVCIIdentClient::Uninitialize Deleting listening sockets");
  {
    CMutexLock ifList(m_IFListLock);
    for (auto& socket : m_Sockets) socket.second->Shutdown();
    m_Sockets.clear();
    m_IFList.Clear();
  }

  // The fetches and route checks are aborted together, and the workers
  // that run them joined without the table lock, which they take to store
  // what they found.
  std::map<uint32_t, std::shared_ptr<CAcquireDeviceStats>> fetches;
  std::map<std::string, std::shared_ptr<CCheckDeviceRoute>> routes;
  {
    CMutexLock table(m_TableLock);
    fetches.swap(m_AcquireDeviceStatsMap);
    routes.swap(m_CheckDeviceRouteMap);
  }
  for (auto& f : fetches) f.second->Abort();
  for (auto& c : routes) c.second->Abort();
  m_FetchPool.Stop();
  m_RoutePool.Stop();
  fetches.clear();
  routes.clear();
  {
    CMutexLock table(m_TableLock);
    m_VCIStatusDynMap.Clear();
    m_SenderTally.Clear();
    m_VCICachedMap.Clear();
    m_BtVciMap.clear();
    m_BindMap.Clear();
  }
  m_bInitialized = false;
  m_bStarted = false;
  m_pEventSink = nullptr;
  TraceLog(TRACE_INFO, "CVCIIdentClient::Uninitialize Leaving");
  return result;
}

void CVCIIdentClient::Run(uint32_t, uint32_t) {
  TraceLog(TRACE_INFO, "CVCIIdentClient::Run Entering");
  // The Bluetooth network connection starts switched off.
  if (m_bBtEnabled) {
    EnableInterface(true);
    EnableInterface(false);
  }
  SignalStarted();
  TraceLog(TRACE_INFO, "CVCIIdentClient::Run VCI Timeout monitor started");
  CUniqueLock lock(GetLock());
  while (!IsStopRequested()) {
    WaitForStop(SWEEP_INTERVAL_MS);
    if (IsStopRequested()) break;
    lock.Unlock();
    uint32_t events = Sweep(TimePoint::Now());
    if (events != 0) Notify(EVENT_VCI_STATUS, events);
    lock.Lock();
  }
  lock.Unlock();
  if (m_bBtEnabled) {
    int32_t r = EnableInterface(false);
    TraceLog(TRACE_INFO, "CVCIIdentClient::Run Disabling Bluetooth IF: iRet = %d", r);
  }
  TraceLog(TRACE_INFO, "CVCIIdentClient::Run Leaving");
}

uint32_t CVCIIdentClient::Sweep(const TimePoint& now) {
  std::vector<std::shared_ptr<CAcquireDeviceStats>> doneFetches;
  std::vector<std::shared_ptr<CCheckDeviceRoute>> doneRoutes;
  uint32_t events = 0;
  bool trim = false;
  {
    CMutexLock table(m_TableLock);
    const size_t listed = m_VCIStatusDynMap.Count();
    if (m_VCIStatusDynMap.CheckTimeouts(now)) {
      TraceLog(TRACE_INFO, "CVCIIdentClient::Run Timeout Monitor: Notifying Upper");
      events |= EVENT_TABLE_CHANGED;
    }
    // The tally holds entries of the table only: it needs a walk when
    // the sweep removed some, not at every pass.
    if (m_VCIStatusDynMap.Count() < listed) m_SenderTally.Prune(m_VCIStatusDynMap);
    m_uiSweptSinceTrim += listed - m_VCIStatusDynMap.Count();
    trim = m_uiSweptSinceTrim >= TRIM_AFTER_SWEPT;
    if (trim) m_uiSweptSinceTrim = 0;
    bool completed = false, bindingsChanged = false;
    for (auto it = m_AcquireDeviceStatsMap.begin(); it != m_AcquireDeviceStatsMap.end();) {
      bool success = false, bound = false;
      if (!it->second->GetFlags(success, bound)) {
        ++it;
        continue;
      }
      completed = completed || success;
      bindingsChanged = bindingsChanged || bound;
      doneFetches.push_back(std::move(it->second));
      it = m_AcquireDeviceStatsMap.erase(it);
    }
    for (auto it = m_CheckDeviceRouteMap.begin(); it != m_CheckDeviceRouteMap.end();) {
      if (!it->second->IsFinished()) {
        ++it;
        continue;
      }
      doneRoutes.push_back(std::move(it->second));
      it = m_CheckDeviceRouteMap.erase(it);
    }
    if (completed) {
      TraceLog(TRACE_INFO, "CVCIIdentClient::Run Acquire Stats complete: Notifying Upper");
      events |= EVENT_TABLE_CHANGED;
    }
    if (bindingsChanged) {
      TraceLog(TRACE_INFO, "CVCIIdentClient::Run Bindings Changed: Notifying Upper");
      events |= EVENT_BINDINGS_CHANGED;
    }
  }
  // Finished fetches and route checks go here, after the table lock is
  // released (or with their worker, if it has not let go of them yet).
  doneFetches.clear();
  doneRoutes.clear();
  // The allocator keeps what the swept entries held, which after a flood
  // of spoofed VCIs is many times what the real ones need.
  if (trim) ReleaseFreeMemory();
  return events;
}

int32_t CVCIIdentClient::AddIF(const std::string& address) {
  TraceLog(TRACE_INFO, "CVCIIdentClient::AddIF Entering");
  if (m_Sockets.count(address) != 0) {
    TraceLog(TRACE_WARN, "CVCIIdentClient::AddIF Interface is alread registered");
    return IDENT_IF_REGISTERED;
  }
  std::unique_ptr<CServerSocket> socket(new (std::nothrow) CServerSocket(this));
  if (!socket) return -1;
  socket->SetLocalAddress(address);
  int32_t r = socket->Initialize(SOCKTYPE_UDP_MULTICAST, ANNOUNCE_PORT, false);
  if (r == 0) {
    TraceLog(TRACE_INFO, "CVCIIdentClient::AddIF Adding IF: %s", address.c_str());
    m_Sockets[address] = std::move(socket);
  } else {
    TraceLog(TRACE_WARN, "CVCIIdentClient::AddIF AddIf Error iRet = %d", r);
  }
  TraceLog(TRACE_INFO, "CVCIIdentClient::AddIF Leaving");
  return r;
}

int32_t CVCIIdentClient::DeleteIF(const std::string& address) {
  TraceLog(TRACE_INFO, "CVCIIdentClient::DeleteIF Entering");
  TraceLog(TRACE_INFO, "CVCIIdentClient::DeleteIF Deleting IF: %s", address.c_str());
  if (address.find(kBluetoothSubnet) != std::string::npos) {
    CMutexLock lock(m_IFLock);
    m_bIFSeen = true;
    m_IFCond.NotifyAll();
  }
  int32_t r = 0;
  auto it = m_Sockets.find(address);
  if (it != m_Sockets.end()) {
    r = it->second->Shutdown();
    m_Sockets.erase(it);
  }
  ClearIFBinding(address);
  TraceLog(TRACE_INFO, "CVCIIdentClient::DeleteIF Leaving");
  return r;
}

void CVCIIdentClient::OnIFNotify() {
  TraceLog(TRACE_INFO, "CVCIIdentClient::OnIFNotify Entering");
  CMutexLock ifList(m_IFListLock);
  CIFList current;
  CIFMonitor::GetInstance().GetIFList(current);
  if (current != m_IFList) {
    int32_t r = 0;
    for (const auto& entry : m_IFList.GetIFs()) {
      if (current.Contains(entry.first)) continue;
      r = DeleteIF(entry.first);
      TraceLog(TRACE_INFO, "CVCIIdentClient::OnIFNotify() DeleteIF iRet = %d", r);
      if (r != 0) break;
    }
    for (const auto& entry : current.GetIFs()) {
      if (r != 0) break;
      if (m_IFList.Contains(entry.first)) continue;
      r = AddIF(entry.first);
      TraceLog(TRACE_INFO, "CVCIIdentClient::OnIFNotify() AddIF iRet = %d", r);
    }
    if (r == 0) NotifyUsb(0);
  }
  m_IFList = current;
  TraceLog(TRACE_INFO, "CVCIIdentClient::OnIFNotify Leaving");
}

void CVCIIdentClient::OnIFError(int32_t iError) {
  TraceLog(TRACE_INFO, "CVCIIdentClient::OnIFError Entering");
  {
    CMutexLock ifList(m_IFListLock);
    for (const auto& entry : m_IFList.GetIFs()) {
      int32_t r = DeleteIF(entry.first);
      TraceLog(TRACE_INFO, "CVCIIdentClient::OnIFError() DeleteIF iRet = %d", r);
      if (r != 0) break;
    }
    m_IFList.Clear();
  }
  {
    CMutexLock table(m_TableLock);
    m_VCIStatusDynMap.Clear();
    m_SenderTally.Clear();
  }
  if (iError >= 1 && iError <= 4) Notify(10 + static_cast<uint32_t>(iError), 2u << iError);
  NotifyUsb(static_cast<uint32_t>(iError));
  TraceLog(TRACE_INFO, "CVCIIdentClient::OnIFError Leaving");
}

int CVCIIdentClient::OnDataReceived(CArchiveBuffer& request, CArchiveBuffer&, const std::string& remoteAddress,
                                    const std::string& localAddress) {
  TraceLog(TRACE_INFO, "CVCIIdentClient::OnDataReceived Entering");
  CMutexLock receive(m_RecvLock);
  m_uiDatagrams.fetch_add(1, std::memory_order_relaxed);
  // The socket hands over the datagram behind its length word: fewer than
  // 4 bytes there is no datagram with an id word.
  if (request.GetDataLength() == 0) {
    TraceLog(TRACE_ERR, "CVCIIdentClient::OnDataReceived Serialization buffer ERROR");
    return 0;
  }
  request.Rewind(CArchiveBuffer::LOADING);
  uint32_t id = 0;
  bool hasId = request.Read(id);
  request.Rewind(CArchiveBuffer::LOADING);
  int32_t r = 0;
  if (hasId && id == OBJID_CVCIStatusMsg) {
    CVCIStatusMsg msg;
    if (!msg.Serialize(request)) {
      TraceLog(TRACE_ERR, "CVCIIdentClient::OnDataReceived StatusMsg.Serialize ERROR");
      return 0;
    }
    r = ProcessLegacyStatusMsg(msg, remoteAddress, localAddress);
    if (r != 0) TraceLog(TRACE_WARN, "Error processing ProcessLegacyStatusMsg iRet = %d", r);
  } else if (hasId && id == OBJID_CVCIIdentMsg) {
    // The zones are copied when the configuration published new settings,
    // not for every datagram.
    const CIdentConfig& config = CIdentConfig::GetInstance();
    const uint64_t generation = config.GetSettingsGeneration();
    if (generation != m_uiZonesGeneration) {
      std::shared_ptr<const CIdentConfig::CSettings> settings = config.GetSettings();
      m_uiZoneCount = settings->GetZonesInUse();
      std::copy(settings->m_Zones, settings->m_Zones + m_uiZoneCount, m_Zones);
      m_uiZonesGeneration = generation;
    }
    CVCIIdentMsg msg;
    msg.SetLinkQualityZones(m_uiZoneCount, m_Zones);
    if (!msg.Serialize(request)) {
      TraceLog(TRACE_ERR, "CVCIIdentClient::OnDataReceived IdentMsg.Serialize ERROR");
      return 0;
    }
    r = ProcessIncomingStatus(msg, remoteAddress, localAddress);
    if (r != 0) {
      TraceLog(TRACE_ERR, "CVCIIdentClient::OnDataReceived ProcessIncomingStatus ERROR = %d", r);
      return 0;
    }
  } else if (hasId && id == OBJID_CRecoveryStatus) {
    CRecoveryStatus msg;
    if (!msg.Serialize(request)) {
      TraceLog(TRACE_ERR, "CVCIIdentClient::OnDataReceived RecoveryMsg.Serialize ERROR");
      return 0;
    }
    r = ProcessIncomingRecovery(msg, remoteAddress, localAddress);
    if (r != 0) TraceLog(TRACE_ERR, "CVCIIdentClient::OnDataReceived ProcessIncomingRecovery ERROR iRet = %d", r);
  } else {
    TraceLog(TRACE_ERR, "CVCIIdentClient::OnDataReceived UNKNOWN PACKET");
  }
  if (r != 0) TraceLog(TRACE_ERR, "CVCIIdentClient::OnDataReceived Error Processing Message");
  TraceLog(TRACE_INFO, "CVCIIdentClient::OnDataReceived Leaving");
  return 0;
}

bool CVCIIdentClient::OnErrorDetected(int) { return true; }

void CVCIIdentClient::OnAccept(const std::string&) {}

int32_t CVCIIdentClient::ProcessLegacyStatusMsg(const CVCIStatusMsg& msg, const std::string& remote,
                                                const std::string& local) {
  TraceLog(TRACE_INFO, "CVCIIdentClient::ProcessLegacyStatusMsg Entering");
  int32_t r = ProcessIncomingStatus(msg.ToIdentMsg(), remote, local);
  TraceLog(TRACE_INFO, "CVCIIdentClient::ProcessLegacyStatusMsg Leaving");
  return r;
}

int32_t CVCIIdentClient::ProcessIncomingRecovery(const CRecoveryStatus& msg, const std::string& remote,
                                                 const std::string& local) {
  TraceLog(TRACE_INFO, "CVCIIdentClient::ProcessIncomingRecovery Entering");
  int32_t r = ProcessIncomingStatus(msg.ToIdentMsg(), remote, local);
  if (r != 0)
    TraceLog(TRACE_ERR, "CVCIIdentClient::ProcessIncomingRecovery Error processing Recovery Message iRet = %d", r);
  TraceLog(TRACE_INFO, "CVCIIdentClient::ProcessIncomingRecovery Leaving");
  return r;
}

int32_t CVCIIdentClient::ProcessIncomingStatus(const CVCIIdentMsg& msg, const std::string& remote,
                                               const std::string& local) {
  const uint32_t serial = msg.GetSerial();
  const uint32_t kind = msg.GetKind();
  const TimePoint now = TimePoint::Now();
  uint32_t events = 0;
  TraceLog(TRACE_INFO, "CVCIIdentClient::ProcessIncomingStatus Entering");
  {
    // A new serial number beyond a bound is dropped before anything is
    // made for it, a route check included.
    CMutexLock table(m_TableLock);
    if (!m_VCIStatusDynMap.Find(serial) && !MayAdd(serial, remote)) return 0;
  }
  if (!CheckIsAddrRoutable(remote, local, msg, m_uiBrand, serial)) {
    TraceLog(TRACE_WARN, "CVCIIdentClient::ProcessIncomingStatus SN:%d Address %s is not routable", serial,
             remote.c_str());
    return 0;
  }
  TraceLog(TRACE_INFO, "CVCIIdentClient::ProcessIncomingStatus SN:%d IP = %s, SendIF = %s, Local = %s", serial,
           remote.c_str(), KindName(kind), local.c_str());
  {
    CMutexLock lock(m_IFLock);
    if (m_bWaitingForIF && remote == kBluetoothVciAddress) {
      m_bIFSeen = true;
      m_IFCond.NotifyAll();
    }
  }
  int32_t r = 0;
  {
    CMutexLock table(m_TableLock);
    CVCIStatusDynItem& item = AddEntry(serial, remote);
    bool stored = false;
    if (item.m_Status.m_uiSerial != 0) {
      if (item.HasChanged(msg)) {
        TraceLog(TRACE_INFO, "CVCIIdentClient::ProcessIncomingStatus SN:%d Change in Status", serial);
        r = UpdateDetectedVCIs(msg, local, remote, stored);
        if (r == 0) {
          item.UpdateFromAnnouncement(msg);
          events |= EVENT_TABLE_CHANGED;
        }
      }
    } else {
      TraceLog(TRACE_INFO, "CVCIIdentClient::ProcessIncomingStatus SN:%d New QMX detected", serial);
      r = UpdateDetectedVCIs(msg, local, remote, stored);
    }
    if (r == 0) {
      if (SetIFBindingLocked(local, remote, now)) events |= EVENT_BINDINGS_CHANGED;
      item.AddKinds(kind);
      if (item.SetKindAddress(now, kind, remote.c_str())) {
        events |= EVENT_TABLE_CHANGED;
        TraceLog(TRACE_INFO, "CVCIIdentClient::ProcessIncomingStatus SN:%d Change in interface detected", serial);
      }
      if (stored) events |= EVENT_TABLE_CHANGED;
    }
  }
  if (r == 0 && events != 0) {
    TraceLog(TRACE_INFO, "CVCIIdentClient::ProcessIncomingStatus Notifying Upper: Events = %x", events);
    Notify(EVENT_VCI_STATUS, events);
  }
  TraceLog(TRACE_INFO, "CVCIIdentClient::ProcessIncomingStatus Leaving");
  return 0;
}

bool CVCIIdentClient::SetIFBinding(const std::string& local, const std::string& foreign) {
  const TimePoint now = TimePoint::Now();
  CMutexLock table(m_TableLock);
  return SetIFBindingLocked(local, foreign, now);
}

bool CVCIIdentClient::SetIFBindingLocked(const std::string& local, const std::string& foreign, const TimePoint& now) {
  TraceLog(TRACE_INFO, "CVCIIdentClient::SetIFBinding Entering");
  // One lookup for the address already bound, which every announcement of
  // a listed VCI is.
  auto it = m_BindMap.m_Map.find(foreign);
  if (it == m_BindMap.m_Map.end()) {
    if (!MakeRoomForBinding(foreign)) {
      TraceLog(TRACE_INFO, "CVCIIdentClient::SetIFBinding Leaving");
      return false;
    }
    it = m_BindMap.m_Map.emplace(foreign, CBindMap::BindingList()).first;
  }
  CBindMap::BindingList& bindings = it->second;
  bool added = true;
  for (CBindMap::Binding& b : bindings)
    if (b.m_strLocal == local) {
      b.m_Confirmed = now;
      added = false;
      break;
    }
  if (added) {
    TraceLog(TRACE_INFO, "CVCIIdentClient::SetIFBinding New Foreign Addr %s was bound to Local Addr %s has been added",
             foreign.c_str(), local.c_str());
    bindings.push_back(CBindMap::Binding{now, local});
  }
  TraceLog(TRACE_INFO, "CVCIIdentClient::SetIFBinding Leaving");
  return added;
}

bool CVCIIdentClient::MakeRoomForBinding(const std::string& foreign) {
  if (m_BindMap.Count() < MAX_BINDINGS) return true;
  std::set<std::string> listed;
  for (auto& entry : m_VCIStatusDynMap.m_Map)
    for (auto& kind : entry.second.m_KindTable) listed.insert(kind.second.first);
  for (auto it = m_BindMap.m_Map.begin(); it != m_BindMap.m_Map.end();)
    it = listed.count(it->first) ? std::next(it) : m_BindMap.m_Map.erase(it);
  if (m_BindMap.Count() < MAX_BINDINGS) return true;
  uint64_t dropped = 0;
  if (m_DroppedBindings.Due(dropped))
    TraceLog(TRACE_WARN,
             "CVCIIdentClient::SetIFBinding %s not bound: %u addresses of listed VCIs bound, the most there may be "
             "(%llu bindings refused since the last report)",
             foreign.c_str(), static_cast<uint32_t>(m_BindMap.Count()), Count(dropped));
  return false;
}

void CVCIIdentClient::CacheDetails(uint32_t serial, const CVCICachedItem& item) {
  std::map<uint32_t, CVCICachedItem>& cache = m_VCICachedMap.m_Map;
  if (cache.size() >= MAX_CACHED_VCIS && cache.count(serial) == 0) {
    auto unlisted = std::find_if(cache.begin(), cache.end(),
                                 [this](const std::pair<const uint32_t, CVCICachedItem>& e)
                                     REQUIRES(m_TableLock) { return m_VCIStatusDynMap.Find(e.first) == nullptr; });
    if (unlisted == cache.end()) {
      uint64_t dropped = 0;
      if (m_UncachedVcis.Due(dropped))
        TraceLog(TRACE_WARN,
                 "CAcquireDeviceStats::Run SN %d not cached: %u listed VCIs cached, the most there may be "
                 "(%llu VCIs left out since the last report)",
                 serial, static_cast<uint32_t>(cache.size()), Count(dropped));
      return;
    }
    cache.erase(unlisted);
  }
  m_VCICachedMap.Set(serial, item);
}

CVCIIdentClient::CacheSnapshot CVCIIdentClient::SnapshotCache() {
  CacheSnapshot snapshot;
  snapshot.generation = ++m_uiCacheSnapshots;
  std::shared_ptr<CArchiveBuffer> ar(new (std::nothrow) CArchiveBuffer(CArchiveBuffer::STORING));
  if (ar && ar->IsUsable() && cache_file::Serialize(m_VCICachedMap, *ar, "m_VCICachedMap")) snapshot.archive = ar;
  return snapshot;
}

int32_t CVCIIdentClient::StoreCache(const CacheSnapshot& snapshot, int32_t& stored) {
  CMutexLock file(m_CacheFileLock);
  stored = -1;
  if (snapshot.generation <= m_uiCacheStored) {
    stored = 0;
  } else if (snapshot.archive) {
    stored = cache_file::Write(*snapshot.archive, m_sValidModulePath, "m_VCICachedMap");
    // A write that failed may have left the old file: a later snapshot is
    // written all the same.
    if (stored == 0) m_uiCacheStored = snapshot.generation;
  }
  CVCICachedMap readBack;
  return readBack.Load(m_sValidModulePath);
}

void CVCIIdentClient::ClearIFBinding(const std::string& local) {
  TraceLog(TRACE_INFO, "CVCIIdentClient::ClearIFBinding Entering");
  {
    CMutexLock table(m_TableLock);
    m_BindMap.RemoveLocal(local);
  }
  TraceLog(TRACE_INFO, "CVCIIdentClient::ClearIFBinding Notifying Upper: bindings cleared");
  Notify(EVENT_VCI_STATUS, EVENT_BINDINGS_CHANGED);
  TraceLog(TRACE_INFO, "CVCIIdentClient::ClearIFBinding Leaving");
}

bool CVCIIdentClient::IsOnLocalSubnet(const std::string& remote) const {
  in_addr address{};
  std::vector<CInterfaceAddress> interfaces;
  if (inet_pton(AF_INET, remote.c_str(), &address) != 1) return false;
  // A machine whose interfaces cannot be listed trusts every sender.
  if (GetInterfaceAddresses(interfaces, INTERFACE_LIST_MAX) != ERROR_SUCCESS) return true;
  for (const CInterfaceAddress& i : interfaces)
    if ((address.s_addr & i.Mask) == (i.Address & i.Mask)) return true;
  return false;
}

bool CVCIIdentClient::CheckIsAddrRoutable(const std::string& remote, const std::string& local,
                                          const CVCIIdentMsg& msg, uint32_t brand, uint32_t serial) {
  TraceLog(TRACE_INFO, "CVCIIdentClient::CheckIsAddrRoutable Entering");
  if (remote.empty() || local.empty()) return false;
  CMutexLock table(m_TableLock);
  if (msg.IsTokenZero()) return true;
  if (!m_BindMap.GetLocalAddr(remote).empty()) return true;
  if (IsOnLocalSubnet(remote)) return true;
  if (m_CheckDeviceRouteMap.count(remote) != 0) {
    TraceLog(TRACE_INFO, "CVCIIdentClient::CheckIsAddrRoutable Address %s is currenlty being routed", remote.c_str());
    return false;
  }
  uint64_t dropped = 0;
  if (m_CheckDeviceRouteMap.size() >= MAX_ROUTE_CHECKS) {
    if (m_DroppedRouteChecks.Due(dropped))
      TraceLog(TRACE_WARN,
               "CVCIIdentClient::CheckIsAddrRoutable Address %s not checked: %u route checks pending, the most "
               "there may be (%llu dropped since the last report)",
               remote.c_str(), static_cast<uint32_t>(MAX_ROUTE_CHECKS), Count(dropped));
    return false;
  }
  std::shared_ptr<CCheckDeviceRoute> check = MakeJob<CCheckDeviceRoute>(remote, local, this, brand, serial);
  if (!check) {
    TraceLog(TRACE_ERR, "CVCIIdentClient::CheckIsAddrRoutable pDevRoute == NULL");
    return false;
  }
  if (!m_RoutePool.Post(check)) {
    if (m_DroppedRouteChecks.Due(dropped))
      TraceLog(TRACE_WARN,
               "CVCIIdentClient::CheckIsAddrRoutable Address %s not checked: no worker takes it (%llu dropped since "
               "the last report)",
               remote.c_str(), Count(dropped));
    return false;
  }
  m_CheckDeviceRouteMap[remote] = check;
  TraceLog(TRACE_INFO, "CVCIIdentClient::CheckIsAddrRoutable Leaving");
  return false;
}

int32_t CVCIIdentClient::UpdateDetectedVCIs(const CVCIIdentMsg& msg, const std::string& local,
                                            const std::string& remote, bool& stored) {
  TraceLog(TRACE_INFO, "CVCIIdentClient::UpdateDetectedVCIs Entering");
  const uint32_t serial = msg.GetSerial();
  // Looked up without adding: an empty item for every serial number heard
  // would stay in the cache and its file for good.
  const CVCICachedItem* cached = m_VCICachedMap.Find(serial);
  if (cached) {
    if (cached->HasToken(msg)) {
      const CVCIStatus& c = cached->m_Status;
      CVCIStatusDynItem& item = m_VCIStatusDynMap.FindOrAdd(serial);
      item.m_Status.AssignKeepingKinds(CVCIStatus(serial, msg.GetModuleState(), c.m_SysComps, c.m_Apps,
                                                  c.m_AppComps, c.m_DeviceInfo, msg.GetSessions(),
                                                  msg.GetWireless(), c.m_uiModuleType));
      item.m_Token[0] = msg.GetTokenLow();
      item.m_Token[1] = msg.GetTokenHigh();
      TraceLog(TRACE_INFO, "CVCIIdentClient::UpdateDetectedVCIs SN %d found in cache, using cached info", serial);
      stored = true;
      return 0;
    }
    TraceLog(TRACE_INFO, "CVCIIdentClient::UpdateDetectedVCIs SN %d found in cache, but device info changed", serial);
  } else {
    TraceLog(TRACE_INFO, "CVCIIdentClient::UpdateDetectedVCIs SN %d not found in cache, retrieving info from device",
             serial);
  }

  uint32_t moduleType = msg.GetModuleType();
  bool legacy = false;
  CArgList deviceInfo;
  if (!msg.IsTokenZero()) {
    if (msg.GetModuleState() != VCI_MODULE_STATE_RECOVERY) {
      if (m_AcquireDeviceStatsMap.count(serial) != 0)
        TraceLog(TRACE_INFO, "CVCIIdentClient::UpdateDetectedVCIs AcquireDeviceStatsMap found for device %d", serial);
      else
        StartFetch(msg, local, remote);
      return IDENT_FETCH_PENDING;
    }
    moduleType = m_uiBrand;
  } else {
    legacy = true;
    if (moduleType == 0) moduleType = m_uiBrand;
    char text[16];
    snprintf(text, sizeof text, "%d", static_cast<int>(msg.GetProductVersion()));
    deviceInfo.SetValue("ProductVersion", text);
    snprintf(text, sizeof text, "%X", msg.GetProductDate());
    deviceInfo.SetValue("ProductDate", text);
    TraceLog(TRACE_INFO, "CVCIIdentClient::UpdateDetectedVCIs SN %d Legacy ident service packet detected", serial);
  }
  CVCIStatusDynItem item;
  item.m_Status = CVCIStatus(serial, msg.GetModuleState(), CCompList(), CAppList(), CCompList(), deviceInfo,
                             msg.GetSessions(), msg.GetWireless(), moduleType);
  item.m_Status.m_bLegacy = legacy;
  item.m_Token[0] = msg.GetTokenLow();
  item.m_Token[1] = msg.GetTokenHigh();
  m_VCIStatusDynMap.FindOrAdd(serial) = item;
  stored = true;
  TraceLog(TRACE_INFO, "CVCIIdentClient::UpdateDetectedVCIs Leaving");
  return 0;
}

bool CVCIIdentClient::MayAdd(uint32_t serial, const std::string& sender) {
  const uint32_t listed = static_cast<uint32_t>(m_VCIStatusDynMap.Count());
  const uint32_t fromSender = listed < MAX_VCIS ? m_SenderTally.Count(sender) : 0;
  if (listed < MAX_VCIS && fromSender < MAX_VCIS_PER_SENDER) return true;
  uint64_t dropped = 0;
  if (!m_DroppedVcis.Due(dropped)) return false;
  if (listed >= MAX_VCIS)
    TraceLog(TRACE_WARN,
             "CVCIIdentClient::ProcessIncomingStatus SN:%d from %s dropped: %u VCIs in the table, the most it "
             "takes (%llu new serial numbers dropped since the last report)",
             serial, sender.c_str(), listed, Count(dropped));
  else
    TraceLog(TRACE_WARN,
             "CVCIIdentClient::ProcessIncomingStatus SN:%d from %s dropped: %u VCIs from that address in the "
             "table, the most one address may add (%llu new serial numbers dropped since the last report)",
             serial, sender.c_str(), fromSender, Count(dropped));
  return false;
}

CVCIStatusDynItem& CVCIIdentClient::AddEntry(uint32_t serial, const std::string& sender) {
  if (CVCIStatusDynItem* item = m_VCIStatusDynMap.Find(serial)) return *item;
  m_SenderTally.Add(serial, sender);
  return m_VCIStatusDynMap.FindOrAdd(serial);
}

void CVCIIdentClient::StartFetch(const CVCIIdentMsg& msg, const std::string& local, const std::string& remote) {
  const uint32_t serial = msg.GetSerial();
  uint32_t fromRemote = 0;
  for (const auto& f : m_AcquireDeviceStatsMap) fromRemote += f.second->GetRemote() == remote;
  uint32_t pending = static_cast<uint32_t>(m_AcquireDeviceStatsMap.size());
  const char* bound = "fetches pending, the most there may be";
  if (pending < MAX_FETCHES && fromRemote >= MAX_FETCHES_PER_SENDER) {
    pending = fromRemote;
    bound = "fetches from that address pending, the most one address may have";
  } else if (pending < MAX_FETCHES) {
    std::shared_ptr<CAcquireDeviceStats> fetch =
        MakeJob<CAcquireDeviceStats>(remote, local, msg.GetModuleType(), serial, this, msg);
    if (!fetch) {
      TraceLog(TRACE_ERR,
               "CVCIIdentClient::UpdateDetectedVCIs Can't create CAcquireDeviceStats from %s local %s SN = %d",
               remote.c_str(), local.c_str(), serial);
      return;
    }
    if (m_FetchPool.Post(fetch)) {
      m_AcquireDeviceStatsMap[serial] = fetch;
      return;
    }
    bound = "fetches pending, and no worker takes more";
  }
  uint64_t dropped = 0;
  if (m_DroppedFetches.Due(dropped))
    TraceLog(TRACE_WARN,
             "CVCIIdentClient::UpdateDetectedVCIs SN %d from %s not fetched: %u %s (%llu dropped since the last "
             "report)",
             serial, remote.c_str(), pending, bound, Count(dropped));
}

int32_t CVCIIdentClient::GetVCIStatusMap(CVCIStatusMap& map) {
  TraceLog(TRACE_INFO, "CVCIIdentClient::GetVCIStatusMap Entering");
  {
    CMutexLock table(m_TableLock);
    map.FillFrom(m_VCIStatusDynMap);
    for (const auto& bt : m_BtVciMap) {
      uint32_t serial = static_cast<uint32_t>(strtoul(bt.first.c_str(), nullptr, 10));
      auto it = map.m_Map.find(serial);
      if (it != map.m_Map.end()) {
        it->second.m_bBluetooth = true;
        continue;
      }
      CArgList deviceInfo;
      deviceInfo.SetValue("ProductVersion", std::to_string(bt.second.FW_Version));
      CVCIStatus status(serial, bt.second.ModuleState, CCompList(), CAppList(), CCompList(), deviceInfo,
                        CSessionList(), CArgList(), 0);
      status.m_bBluetooth = true;
      map.m_Map[serial] = status;
    }
  }
  TraceLog(TRACE_INFO, "CVCIIdentClient::GetVCIStatusMap Leaving");
  return 0;
}

size_t CVCIIdentClient::GetVCICount() {
  CMutexLock table(m_TableLock);
  if (m_BtVciMap.empty()) return m_VCIStatusDynMap.Count();
  // Bluetooth VCIs merge into the table by serial number.
  CVCIStatusMap map;
  GetVCIStatusMap(map);
  return map.Count();
}

bool CVCIIdentClient::SerializeVCIStatusMap(CArchiveBuffer& ar) {
  CMutexLock table(m_TableLock);
  if (!m_BtVciMap.empty()) {
    CVCIStatusMap map;
    GetVCIStatusMap(map);
    return map.Serialize(ar);
  }
  CVCIStatusMap head;
  bool ok = head.StoreHead(ar, static_cast<uint32_t>(m_VCIStatusDynMap.Count()));
  m_VCIStatusDynMap.ForEachStatus(
      [&](uint32_t, CVCIStatus& status) { ok = ok && status.Serialize(ar); });
  return ok;
}

int32_t CVCIIdentClient::GetBindMap(CBindMap& map) {
  TraceLog(TRACE_INFO, "CVCIIdentClient::GetBindMap Entering");
  {
    CMutexLock table(m_TableLock);
    map = m_BindMap;
  }
  TraceLog(TRACE_INFO, "CVCIIdentClient::GetBindMap Leaving");
  return 0;
}

int32_t CVCIIdentClient::OnVciBtDetect(const BtVciInfoMap* pDetected) {
  bool any = false;
  {
    CMutexLock table(m_TableLock);
    for (const auto& d : *pDetected) {
      const BtVciInfo& found = d.second;
      auto it = m_BtVciMap.find(d.first);
      bool changed = it == m_BtVciMap.end();
      if (changed) {
        TraceLog(TRACE_INFO, "CVCIIdentClient::OnVciBtDetect *******New VCI Detected ********************");
        TraceLog(TRACE_INFO, "CVCIIdentClient::OnVciBtDetect BTSCAN SN %s", d.first.c_str());
        m_BtVciMap[d.first] = found;
      } else {
        TraceLog(TRACE_INFO, "CVCIIdentClient::OnVciBtDetect BTSCAN SN %s", d.first.c_str());
        BtVciInfo& known = it->second;
        changed = known.FW_Version != found.FW_Version || known.ModuleType != found.ModuleType ||
                  known.BDADDR != found.BDADDR || known.ModuleState != found.ModuleState;
        known.FW_Version = found.FW_Version;
        known.ModuleType = found.ModuleType;
        known.BDADDR = found.BDADDR;
        known.ModuleState = found.ModuleState;
      }
      if (changed) UpdateDetectedVCIs(d.first, found);
      any = any || changed;
    }
    if (!CIdentConfig::GetInstance().GetLoadVCIs())
      for (auto it = m_BtVciMap.begin(); it != m_BtVciMap.end();) {
        if (pDetected->count(it->first) != 0) {
          ++it;
          continue;
        }
        TraceLog(TRACE_INFO, "CVCIIdentClient::OnVciBtDetect Erasing %s from primary Map", it->first.c_str());
        it = m_BtVciMap.erase(it);
        any = true;
      }
  }
  if (any) Notify(EVENT_VCI_STATUS, EVENT_TABLE_CHANGED);
  TraceLog(TRACE_INFO, "CVCIIdentClient::OnVciBtDetect Leaving");
  return 0;
}

int32_t CVCIIdentClient::OnVciBtError(int32_t iError) {
  Notify(EVENT_BT_ERROR, static_cast<uint32_t>(iError));
  {
    CMutexLock table(m_TableLock);
    m_BtVciMap.clear();
  }
  Notify(EVENT_VCI_STATUS, EVENT_TABLE_CHANGED);
  return 0;
}
