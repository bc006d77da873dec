#include "bluetooth/BluetoothMgr.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "host/IdentConfig.h"
#include "host/TraceLog.h"

namespace {

// A serial number's text as a number: the default serial is written without
// leading zeros, a name's serial with them.
uint32_t SerialValue(const std::string& text) { return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10)); }
// What the engine calls the PC's Bluetooth network connection.
const char kPanConnection[] = "Bluetooth Personal";

const DWORD kScanPauseMs = 250;
const DWORD kErrorLimitPauseMs = 5000;
const DWORD kAfterErrorSettleMs = 2000;
const int kMaxConsecutiveErrors = 20;  // one more is reported

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

DWORD Setting(const CIdentConfig::CSettings& settings, CIdentConfig::Timeout which) {
  return settings.m_Timeouts[which];
}

// A scan's maximum: stores value and says "New <what>" when it beats the
// stored one, else says the stored one.
void TrackMaximum(std::atomic<uint32_t>& max, uint32_t value, const char* what) {
  if (value > max.load()) {
    max = value;
    TraceLog(TRACE_INFO, "New %s = %u", what, value);
  } else {
    TraceLog(TRACE_INFO, "%s = %u", what, max.load());
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

}  // namespace

CBluetoothMgr::CBluetoothMgr(const char* library) : m_Library(library) {}

CBluetoothMgr::~CBluetoothMgr() {
  // The thread uses this object's members; it must be gone before they are.
  if (m_pStack) Uninitialize();
}

int32_t CBluetoothMgr::Initialize(IBluetoothEvent* pListener, const BtVciInfoMap& cached, uint32_t defaultDevice) {
  {
    CMutexLock g(m_Lock);
    if (!m_pStack) m_pStack.reset(new CBtApiSync(m_Library.c_str()));
    if (!m_pStack->IsInitialized()) {
      m_pStack.reset();
      return BT_STACK_NOT_LOADED;
    }
  }
  {
    CMutexLock g(m_CacheLock);
    m_Cached = cached;
    m_DefaultSerial = std::to_string(defaultDevice);
  }
  m_MaxDiscoveryTime = 0;
  m_MaxDevices = 0;
  // A running thread owns the set; it already holds what the file holds.
  if (!m_bRunning) m_NonVci.Load();
  // The listener goes in before the thread starts, so that the first scan
  // already reaches it.
  if (pListener) m_pListener = pListener;
  StartDiscovery();
  m_bInitialized = true;
  return 0;
}

int32_t CBluetoothMgr::Uninitialize() {
  TraceLog(TRACE_INFO, "Stopping Discovery");
  m_bInitialized = false;
  StopDiscovery();
  m_Detected.clear();
  m_pListener = nullptr;
  TraceLog(TRACE_INFO, "Deleting Toshiba IF");
  {
    CMutexLock g(m_Lock);
    m_pStack.reset();
  }
  {
    CMutexLock g(m_CacheLock);
    m_Cached.clear();
    m_DefaultSerial.clear();
  }
  TraceLog(TRACE_INFO, "CBluetoothMgr::Uninitialize Complete");
  return 0;
}

bool CBluetoothMgr::IsLibraryPresent() const { return m_pStack && m_pStack->IsInitialized(); }

void CBluetoothMgr::SetCachedVCIList(const BtVciInfoMap& cached) {
  CMutexLock g(m_CacheLock);
  TraceLog(TRACE_INFO, "Setting new Cached VCI List");
  m_Cached = cached;
}

void CBluetoothMgr::SetDefaultVCI(uint32_t serial) {
  CMutexLock g(m_CacheLock);
  TraceLog(TRACE_INFO, "Setting New Default VCI");
  m_DefaultSerial = std::to_string(serial);
}

int32_t CBluetoothMgr::StartDiscovery() {
  CMutexLock g(m_Lock);
  if (m_bRunning) return 0;
  if (!m_pStack) return -1;
  Stop();  // a thread that ended by itself
  m_Detected.clear();
  m_bStopping = false;
  if (Start() != 0) return -1;
  m_bRunning = true;
  TraceLog(TRACE_INFO, "Discovery Started");
  return 0;
}

int32_t CBluetoothMgr::StopDiscovery() {
  if (!m_bRunning) return 0;
  if (!m_pStack) return -1;
  // The flag keeps the thread from starting another scan or name query
  // between the cancel and the stop request.
  m_bStopping = true;
  m_pStack->CancelDiscovery(!m_bInitialized);
  Stop();
  m_bRunning = false;
  TraceLog(TRACE_INFO, "Discovery Stopped");
  return 0;
}

int32_t CBluetoothMgr::Pair(const std::string& address, const char* pin) {
  CMutexLock g(m_Lock);
  uint8_t bytes[6] = {0};
  ParseAddress(address, bytes);
  return m_pStack && m_pStack->Pair(bytes, pin) ? 0 : BT_PAIR_FAILED;
}

bool CBluetoothMgr::CheckConnectState(const std::string& address, uint16_t& cid, int32_t& status) {
  CMutexLock g(m_Lock);
  if (!m_pStack) {
    status = -1;
    return false;
  }
  uint8_t bytes[6] = {0};
  ParseAddress(address, bytes);
  return m_pStack->CheckConnectState(bytes, cid, status);
}

bool CBluetoothMgr::Disconnect(uint16_t cid) {
  CMutexLock g(m_Lock);
  return m_pStack && m_pStack->Disconnect(cid);
}

bool CBluetoothMgr::DisconnectAll() {
  CMutexLock g(m_Lock);
  return m_pStack && m_pStack->DisconnectAll();
}

int32_t CBluetoothMgr::ConnectPAN(const std::string& text) {
  CMutexLock g(m_Lock);
  return m_pStack ? m_pStack->ConnectPAN(text.c_str()) : -1;
}

int32_t CBluetoothMgr::ResetPAN() {
  CMutexLock g(m_Lock);
  return m_pStack ? m_pStack->ResetPAN() : -1;
}

bool CBluetoothMgr::ParseFriendlyName(const std::string& name, std::string& serial, BtVciInfo& info) {
  info.misses = 0;
  serial.clear();
  const size_t vtx = name.find("VTX");
  if (vtx != std::string::npos) {
    // "VTX<type digit><one separator><serial>:<major>.<minor>.<build>:R<n>..."
    if (vtx + 5 > name.size() || name[vtx + 3] < '0' || name[vtx + 3] > '9') return false;
    info.ModuleType = static_cast<uint32_t>(name[vtx + 3] - '0');
    const size_t first = name.find(':', vtx + 5);
    if (first == std::string::npos) return false;
    info.FW_Version = 0;
    const size_t second = name.find(':', first + 1);
    int major = 0, minor = 0, build = 0, revision = 0;
    if (second == std::string::npos ||
        sscanf(name.substr(first + 1, second - first - 1).c_str(), "%d.%d.%d", &major, &minor, &build) != 3 ||
        sscanf(name.c_str() + second + 1, "R%d", &revision) != 1)
      return false;
    info.FW_Version = static_cast<uint32_t>(major) << 24 | static_cast<uint32_t>(minor) << 16 |
                      static_cast<uint32_t>(build) << 8;
    info.ModuleState = revision == 1 ? 2 : 1;
    serial = name.substr(vtx + 5, first - vtx - 5);
    return true;
  }
  // "XXXX-<8-digit serial>-xx:xx:xx", the end of the device address.
  if (name.size() != 22 || name.find('-') != 4 || name.find('-', 5) != 13 || name.find(':') != 16 ||
      name.find(':', 17) != 19)
    return false;
  serial = name.substr(5, 8);
  info.ModuleType = 4;
  info.FW_Version = 0x280000;
  info.ModuleState = 1;
  return true;
}

void CBluetoothMgr::ParseAddress(const std::string& text, uint8_t* out) {
  if (text.size() < 5) return;
  const size_t count = std::min<size_t>((text.size() - 5) / 2, 6);
  size_t pos = 0;
  for (size_t i = 0; i < count; ++i) {
    if (pos < text.size() && text[pos] == ':') ++pos;
    const int high = pos < text.size() ? HexDigit(text[pos]) : 0;
    const int low = pos + 1 < text.size() ? HexDigit(text[pos + 1]) : 0;
    out[i] = static_cast<uint8_t>(high << 4 | low);
    pos += 2;
  }
}

int32_t CBluetoothMgr::QueryFriendlyName(const std::string& address, std::string& name) {
  TraceLog(TRACE_INFO, "New Device: %s Retrieving friendly name", address.c_str());
  uint8_t bytes[6] = {0};
  ParseAddress(address, bytes);
  if (!m_pStack->DiscoverRemoteName(bytes, name)) {
    TraceLog(TRACE_ERR, "Error retrieving friendly");
    return -1;
  }
  TraceLog(TRACE_INFO, "Friendly name = %s", name.c_str());
  return 0;
}

bool CBluetoothMgr::StopWanted() const { return m_bStopping || IsStopRequested(); }

void CBluetoothMgr::Notify() {
  if (IBluetoothEvent* listener = m_pListener) listener->OnVciBtDetect(&m_Detected);
}

void CBluetoothMgr::Run(uint32_t, uint32_t) {
  SignalStarted();
  TraceLog(TRACE_INFO, "Discovery Thread");
  uint32_t scans = 0, errors = 0, consecutive = 0;
  bool afterError = false;
  DWORD pause = 0;
  for (;;) {
    {
      CMutexLock lock(GetLock());
      if (StopWanted()) return;
      WaitForStop(pause);
      pause = kScanPauseMs;
      if (StopWanted()) return;
    }

    const auto begin = std::chrono::steady_clock::now();
    const bool scanned = m_pStack->DiscoverRemoteDevice();
    const uint32_t ms = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count());
    TraceLog(TRACE_INFO, "Number of BT Scans = %u", ++scans);
    TraceLog(TRACE_INFO, "Time for Scan = %u", ms);
    TrackMaximum(m_MaxDiscoveryTime, ms, "Max Discovery Time");
    if (StopWanted()) return;

    if (!scanned) {
      TraceLog(TRACE_ERR, "Number of BT Scans ERRORS = %u", errors++);
      TraceLog(TRACE_ERR, "Number of BT Scan Consecutive ERRORS = %u", consecutive++);
      if (consecutive > kMaxConsecutiveErrors) {
        TraceLog(TRACE_ERR, "MAX Consecutive Errors Exceeded");
        if (IBluetoothEvent* listener = m_pListener) {
          TraceLog(TRACE_ERR, "Notifying Upper");
          listener->OnVciBtError(BT_MAX_SCAN_ERRORS);
        }
        pause = kErrorLimitPauseMs;
        consecutive = 0;
      }
      afterError = true;
      continue;
    }

    if (afterError) {
      // The stack has recovered: bring the network connection and the
      // companion program's connections back to a known state and start
      // over from an empty map. The stack is asked directly, not through
      // ResetPAN: a command holding m_Lock may be joining this thread.
      TraceLog(TRACE_ERR, "First attempt at discovery after error");
      if (m_pEnableConnection) m_pEnableConnection(kPanConnection, true);
      m_pStack->ResetPAN();
      afterError = false;
      {
        CMutexLock lock(GetLock());
        WaitForStop(kAfterErrorSettleMs);
      }
      m_Detected.clear();
      continue;
    }

    consecutive = 0;
    if (!ProcessScan()) return;
  }
}

bool CBluetoothMgr::ProcessScan() {
  const std::shared_ptr<const CIdentConfig::CSettings> settings = CIdentConfig::GetInstance().GetSettings();
  const std::vector<std::string> devices = m_pStack->GetDeviceList();
  std::vector<std::string> found;
  for (const std::string& address : devices)
    if (!m_NonVci.Contains(address)) found.push_back(address);
  TraceLog(TRACE_INFO, "Total Items Detected %u", static_cast<uint32_t>(devices.size()));
  TrackMaximum(m_MaxDevices, static_cast<uint32_t>(devices.size()), "Max Devices Detected");

  if (CheckDefaultVci(found)) {
    TraceLog(TRACE_INFO, "Found default device. Exiting BluetoothMgr");
    return false;
  }
  bool notified = CheckCachedVcis(found);

  for (auto& entry : m_Detected) {
    BtVciInfo& info = entry.second;
    if (Contains(found, info.BDADDR)) {
      info.misses = 0;
    } else {
      ++info.misses;
      TraceLog(TRACE_INFO, "VCI SN %s Num Times not detected = %u", entry.first.c_str(), info.misses);
    }
  }

  const DWORD attempts = std::max<DWORD>(Setting(*settings, CIdentConfig::BT_NUM_FALSE_DETECTS), 1);
  for (const std::string& address : found) {
    const bool known = std::any_of(m_Detected.begin(), m_Detected.end(),
                                   [&](const BtVciInfoMap::value_type& e) { return e.second.BDADDR == address; });
    if (known) continue;
    if (StopWanted()) return false;
    std::string name, serial;
    BtVciInfo info;
    bool queried = false, vci = false;
    for (DWORD i = 0; i < attempts; ++i) {
      queried = QueryFriendlyName(address, name) == 0;
      // A stop cuts the query short: what it gave judges nothing.
      if (StopWanted()) return false;
      if (!queried) break;
      if (!name.empty()) {
        vci = ParseFriendlyName(name, serial, info);
        break;
      }
      TraceLog(TRACE_INFO, "Friendly Name is empty iCount = %u", static_cast<uint32_t>(i));
    }
    // Unjudged, asked again after the next scan: a name that could not be
    // read, or one that stayed empty (a real radio often learns a name only
    // in a later inquiry, and a VCI filed as none would never be asked again).
    if (!queried || name.empty()) continue;
    if (vci) {
      TraceLog(TRACE_INFO, "New VCI detected SN = %s", serial.c_str());
      info.BDADDR = address;
      m_Detected[serial] = info;
      notified = true;
      Notify();
    } else {
      TraceLog(TRACE_INFO, "%s is not a VCI", address.c_str());
      m_NonVci.Add(address, name);
    }
  }

  const DWORD limit = Setting(*settings, CIdentConfig::NUM_TIMES_NO_DETECT);
  for (auto it = m_Detected.begin(); it != m_Detected.end();) {
    if (it->second.misses >= limit) {
      TraceLog(TRACE_INFO, "Erasing %s from Map", it->first.c_str());
      it = m_Detected.erase(it);
    } else {
      ++it;
    }
  }

  if (!notified) Notify();
  return true;
}

bool CBluetoothMgr::CheckDefaultVci(const std::vector<std::string>& found) {
  BtVciInfoMap cached;
  std::string serial;
  {
    CMutexLock g(m_CacheLock);
    serial = m_DefaultSerial;
    if (found.empty() || serial.empty() || serial == "0") return false;
    if (FindBtVci(m_Detected, SerialValue(serial)) != m_Detected.end()) return true;
    cached = m_Cached;
  }
  const auto it = FindBtVci(cached, SerialValue(serial));
  if (it == cached.end() || !Contains(found, it->second.BDADDR)) return false;
  std::string name;
  if (QueryFriendlyName(it->second.BDADDR, name) != 0) return false;
  BtVciInfo info = it->second;
  std::string named;
  if (!ParseFriendlyName(name, named, info)) {
    TraceLog(TRACE_INFO, "Error Parsing Default Devices BD Address");
    return false;
  }
  TraceLog(TRACE_INFO, "Default VCI detected SN = %s", named.c_str());
  m_Detected[named] = info;
  Notify();
  return true;
}

bool CBluetoothMgr::CheckCachedVcis(std::vector<std::string>& found) {
  if (found.empty()) return false;
  BtVciInfoMap cached;
  std::string defaultSerial;
  {
    CMutexLock g(m_CacheLock);
    cached = m_Cached;
    defaultSerial = m_DefaultSerial;
  }
  bool notified = false;
  for (const auto& entry : cached) {
    const std::string& address = entry.second.BDADDR;
    if (m_Detected.count(entry.first) || SerialValue(entry.first) == SerialValue(defaultSerial) ||
        !Contains(found, address))
      continue;
    std::string name, serial;
    BtVciInfo info = entry.second;
    if (QueryFriendlyName(address, name) != 0) {
      TraceLog(TRACE_INFO, "Error Retrieving Device friendly name from cached VCI");
      found.erase(std::remove(found.begin(), found.end(), address), found.end());
    } else if (!ParseFriendlyName(name, serial, info)) {
      TraceLog(TRACE_INFO, "Error Parsing Cached devices's friendly name");
      found.erase(std::remove(found.begin(), found.end(), address), found.end());
    } else {
      TraceLog(TRACE_INFO, "Cached VCI detected SN = %s", serial.c_str());
      m_Detected[serial] = info;
      Notify();
      notified = true;
    }
  }
  return notified;
}
