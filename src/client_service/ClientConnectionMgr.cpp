#include "client_service/ClientConnectionMgr.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>
#include <vector>

#include "client_service/RegisteredClient.h"
#include "host/Brand.h"
#include "host/IdentConfig.h"
#include "host/TraceLog.h"
#include "platform/Files.h"
#include "platform/Kernel.h"
#include "platform/ListenSockets.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "platform/VersionInfo.h"
#include "records/BluetoothReq.h"
#include "records/IdentConnect.h"
#include "records/IdentDisconnect.h"
#include "records/IdentEvent.h"
#include "records/LogFile.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"
#include "transport/ControlServer.h"
#include "transport/SocketTypes.h"

namespace {

const DWORD kBluetoothValueSize = 240;
const DWORD kLocationValueSize = 256;
const char kProductName[] = "Identification Service";
const char kDataFolder[] = "data_files";
const uint32_t kEventArchiveSize = CArchiveBuffer::DEFAULT_SIZE;
const size_t kLargeBlockBytes = 1 << 20;

// The IdentEvent codes of the interface-monitor bits of an event mask.
const struct {
  uint32_t bit;
  uint32_t code;
} kIFErrorEvents[] = {{CConnMgrEvent::MASK_IF_ERROR_1, CIdentEvent_Send::EVENT_IF_ERROR_1},
                      {CConnMgrEvent::MASK_IF_ERROR_2, CIdentEvent_Send::EVENT_IF_ERROR_2},
                      {CConnMgrEvent::MASK_IF_ERROR_3, CIdentEvent_Send::EVENT_IF_ERROR_3},
                      {CConnMgrEvent::MASK_IF_ERROR_4, CIdentEvent_Send::EVENT_IF_ERROR_4}};

// One byte per piece of the product version, pieces split at blanks, tabs,
// newlines, points and commas: a decimal piece gives its value, one that
// begins with a letter a to f gives 10 to 15, any other nothing.
uint32_t VersionNumber(const std::string& text) {
  uint32_t value = 0;
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  char* save = nullptr;
  for (char* piece = strtok_r(buffer.data(), " \t\n.,", &save); piece != nullptr;
       piece = strtok_r(nullptr, " \t\n.,", &save)) {
    value <<= 8;
    const int c = static_cast<unsigned char>(piece[0]);
    if (std::isdigit(c))
      value |= static_cast<uint32_t>(std::atoi(piece));
    else if (std::tolower(c) >= 'a' && std::tolower(c) <= 'f')
      value |= static_cast<uint32_t>(10 + std::tolower(c) - 'a');
  }
  return value;
}

// The bytes of a record's serialised form (0 when it cannot be written).
uint32_t WireLength(CSerialize& record) {
  CArchiveBuffer ar(CArchiveBuffer::STORING);
  return record.Serialize(ar) ? ar.GetDataLength() : 0;
}

// Leaves the largest VCI records out of table until at least excess bytes
// of its serialised form are gone (a host of the LAN can stuff a record; the
// records of real VCIs are small); returns how many went.
uint32_t LeaveOutLargest(CVCIStatusMap& table, uint64_t excess) {
  std::vector<std::pair<uint32_t, uint32_t>> sizes;  // (bytes, serial number)
  for (auto& entry : table.m_Map) sizes.emplace_back(WireLength(entry.second), entry.first);
  std::sort(sizes.rbegin(), sizes.rend());
  uint64_t gone = 0;
  uint32_t count = 0;
  for (auto it = sizes.begin(); it != sizes.end() && gone < excess; ++it, ++count) {
    table.m_Map.erase(it->second);
    gone += it->first;
  }
  return count;
}

// Year, month and day of a compile date read as 4, 3 and 2 characters
// ("2026dec06"), packed into the three upper bytes.
uint32_t BuildDate(const std::string& text) {
  static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                        "jul", "aug", "sep", "oct", "nov", "dec"};
  if (text.size() < 9) return CClientConnectionMgr::UNKNOWN_BUILD_DATE;
  const uint32_t year = static_cast<uint32_t>(std::atoi(text.substr(0, 4).c_str()));
  uint32_t month = 0;
  for (uint32_t i = 0; i < 12; ++i)
    if (text.compare(4, 3, kMonths[i]) == 0) month = i + 1;
  const uint32_t day = static_cast<uint32_t>(std::atoi(text.substr(7, 2).c_str()));
  return (year << 24) + (month << 16) + (day << 8);
}

}  // namespace

std::atomic<CClientConnectionMgr::ShowWindowHook> CClientConnectionMgr::s_ShowWindowHook{nullptr};

CClientConnectionMgr& CClientConnectionMgr::GetInstance() {
  static CClientConnectionMgr manager;
  return manager;
}

CClientConnectionMgr::CClientConnectionMgr()
    : m_sProductName(kProductName),
      m_Random(static_cast<std::minstd_rand::result_type>(std::time(nullptr))),
      m_iSavedTraceLevel(CIdentConfig::GetInstance().GetTraceLevel()),
      m_bSavedPersist(CIdentConfig::GetInstance().GetPersist()),
      m_Status([this] { return StatusText(); }) {
  m_ClientSocketTimeouts.uiConnectWaitMs = EVENT_CONNECT_WAIT_MS;
}

CClientConnectionMgr::~CClientConnectionMgr() {
  if (m_bInitialized || m_pControlServer || m_pEventQueue) Uninitialize();
  if (!m_Clients.empty() || !m_Departing.empty()) DisconnectClients();
}

void CClientConnectionMgr::SetShowWindowHook(ShowWindowHook hook) { s_ShowWindowHook.store(hook); }

void CClientConnectionMgr::SetClientSocketTimeouts(const CClientSocket::Timeouts& timeouts) {
  CMutexLock request(m_RequestLock);
  m_ClientSocketTimeouts = timeouts;
}

void CClientConnectionMgr::SetRegistrationLimits(const RegistrationLimits& limits) {
  CMutexLock request(m_RequestLock);
  m_RegistrationLimits = limits;
}

bool CClientConnectionMgr::ReadVersionResource(uint32_t& versionNumber, uint32_t& buildDate) {
  static const char kSelf[] = "/proc/self/exe";
  versionNumber = 0;
  buildDate = 0;
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSize(kSelf, &handle);
  if (size == 0) return false;
  std::vector<unsigned char> block(size);
  if (!GetFileVersionInfo(kSelf, handle, size, block.data())) return false;
  void* p = nullptr;
  unsigned length = 0;
  if (!VerQueryValue(block.data(), "\\VarFileInfo\\Translation", &p, &length) || length < 4) return false;
  const WORD language = static_cast<const WORD*>(p)[0];
  const WORD codePage = static_cast<const WORD*>(p)[1];
  for (const char* name : {"FileDescription", "ProductName", "ProductVersion", "CompileDate"}) {
    char subBlock[96];
    std::snprintf(subBlock, sizeof subBlock, "\\StringFileInfo\\%04x%04x\\%s", language, codePage, name);
    if (!VerQueryValue(block.data(), subBlock, &p, &length)) return false;
    const std::string text(static_cast<const char*>(p));
    if (std::strcmp(name, "ProductVersion") == 0) versionNumber = VersionNumber(text);
    if (std::strcmp(name, "CompileDate") == 0) buildDate = BuildDate(text);
  }
  return true;
}

int32_t CClientConnectionMgr::Initialize() {
  TraceLog(TRACE_INFO, "CClientConnectionMgr::Initialize Entering");
  if (m_bInitialized) {
    TraceLog(TRACE_ERR, "CClientConnectionMgr::Initialize Already Initialized");
    return -1;
  }
  // What a failed Initialize before this one left running goes first (the
  // Bluetooth-stack start mode tries again without an Uninitialize).
  // (The event thread such a start left running may replace the control
  // server meanwhile: the pointers are read under their locks.)
  bool bLeftOver;
  {
    CMutexLock server(m_ServerLock);
    bLeftOver = m_pControlServer != nullptr;
  }
  if (!bLeftOver) {
    CMutexLock queue(m_QueueLock);
    bLeftOver = m_pEventQueue != nullptr;
  }
  if (bLeftOver) StopAll();

  platform::RegistryStep failed = platform::RegistryStep::NONE;
  DWORD enable = 0;
  const LONG r = platform::ReadRegistryDword("EnableBluetooth", kBluetoothValueSize, enable, &failed);
  if (r != ERROR_SUCCESS && failed != platform::RegistryStep::QUERY) {
    TraceStartFailure("CClientConnectionMgr::Initialize No registry: %s",
                      platform::DescribeRegistryFailure(r, failed, "EnableBluetooth").c_str());
    return -1;
  }
  if (r == ERROR_SUCCESS && enable == 1) m_bBluetoothEnabled = true;

  if (!ReadVersionResource(m_uiVersionNumber, m_uiBuildDate))
    TraceLog(TRACE_WARN, "CClientConnectionMgr::Initialize Unable to read version information");
  {
    // An address that cannot be listened on fails the start: falling back
    // to every address would open the port to the network.
    const std::shared_ptr<const CIdentConfig::CSettings> settings = CIdentConfig::GetInstance().GetSettings();
    if (!settings->m_sControlAddressError.empty()) {
      std::string path;
      CIdentConfig::IniFilePath(path);
      TraceStartFailure("CClientConnectionMgr::Initialize ControlAddress = %s in %s: %s; the service does not start",
                        settings->m_sControlAddress.c_str(), path.c_str(), settings->m_sControlAddressError.c_str());
      return -1;
    }
    m_sControlAddress = settings->m_sControlAddress;
  }
  if (!m_bHandOverTaken) {
    m_iHandedOverSocket = platform::TakeListenSocket();
    m_bHandOverTaken = true;
  }
  // What peers can make the service hold for a moment (frames up to 4 MiB,
  // data-file replies of megabytes) goes back to the system when it is
  // freed; the table events (about 300 KB for a thousand VCIs) stay in the
  // heap, where each reuses the last one's memory.
  MapLargeBlocks(kLargeBlockBytes);

  int32_t iRet;
  {
    CMutexLock server(m_ServerLock);
    iRet = StartControlServer();
  }
  if (iRet != 0) TraceLog(TRACE_ERR, "CClientConnectionMgr::Initialize Error Creating Server iRet = %d", iRet);
  if (iRet == 0) {
    CMutexLock queue(m_QueueLock);
    m_pEventQueue.reset(new (std::nothrow) CEventQueue<CConnMgrEvent>);
    if (!m_pEventQueue) iRet = -1;
    // Clients whose connection broke while the manager was not initialised
    // (between the Bluetooth stack's stop and start) go first.
    std::vector<uint32_t> kept;
    for (uint32_t sessionId : m_CarriedRemovals) {
      std::unique_ptr<CConnMgrEvent> event(new (std::nothrow) CConnMgrEvent(CConnMgrEvent::CLIENT_GONE, sessionId));
      if (event && m_pEventQueue)
        m_pEventQueue->Push(std::move(event));
      else
        kept.push_back(sessionId);
    }
    m_CarriedRemovals.swap(kept);
  }
  if (iRet == 0 && IThread::Start() != 0) iRet = -1;
  if (iRet == 0) {
    bool bEnabled = m_bBluetoothEnabled;
    iRet = m_Engine.Initialize(this, bEnabled);
    m_bBluetoothEnabled = bEnabled;
    if (iRet != 0)
      TraceLog(TRACE_ERR, "CClientConnectionMgr::Initialize Error Initializing the Identification Service iRet = %d",
               iRet);
  }
  if (iRet == 0) {
    m_bInitialized = true;
    m_Status.Start();
  }
  TraceLog(TRACE_INFO, "CClientConnectionMgr::Initialize Leaving");
  return iRet;
}

int32_t CClientConnectionMgr::StartControlServer() {
  m_pControlServer.reset(new (std::nothrow) CControlServer(this));
  if (!m_pControlServer) return -1;
  // The socket unit decides the address and port of a handed-over socket.
  // Otherwise every local address unless the configuration names one: a
  // machine on an untrusted network keeps the control port to itself.
  if (m_iHandedOverSocket >= 0)
    m_pControlServer->SetListenSocket(m_iHandedOverSocket);
  else if (!m_sControlAddress.empty())
    m_pControlServer->SetLocalAddress(m_sControlAddress);
  return m_pControlServer->Initialize(CONTROL_PORT);
}

std::string CClientConnectionMgr::Describe() {
  if (!m_bInitialized) return "identification not started";
  const uint32_t brand = m_Engine.GetBrandNumber();
  const char* name = GetBrandKeyName(brand);
  std::string text = brand == 0 ? std::string("no brand (no home folder)")
                                 : "brand " + std::string(name ? name : "?") + " (" + std::to_string(brand) + ")";
  CMutexLock server(m_ServerLock);
  if (m_pControlServer)
    text += ", control port " + m_pControlServer->GetAddressText() +
            (m_iHandedOverSocket >= 0 ? " (socket from the service manager)" : "");
  return text;
}

std::string CClientConnectionMgr::StatusText() {
  const size_t vcis = m_Engine.GetVCICount();
  size_t clients;
  {
    CMutexLock lock(m_ClientsLock);
    clients = m_Clients.size();
  }
  return std::to_string(vcis) + (vcis == 1 ? " VCI, " : " VCIs, ") + std::to_string(clients) +
         (clients == 1 ? " application" : " applications") + " registered";
}

void CClientConnectionMgr::Reload() {
  CMutexLock config(m_ConfigLock);
  size_t clients;
  {
    CMutexLock lock(m_ClientsLock);
    clients = m_Clients.size();
  }
  if (clients == 0) {
    TakeInConfiguration(true);
    return;
  }
  m_bReloadPending = true;
  TraceLog(TRACE_WARN,
           "CClientConnectionMgr::Reload ident.ini is read again when the last of %d registered applications has gone",
           static_cast<int>(clients));
}

void CClientConnectionMgr::TakeInConfiguration(bool always) {
  CIdentConfig& config = CIdentConfig::GetInstance();
  const bool changed = always ? config.Reload() : config.CheckForChanges();
  m_bReloadPending = false;
  if (changed) {
    m_iSavedTraceLevel = config.GetTraceLevel();
    m_bSavedPersist = config.GetPersist();
  }
  if (always) {
    static const char* const kLevels[] = {"INFO", "WARN", "ERROR"};
    const int level = config.GetTraceLevel();
    TraceLog(TRACE_WARN, "CClientConnectionMgr::Reload ident.ini read again: trace level %s, window %s, trace file %s",
             level >= 0 && level <= 2 ? kLevels[level] : "ERROR", config.GetShowWindow() ? "on" : "off",
             config.GetPersist() ? "on" : "off");
  }
  if (changed) {
    if (ShowWindowHook hook = s_ShowWindowHook.load()) hook(config.GetShowWindow());
  }
}

void CClientConnectionMgr::CutRegistrations(bool refuse) {
  CMutexLock pending(m_PendingLock);
  m_bRefuseRegistrations = refuse;
  for (const auto& entry : m_Pending) entry.first->AbortConnect();
}

void CClientConnectionMgr::StopAll() {
  m_Status.Stop();
  {
    // A stop never waits on a peer: the registrations connecting to an
    // event port are cut, so that the control server's workers end at once.
    CutRegistrations(true);
    CMutexLock server(m_ServerLock);
    if (m_pControlServer) {
      if (m_pControlServer->Shutdown() != 0)
        TraceLog(TRACE_ERR, "CClientConnectionMgr::Uninitialize Failed to shutdown control socket");
      m_pControlServer.reset();
    }
    CutRegistrations(false);
  }
  if (m_Engine.Uninitialize() != 0)
    TraceLog(TRACE_ERR, "CClientConnectionMgr::Uninitialize Failed to uninitialize the IdentClient");
  TraceLog(TRACE_INFO, "CClientConnectionMgr::Uninitialize Deleting Event Queue");
  {
    CMutexLock queue(m_QueueLock);
    if (m_pEventQueue) m_pEventQueue->Shutdown();
  }
  IThread::Stop();
  // Events still queued are not handled; the queue frees them. Removals
  // among them are carried over to the next Initialize.
  CMutexLock queue(m_QueueLock);
  if (m_pEventQueue)
    for (const auto& event : m_pEventQueue->Drain())
      if (event->m_uiType == CConnMgrEvent::CLIENT_GONE) m_CarriedRemovals.push_back(event->m_uiSessionId);
  m_pEventQueue.reset();
}

int32_t CClientConnectionMgr::Uninitialize() {
  m_bShuttingDown = true;
  TraceLog(TRACE_INFO, "CClientConnectionMgr::Uninitialize Entering");
  StopAll();
  TraceLog(TRACE_INFO, "CClientConnectionMgr::Uninitialize Shutting down connection to client");
  m_bInitialized = false;
  m_bShuttingDown = false;
  TraceLog(TRACE_INFO, "CClientConnectionMgr::Uninitialize Leaving");
  return 0;
}

int32_t CClientConnectionMgr::DisconnectClients() {
  TraceLog(TRACE_INFO, "CClientConnectionMgr::DisconnectClients Entering");
  CMutexLock request(m_RequestLock);
  // The map is emptied first, so that a client thread that reports its
  // broken link meanwhile finds nothing to act on, and no client is
  // uninitialised (its threads joined) under m_ClientsLock, which those
  // reports take. Clients still departing go with them (their waits on the
  // application are cut), and removals carried over have nothing left to
  // remove.
  std::vector<std::unique_ptr<CRegisteredClient>> leaving;
  {
    CMutexLock lock(m_ClientsLock);
    for (auto& entry : m_Clients) leaving.push_back(std::move(entry.second));
    m_Clients.clear();
    for (auto& client : m_Departing) leaving.push_back(std::move(client));
    m_Departing.clear();
  }
  {
    CMutexLock queue(m_QueueLock);
    m_CarriedRemovals.clear();
  }
  int32_t result = 0;
  for (auto& client : leaving) {
    client->SetTerminating();
    const int32_t r = client->Uninitialize(0);
    if (r != 0) {
      TraceLog(TRACE_ERR, "CClientConnectionMgr::DisconnectClients Failed to uninitialize connected client %s",
               client->GetClientName().c_str());
      result = r;
    }
    client.reset();
  }
  TraceLog(TRACE_INFO, "CClientConnectionMgr::DisconnectClients Leaving");
  return result;
}

bool CClientConnectionMgr::Queue(uint32_t type, uint32_t sessionId, uint32_t value, const char* failureLine) {
  std::unique_ptr<CConnMgrEvent> event(new (std::nothrow) CConnMgrEvent(type, sessionId, value));
  if (!event) {
    TraceLog(TRACE_ERR, "%s", failureLine);
    return false;
  }
  CMutexLock queue(m_QueueLock);
  if (!m_pEventQueue) {
    // The manager is not initialised and nobody would handle the event. A
    // client's removal is carried over to the next Initialize: the client is
    // marked terminating, and nothing else would ever remove it.
    if (type != CConnMgrEvent::CLIENT_GONE) return false;
    m_CarriedRemovals.push_back(sessionId);
    return true;
  }
  // A change report waiting at the back takes the new one's mask: the
  // event thread reads the table and the bindings when it handles the
  // report, so one report stands for every change before it, and a storm of
  // changes keeps one event in the queue, not one per change. Only at the
  // back: one waiting before another event (an error, a removal) would
  // report the newer state ahead of it.
  if (type == CConnMgrEvent::VCI_STATUS) {
    typedef CEventQueue<CConnMgrEvent> EventQueue;
    m_pEventQueue->PushOrAbsorb(std::move(event), [](CConnMgrEvent& waiting, const CConnMgrEvent& e) {
      if (waiting.m_uiType != CConnMgrEvent::VCI_STATUS) return EventQueue::STOP;
      waiting.m_uiValue |= e.m_uiValue;
      return EventQueue::TAKEN;
    });
    return true;
  }
  m_pEventQueue->Push(std::move(event));
  return true;
}

CClientConnectionMgr::ClientMap CClientConnectionMgr::CopyClients() {
  ClientMap copy;
  CMutexLock lock(m_ClientsLock);
  for (const auto& entry : m_Clients) copy[entry.first] = entry.second.get();
  return copy;
}

void CClientConnectionMgr::DrawInstanceToken() { m_uiInstanceToken = static_cast<uint32_t>(m_Random() % 32768); }

int CClientConnectionMgr::OnDataReceived(CArchiveBuffer& request, CArchiveBuffer& reply,
                                         const std::string& remoteAddress, const std::string& localAddress) {
  TraceLog(TRACE_INFO, "CClientConnectionMgr::OnDataReceived Entering");
  CMutexLock lock(m_RequestLock);
  // Drawn under the request lock: requests come on several threads, and an
  // unregistration draws from the same generator.
  if (m_uiInstanceToken == 0) {
    m_Random.seed(static_cast<std::minstd_rand::result_type>(std::time(nullptr)));
    DrawInstanceToken();
  }
  if (request.GetDataLength() < 4) return -1;
  request.Rewind(CArchiveBuffer::LOADING);
  uint32_t id = 0;
  request.Read(id);
  request.Rewind(CArchiveBuffer::LOADING);
  if (m_bShuttingDown) return -1;

  bool bHandled = true;
  switch (id) {
    case OBJID_CIdentConnect_Send:
      bHandled = Register(request, reply, remoteAddress, localAddress);
      break;
    case OBJID_CIdentDisconnect_Send:
      bHandled = Unregister(request, reply);
      break;
    case OBJID_CBluetoothReq_Send:
      bHandled = BluetoothRequest(request, reply);
      break;
    case OBJID_CLogFile_Send:
      DataFileRequest(request, reply);
      break;
    default:
      // No reply for an unknown request.
      break;
  }
  // A registration lets go of the request lock while it connects; one that
  // Uninitialize overtook meanwhile gets no reply, as any request then.
  if (m_bShuttingDown) return -1;
  if (bHandled) TraceLog(TRACE_INFO, "CClientConnectionMgr::OnDataReceived Leaving");
  return 0;
}

bool CClientConnectionMgr::Register(CArchiveBuffer& request, CArchiveBuffer& reply,
                                    const std::string& remoteAddress, const std::string& localAddress) {
  TraceLog(TRACE_INFO, "CClientConnectionMgr::OnDataReceived Client connecting");
  CIdentConnect_Send msg;
  if (!msg.Serialize(request)) {
    TraceLog(TRACE_ERR, "CClientConnectionMgr::OnDataReceived IdentConnect_Send.Serialize");
    return false;
  }
  // Clients that have departed are reaped here as well as on the event
  // thread: with no event in between, a peer that registers and
  // unregisters in a loop would otherwise pile up their unjoined threads.
  ReapDeparted();
  std::unique_ptr<CRegisteredClient> client(new (std::nothrow) CRegisteredClient);
  int32_t iRet = -1;
  if (client && Admit(msg.GetClientName(), remoteAddress, client.get())) {
    client->SetEventTimeouts(m_ClientSocketTimeouts);
    // The connect to the event port goes on without the request lock: an
    // event port that never answers holds this registration alone, for its
    // connect timeout at most (or until Uninitialize cuts it). Everything
    // that changes the clients' map happens under the lock again, so the
    // session ids still follow the order of successful registrations.
    m_RequestLock.Unlock();
    client->ConnectEventPort(remoteAddress, msg.GetEventPort(), localAddress);
    m_RequestLock.Lock();
    Connected(client.get());
    // Uninitialize has begun meanwhile: the connection goes with the client.
    if (!m_bShuttingDown)
      iRet = client->Initialize(remoteAddress, msg.GetEventPort(), this, m_uiNextSessionId, localAddress,
                                msg.GetNoReplyTimeout());
  }
  // A failed registration consumes no id: its reply carries the id that
  // the next registration gets.
  const uint32_t sessionId = m_uiNextSessionId;
  if (iRet == 0) {
    client->SetClientName(msg.GetClientName());
    size_t count;
    bool bBroken;
    {
      CMutexLock clients(m_ClientsLock);
      bBroken = client->IsLinkBroken();
      m_Clients[sessionId] = std::move(client);
      count = m_Clients.size();
    }
    // A connection that closed once the client's threads ran, but before it
    // was listed, was reported when there was no client to remove: it is
    // removed now. The flag is set before the report looks for the client,
    // so either the report finds it listed or this sees the flag (or both:
    // the second finds it terminating).
    if (bBroken) OnIdentNotify(CRegisteredClient::EVENT_LINK_BROKEN, sessionId);
    ++m_uiNextSessionId;
    m_Status.Changed();
    TraceLog(TRACE_INFO, "CClientConnectionMgr::OnDataReceived %s connected. Number of connected clients = %d",
             msg.GetClientName().c_str(), static_cast<int>(count));
    // The first application gets its table after the engine has had time
    // to hear the VCIs around; till then table changes are not reported.
    if (m_bFirstRegistrationPending) {
      std::this_thread::sleep_for(std::chrono::milliseconds(FIRST_REGISTRATION_WAIT_MS));
      m_bFirstRegistrationPending = false;
    }
    CMutexLock config(m_ConfigLock);
    CIdentConfig::GetInstance().SetTraceLevel(TRACE_INFO);
    // A registration without the wish for the trace file (version 1) states
    // none: the setting in force stays, whoever asked for it, so that a
    // look at the table does not switch off another application's trace.
    if (msg.m_uiVersion >= 2) CIdentConfig::GetInstance().SetPersist(msg.GetPersistLog());
  }
  CVCIStatusMap table;
  CBindMap bindings;
  m_Engine.GetVCIStatusMap(table);
  m_Engine.GetBindMap(bindings);
  const int32_t btInitError = m_Engine.GetBtInitError();
  CIdentConnect_Recv answer(iRet, sessionId, table, bindings, m_uiVersionNumber, m_uiBuildDate, m_sProductName,
                            btInitError, m_uiInstanceToken);
  if (!WriteTableFrame(reply, answer.m_VCIStatusMap, [&](CArchiveBuffer& ar) { return answer.Serialize(ar); },
                       m_TableReplyLine, "OnDataReceived"))
    TraceLog(TRACE_ERR, "CClientConnectionMgr::OnDataReceived Serialization Error");
  return true;
}

bool CClientConnectionMgr::Admit(const std::string& name, const std::string& address, CRegisteredClient* client) {
  uint64_t count = 0;
  if (name.size() > MAX_CLIENT_NAME) {
    if (m_NameLine.Due(count))
      TraceLog(TRACE_WARN,
               "CClientConnectionMgr::OnDataReceived Registration from %s refused: a client name of %u bytes, at "
               "most %u (%llu more refused since the last line)",
               address.c_str(), static_cast<unsigned>(name.size()), static_cast<unsigned>(MAX_CLIENT_NAME),
               static_cast<unsigned long long>(count - 1));
    return false;
  }
  uint32_t total = 0, fromAddress = 0;
  {
    // A client still departing holds its threads and connection as a
    // registered one does.
    CMutexLock clients(m_ClientsLock);
    for (const auto& entry : m_Clients) fromAddress += entry.second->GetClientAddress() == address ? 1 : 0;
    total = static_cast<uint32_t>(m_Clients.size());
    for (const auto& client : m_Departing)
      if (!client->HasDeparted()) {
        ++total;
        fromAddress += client->GetClientAddress() == address ? 1 : 0;
      }
  }
  CMutexLock pending(m_PendingLock);
  for (const auto& entry : m_Pending) fromAddress += entry.second == address ? 1 : 0;
  total += static_cast<uint32_t>(m_Pending.size());
  if (m_bRefuseRegistrations) return false;
  if (total >= m_RegistrationLimits.uiTotal || fromAddress >= m_RegistrationLimits.uiPerAddress) {
    if (m_CapLine.Due(count))
      TraceLog(TRACE_WARN,
               "CClientConnectionMgr::OnDataReceived Registration from %s refused: %u registrations, %u of them "
               "from there, at most %u and %u (%llu more refused since the last line)",
               address.c_str(), total, fromAddress, m_RegistrationLimits.uiTotal, m_RegistrationLimits.uiPerAddress,
               static_cast<unsigned long long>(count - 1));
    return false;
  }
  m_Pending.emplace_back(client, address);
  return true;
}

void CClientConnectionMgr::Connected(CRegisteredClient* client) {
  CMutexLock pending(m_PendingLock);
  for (auto it = m_Pending.begin(); it != m_Pending.end(); ++it)
    if (it->first == client) {
      m_Pending.erase(it);
      return;
    }
}

bool CClientConnectionMgr::Unregister(CArchiveBuffer& request, CArchiveBuffer& reply) {
  CIdentDisconnect_Send msg;
  if (!msg.Serialize(request)) {
    TraceLog(TRACE_ERR, "CClientConnectionMgr::OnDataReceived IdentDisconnect_Send.Serialize");
    return false;
  }
  int32_t iRet = 0;
  bool bWasTerminating = true;
  size_t count = 0;
  {
    CMutexLock clients(m_ClientsLock);
    auto it = m_Clients.find(msg.GetSessionId());
    if (it == m_Clients.end()) {
      iRet = -1;
    } else {
      bWasTerminating = it->second->SetTerminating();
      count = m_Clients.size();
    }
  }
  // Only the first of an unregistration and a broken link removes the
  // client: the second finds it terminating.
  if (iRet == 0 && !bWasTerminating &&
      !Queue(CConnMgrEvent::CLIENT_GONE, msg.GetSessionId(), 0,
             "CClientConnectionMgr::OnDataReceived Memory allocation error"))
    iRet = -1;
  if (iRet == 0 && count == 1) DrawInstanceToken();
  CIdentDisconnect_Recv answer(iRet);
  if (!answer.Serialize(reply))
    TraceLog(TRACE_ERR, "CClientConnectionMgr::OnDataReceived IdentDisconnect_Recv.Serialize");
  return true;
}

int32_t CClientConnectionMgr::BtCommand(uint32_t serialNumber, uint32_t sessionId, uint32_t command) {
  int32_t status = 0;
  return m_Engine.BtCommand(serialNumber, sessionId, command, status);
}

bool CClientConnectionMgr::BluetoothRequest(CArchiveBuffer& request, CArchiveBuffer& reply) {
  const auto start = std::chrono::steady_clock::now();
  CBluetoothReq_Send msg;
  if (!msg.Serialize(request)) {
    TraceLog(TRACE_ERR, "CClientConnectionMgr::OnDataReceived BtReq_Send.Serialize");
    return false;
  }
  int32_t iRet = -1;
  if (!m_bBluetoothEnabled) {
    TraceLog(TRACE_ERR, "CClientConnectionMgr::OnDataReceived Recd. BT Command but bluetooth not enabled");
  } else {
    bool bKnown;
    {
      CMutexLock clients(m_ClientsLock);
      bKnown = m_Clients.count(msg.GetSessionId()) != 0;
    }
    // A command may take seconds: it runs under the request lock alone.
    if (bKnown) iRet = BtCommand(msg.GetSerialNumber(), msg.GetSessionId(), msg.GetCommand());
  }
  CBluetoothReq_Recv answer(iRet);
  if (!answer.Serialize(reply)) {
    TraceLog(TRACE_ERR, "CClientConnectionMgr::OnDataReceived BtReq_Recv.Serialize");
    return false;
  }
  if (iRet == 0) {
    const uint32_t elapsed = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    TraceLog(TRACE_INFO, "CClientConnectionMgr::OnDataReceived Time to execute BT Command = %d",
             static_cast<int>(elapsed));
    if (elapsed > m_uiLargestBtCommandMs) {
      m_uiLargestBtCommandMs = elapsed;
      TraceLog(TRACE_INFO, "CClientConnectionMgr::OnDataReceived New MAX BT Time Command = %d",
               static_cast<int>(elapsed));
    }
  }
  return true;
}

void CClientConnectionMgr::DataFileRequest(CArchiveBuffer& request, CArchiveBuffer& reply) {
  CLogFiles_Recv answer;
  CLogFile_Send msg;
  std::string location;
  // The names the application lists are not used: it gets every file of
  // the folder, not of its subfolders, in name order. A file that cannot
  // be read comes with result -1 and no name (once: names are the keys).
  // A store's leftover temporary file is not one of the files.
  if (msg.Serialize(request) &&
      platform::ReadRegistryString("IdentServiceDefaultLocation", kLocationValueSize, location) == ERROR_SUCCESS) {
    std::map<std::string, std::string> paths = platform::FolderEntries(platform::JoinPath(location, kDataFolder));
    for (auto it = paths.begin(); it != paths.end();)
      it = CVCIIdentClient::IsStoreTemporary(it->first) ? paths.erase(it) : std::next(it);
    // The reply is one frame, and an application takes none longer than
    // MAX_FRAME_LENGTH: the files go in, in name order, while they fit. One
    // that does not is listed as a file that cannot be read, so that the
    // application learns that the list is not whole, and the smaller ones
    // after it still come. Room stays for that one entry.
    CLogFile_Recv unreadable(-1, "", "");
    const uint64_t entryBytes = 4 + WireLength(unreadable);  // the key's count word, the entry without name or bytes
    uint64_t room = MAX_FRAME_LENGTH - 4 - WireLength(answer) - entryBytes;
    uint32_t leftOut = 0;
    uint64_t leftOutBytes = 0;
    for (const auto& file : paths) {
      const uint64_t overhead = entryBytes + 2 * file.first.size();
      const uint64_t size = platform::PlainFileSize(file.second);  // 0 when not a file: its read fails below
      if (overhead + size > room) {
        ++leftOut;
        leftOutBytes += size;
        answer.Add(unreadable);
        continue;
      }
      // One that grew since it was measured is read as far as it fits, and
      // is then unreadable too.
      const CLogFile_Recv read(0, file.first, file.second, room - overhead);
      if (read.GetResult() == 0) room -= overhead + read.GetSize();
      answer.Add(read);
    }
    uint64_t count = 0;
    if (leftOut != 0 && m_DataFileLine.Due(count))
      TraceLog(TRACE_WARN,
               "CClientConnectionMgr::OnDataReceived %u data files of %llu bytes do not fit in a reply of at most %u "
               "bytes: listed as unreadable (%llu more such replies since the last line)",
               leftOut, static_cast<unsigned long long>(leftOutBytes), static_cast<unsigned>(MAX_FRAME_LENGTH),
               static_cast<unsigned long long>(count - 1));
  }
  if (!answer.Serialize(reply)) TraceLog(TRACE_ERR, "CClientConnectionMgr::OnDataReceived Serialization Error");
}

bool CClientConnectionMgr::WriteTableFrame(CArchiveBuffer& ar, CVCIStatusMap& table,
                                           const std::function<bool(CArchiveBuffer&)>& write, CRateLimit& line,
                                           const char* where) {
  const uint32_t limit = m_uiTableFrameLimit;
  bool ok = write(ar);
  uint32_t leftOut = 0;
  while (ok && ar.GetDataLength() + 4 > limit) {
    const uint32_t n = LeaveOutLargest(table, ar.GetDataLength() + 4 - limit);
    if (n == 0) break;
    leftOut += n;
    ar.Rewind(CArchiveBuffer::STORING);
    ok = write(ar);
  }
  uint64_t count = 0;
  if (leftOut != 0 && line.Due(count))
    TraceLog(TRACE_WARN,
             "CClientConnectionMgr::%s VCI table of more than %u bytes: %u VCIs with the largest records left out "
             "(%llu more such tables since the last line)",
             where, static_cast<unsigned>(limit), leftOut, static_cast<unsigned long long>(count - 1));
  return ok;
}

bool CClientConnectionMgr::OnErrorDetected(int code) {
  TraceLog(TRACE_INFO, "CClientConnectionMgr::OnErrorDetected Entering");
  if (!m_bShuttingDown) {
    TraceLog(TRACE_ERR, "CClientConnectionMgr::OnErrorDetected Error %d", code);
    Queue(CConnMgrEvent::SERVER_ERROR, 0, 0, "CClientConnectionMgr::OnErrorDetected Memory Allocation Error");
  }
  TraceLog(TRACE_INFO, "CClientConnectionMgr::OnErrorDetected Leaving");
  return true;
}

void CClientConnectionMgr::OnIdentNotify(uint32_t type, uint32_t value) {
  static const char kAllocationError[] = "CClientConnectionMgr::OnIdentNotify Memory Allocation Error";
  TraceLog(TRACE_INFO, "CClientConnectionMgr::OnIdentNotify Entering");
  switch (type) {
    case CConnMgrEvent::VCI_STATUS:
      m_Status.Changed();
      // The first registration's reply carries the table; till then no
      // change is reported.
      if (m_bFirstRegistrationPending) return;
      Queue(type, 0, value, kAllocationError);
      break;
    case CConnMgrEvent::BT_ERROR:
    case CConnMgrEvent::IF_ERROR_1:
    case CConnMgrEvent::IF_ERROR_2:
    case CConnMgrEvent::IF_ERROR_3:
    case CConnMgrEvent::IF_ERROR_4:
      Queue(type, 0, value, kAllocationError);
      break;
    case CRegisteredClient::EVENT_LINK_BROKEN: {
      bool bWasTerminating;
      bool bOnly;
      {
        CMutexLock clients(m_ClientsLock);
        auto it = m_Clients.find(value);
        if (it == m_Clients.end()) return;
        bWasTerminating = it->second->SetTerminating();
        bOnly = m_Clients.size() == 1;
      }
      if (bWasTerminating) return;
      if (bOnly && m_bBluetoothEnabled) {
        TraceLog(TRACE_INFO, "CClientConnectionMgr::OnIdentNotify Restarting Bluetooth");
        const int32_t r = BtCommand(0, 0, CBluetoothReq_Send::BT_SCAN);
        if (r != 0) TraceLog(TRACE_ERR, "CClientConnectionMgr::OnIdentNotify Request for BT_SCAN failed %d", r);
      }
      Queue(CConnMgrEvent::CLIENT_GONE, value, 0, kAllocationError);
      return;
    }
    default:
      TraceLog(TRACE_ERR, "CClientConnectionMgr::OnIdentNotify OnIdentNotify: Invalid event type %d",
               static_cast<int>(type));
      break;
  }
  TraceLog(TRACE_INFO, "CClientConnectionMgr::OnIdentNotify Leaving");
}

void CClientConnectionMgr::OnIdentUsb(uint32_t code) {
  TraceLog(TRACE_INFO, "CClientConnectionMgr::OnIdentUsb Entering uiEvent = %d", static_cast<int>(code));
  if (code == 0) OnIdentNotify(CConnMgrEvent::VCI_STATUS, CConnMgrEvent::MASK_TABLE);
}

void CClientConnectionMgr::Run(uint32_t, uint32_t) {
  TraceLog(TRACE_INFO, "CClientConnectionMgr::Run Entering");
  CEventQueue<CConnMgrEvent>* queue;
  {
    // The queue outlives this thread: it is deleted after the join.
    CMutexLock lock(m_QueueLock);
    queue = m_pEventQueue.get();
  }
  SignalStarted();
  while (!m_bShuttingDown && queue != nullptr) {
    size_t remaining = 0;
    std::unique_ptr<CConnMgrEvent> event = queue->Pop(remaining);
    if (!event) {
      if (m_bShuttingDown || queue->IsShutdown()) {
        TraceLog(TRACE_ERR, "CClientConnectionMgr::Run Shutdown in process. Exiting Notify Thread");
        break;
      }
      TraceLog(TRACE_ERR, "CClientConnectionMgr::Run Error Popping data from queue");
      continue;
    }
    TraceLog(TRACE_INFO, "CClientConnectionMgr::Run Event = %d SessionId = %d", static_cast<int>(event->m_uiType),
             static_cast<int>(event->m_uiSessionId));
    ReapDeparted();
    switch (event->m_uiType) {
      case CConnMgrEvent::CLIENT_GONE:
        RemoveClient(event->m_uiSessionId);
        break;
      case CConnMgrEvent::VCI_STATUS:
      case CConnMgrEvent::IF_ERROR_1:
      case CConnMgrEvent::IF_ERROR_2:
      case CConnMgrEvent::IF_ERROR_3:
      case CConnMgrEvent::IF_ERROR_4:
        NotifyClients(event->m_uiValue);
        break;
      case CConnMgrEvent::BT_ERROR:
        TraceLog(TRACE_ERR, "CClientConnectionMgr::Run Bluetooth Error = 0x%04X Notifying clients",
                 event->m_uiValue);
        for (const auto& entry : CopyClients()) entry.second->Notify(event->m_uiValue);
        break;
      case CConnMgrEvent::SERVER_ERROR:
        ReplaceControlServer();
        break;
      default:
        TraceLog(TRACE_ERR, "CClientConnectionMgr::Run Unknown event");
        break;
    }
  }
  TraceLog(TRACE_INFO, "CClientConnectionMgr::Run Leaving");
}

void CClientConnectionMgr::RemoveClient(uint32_t sessionId) {
  std::unique_ptr<CRegisteredClient> client;
  size_t remaining;
  {
    CMutexLock lock(m_ClientsLock);
    auto it = m_Clients.find(sessionId);
    if (it != m_Clients.end()) {
      client = std::move(it->second);
      m_Clients.erase(it);
    }
    remaining = m_Clients.size();
  }
  // Only the first report of a client queues its removal, so this does not
  // arise; should it, there is nothing left to remove.
  if (!client) {
    TraceLog(TRACE_WARN, "CClientConnectionMgr::Run Client already terminated");
    return;
  }
  TraceLog(TRACE_INFO, "CClientConnectionMgr::Run %s disconnected. Clients remaining = %d",
           client->GetClientName().c_str(), static_cast<int>(remaining));
  m_Status.Changed();
  // Nothing here waits for an application, or every other client would get
  // no events meanwhile. A client whose link broke is closed at once: no
  // event reaches its application any more, and its close may never come.
  // One that unregistered gets what was queued for it, then its connection
  // is closed in order, both on its own notify thread; it is uninitialised
  // once it has departed (ReapDeparted).
  if (client->IsLinkBroken()) {
    UninitializeRemoved(*client, CClientSocket::SHUTDOWN_ABORT);
    client.reset();
  } else {
    client->Depart();
    CMutexLock lock(m_ClientsLock);
    m_Departing.push_back(std::move(client));
  }
  if (remaining != 0) return;
  CMutexLock config(m_ConfigLock);
  {
    // A registration since the count has set the trace for itself.
    CMutexLock lock(m_ClientsLock);
    if (!m_Clients.empty()) return;
  }
  CIdentConfig::GetInstance().SetTraceLevel(m_iSavedTraceLevel);
  CIdentConfig::GetInstance().SetPersist(m_bSavedPersist);
  TakeInConfiguration(m_bReloadPending);
}

void CClientConnectionMgr::UninitializeRemoved(CRegisteredClient& client, int mode) {
  const int32_t r = client.Uninitialize(mode);
  if (r != 0) TraceLog(TRACE_ERR, "CClientConnectionMgr::Run Client Uninitialize error iRet = %d", r);
}

void CClientConnectionMgr::ReapDeparted() {
  std::vector<std::unique_ptr<CRegisteredClient>> departed;
  {
    CMutexLock lock(m_ClientsLock);
    for (auto it = m_Departing.begin(); it != m_Departing.end();) {
      if ((*it)->HasDeparted()) {
        departed.push_back(std::move(*it));
        it = m_Departing.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Their threads have ended or are ending: nothing here waits.
  for (auto& client : departed) UninitializeRemoved(*client, 0);
}

void CClientConnectionMgr::NotifyClients(uint32_t mask) {
  const ClientMap clients = CopyClients();
  if (clients.empty()) return;
  // The table is serialised once for every client, straight from the
  // engine's table (no copy of it first), into an archive of the last table
  // event's size: growing one step at a time would copy it over and over.
  CRegisteredClient::EventImage tableEvent;
  if (mask & CConnMgrEvent::MASK_TABLE) {
    CIdentEvent_Send event(CIdentEvent_Send::EVENT_TABLE_CHANGED, 0);
    tableEvent = CRegisteredClient::SerializeImage(
        [&](CArchiveBuffer& ar) { return event.StoreHead(ar) && m_Engine.SerializeVCIStatusMap(ar); },
        m_uiTableEventSize);
    if (tableEvent && tableEvent->GetDataLength() + 4 > m_uiTableFrameLimit) {
      // Longer than an application takes: written again from a copy that
      // leaves out what does not fit.
      CVCIStatusMap table;
      m_Engine.GetVCIStatusMap(table);
      CIdentEvent_Send fitted(CIdentEvent_Send::EVENT_TABLE_CHANGED, 0, table);
      tableEvent = CRegisteredClient::SerializeImage(
          [&](CArchiveBuffer& ar) {
            return WriteTableFrame(ar, fitted.m_VCIStatusMap, [&](CArchiveBuffer& a) { return fitted.Serialize(a); },
                                   m_TableEventLine, "Run");
          },
          m_uiTableEventSize);
    }
    if (tableEvent) m_uiTableEventSize = std::max(tableEvent->GetDataLength(), kEventArchiveSize);
  }
  // The bindings likewise, once for every client.
  CRegisteredClient::EventImage bindingsEvent;
  if (mask & CConnMgrEvent::MASK_BINDINGS) {
    CBindMap bindings;
    m_Engine.GetBindMap(bindings);
    CIdentEvent_Send event(CIdentEvent_Send::EVENT_BINDINGS_CHANGED, 0, bindings);
    bindingsEvent = CRegisteredClient::SerializeEvent(event);
  }
  for (const auto& entry : clients) {
    CRegisteredClient* client = entry.second;
    if (tableEvent) client->ChangeInMap(tableEvent);
    if (bindingsEvent) client->ChangeInBindMap(bindingsEvent);
    for (const auto& e : kIFErrorEvents)
      if (mask & e.bit) client->Notify(e.code);
  }
}

void CClientConnectionMgr::ReplaceControlServer() {
  CMutexLock server(m_ServerLock);
  // Uninitialize has begun (it set the flag before it takes this lock):
  // the server it shuts down is not to be replaced.
  if (m_bShuttingDown) return;
  if (m_pControlServer) {
    m_pControlServer->Shutdown();
    m_pControlServer.reset();
  }
  if (StartControlServer() == 0)
    TraceLog(TRACE_INFO, "CClientConnectionMgr::Run Restart Successful");
  else
    TraceLog(TRACE_ERR, "CClientConnectionMgr::Run Restart FAILED");
}
