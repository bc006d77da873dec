// The engine's Bluetooth side: its start, the file of Bluetooth VCIs
// (vci-bt.txt), the Bluetooth commands and the switch of the PC's Bluetooth
// network connection.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <thread>
#include <vector>

#include "discovery/DefDevice.h"
#include "discovery/VCIIdentClient.h"
#include "host/IniFile.h"
#include "host/TraceLog.h"
#include "platform/AdapterInfo.h"
#include "platform/Files.h"
#include "platform/NetConnection.h"
#include "platform/Paths.h"
#include "platform/Registry.h"

const char CVCIIdentClient::kBluetoothConnection[] = "Bluetooth Personal";
const char CVCIIdentClient::kBtFileName[] = "vci-bt.txt";

namespace {

typedef std::chrono::steady_clock Clock;

const char kPin[] = "9062";
// Between two looks at the connection state or at the adapter list.
const uint32_t kPollMs = 200;

DWORD Timeout(CIdentConfig::Timeout which) { return CIdentConfig::GetInstance().GetTimeout(which); }

void Pause(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int SerialOf(const std::string& name) { return atoi(name.c_str()); }

}  // namespace

void CVCIIdentClient::InitializeBluetooth(bool& enable) {
  LoadDetectedVCIs();
  if (CIdentConfig::GetInstance().GetLoadVCIs()) m_BtVciMap = m_StoredBtVciMap;
  uint32_t defaultSerial = 0;
  std::string text;
  platform::RegistryStep step = platform::RegistryStep::NONE;
  LONG e = platform::ReadRegistryString("DefaultDevice", 240, text, &step);
  if (e == ERROR_SUCCESS)
    defaultSerial = static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 10));
  else if (step == platform::RegistryStep::OPEN)
    TraceLog(TRACE_ERR, "CVCIIdentClient::Initialize Cannot open registry key. Default Device Thread Error hr = %d",
             static_cast<int>(e));
  else
    TraceLog(TRACE_WARN, "CVCIIdentClient::Initialize Can't query %s hr = %d", "DefaultDevice", static_cast<int>(e));

  int32_t r = m_BtMgr.Initialize(this, m_StoredBtVciMap, defaultSerial);
  if (r == 0) {
    TraceLog(TRACE_INFO, "CVCIIdentClient::Initialize Bluetooth Initialized");
    return;
  }
  if (r == IDENT_BT_NO_STACK) TraceLog(TRACE_ERR, "CVCIIdentClient::Initialize TOSHIBA DLL is not loaded on this PC");
  TraceLog(TRACE_ERR, "CVCIIdentClient::Initialize Bluetooth Initialization Error");
  m_iBtInitError = r;
  enable = false;
}

std::string CVCIIdentClient::BtFilePath(const std::string& location) {
  return platform::JoinPath(platform::JoinPath(location, "data_files"), kBtFileName);
}

int32_t CVCIIdentClient::LoadDetectedVCIs() {
  TraceLog(TRACE_INFO, "CVCIIdentClient::LoadDetectedVCIs Entering");
  std::string location;
  if (platform::ReadRegistryString("IdentServiceDefaultLocation", 256, location) != ERROR_SUCCESS) return -1;
  CIniFile ini;
  if (!ini.Load(BtFilePath(location))) return 0;
  CMutexLock table(m_TableLock);
  for (const std::string& section : ini.GetSections()) {
    const char* address = ini.Find((section + ":BDADDR").c_str());
    const char* version = ini.Find((section + ":FW_Version").c_str());
    const char* type = ini.Find((section + ":ModuleType").c_str());
    const char* state = ini.Find((section + ":ModuleState").c_str());
    if (!address || !version || !type || !state) continue;
    // The state is written in decimal and read as hexadecimal, so 10 comes
    // back as 16; the states in use (1, 2) read back unchanged.
    BtVciInfo& info = m_StoredBtVciMap[section];
    info.BDADDR = address;
    info.FW_Version = static_cast<uint32_t>(strtoul(version, nullptr, 16));
    info.ModuleType = static_cast<uint32_t>(atoi(type));
    info.ModuleState = static_cast<uint32_t>(strtoul(state, nullptr, 16));
  }
  TraceLog(TRACE_INFO, "CVCIIdentClient::LoadDetectedVCIs Leaving");
  return 0;
}

int32_t CVCIIdentClient::UpdateDetectedVCIs(const std::string& name, const BtVciInfo& info) {
  TraceLog(TRACE_INFO, "CVCIIdentClient::UpdateDetectedVCIs Entering");
  std::string location;
  if (platform::ReadRegistryString("IdentServiceDefaultLocation", 256, location) != ERROR_SUCCESS) return -1;
  const std::string path = BtFilePath(location);
  platform::CreateFileIfMissing(path);
  CIniFile ini;
  if (!ini.Load(path)) {
    TraceLog(TRACE_WARN, "CVCIIdentClient::UpdateDetectedVCIs Can't load %s", path.c_str());
    return 0;
  }
  char version[16], type[16], state[16];
  snprintf(version, sizeof version, "%08x", info.FW_Version);
  snprintf(type, sizeof type, "%d", static_cast<int>(info.ModuleType));
  snprintf(state, sizeof state, "%d", static_cast<int>(info.ModuleState));
  const bool set = ini.Set(name.c_str(), nullptr) && ini.Set((name + ":BDADDR").c_str(), info.BDADDR.c_str()) &&
                   ini.Set((name + ":FW_Version").c_str(), version) &&
                   ini.Set((name + ":ModuleType").c_str(), type) && ini.Set((name + ":ModuleState").c_str(), state);
  if (set && !ini.Save(path)) {
    // A file that cannot be written, or whose garbled names would not read
    // back, keeps its old text; the VCI is stored again at its next change.
    TraceLog(TRACE_WARN, "CVCIIdentClient::UpdateDetectedVCIs Can't write %s", path.c_str());
    return 0;
  }
  m_StoredBtVciMap[name] = info;
  m_BtMgr.SetCachedVCIList(m_StoredBtVciMap);
  return 0;
}

int32_t CVCIIdentClient::BtCommand(uint32_t serial, uint32_t session, uint32_t command, int32_t& status) {
  TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand Entering");
  CMutexLock commands(m_CmdLock);
  if (!m_BtMgr.IsLibraryPresent()) return -1;
  BtVciInfoMap copy;
  {
    CMutexLock table(m_TableLock);
    copy = m_BtVciMap;
  }
  int32_t r = -1;
  if (command == BT_SCAN) {
    r = BtScan(copy);
  } else {
    auto it = FindBtVci(copy, serial);
    if (it == copy.end()) {
      TraceLog(TRACE_ERR, "CVCIIdentClient::BtCommand Can't find %s in the BT Map", std::to_string(serial).c_str());
      return -1;
    }
    const std::string name = it->first;
    const int32_t sessionId = static_cast<int32_t>(session);
    if (command == BT_CONNECT) {
      r = BtConnect(copy, name, sessionId);
    } else if (command == BT_DISCONNECT) {
      r = BtDisconnect(it->second, name, sessionId);
    } else if (command == BT_CHECK_CONNECT_STATE) {
      TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand BT_CHECK_CONNECT_STATE %d", SerialOf(name));
      uint16_t cid = 0;
      r = m_BtMgr.CheckConnectState(it->second.BDADDR, cid, status) ? 0 : -1;
    }
  }
  TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand Leaving");
  return r;
}

void CVCIIdentClient::WriteBack(const BtVciInfoMap& copy) {
  CMutexLock table(m_TableLock);
  for (const auto& rec : copy) {
    auto it = m_BtVciMap.find(rec.first);
    if (it != m_BtVciMap.end()) it->second = rec.second;
  }
}

int32_t CVCIIdentClient::BtScan(BtVciInfoMap& copy) {
  TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand BT_SCAN");
  for (auto& rec : copy) rec.second.sessions.clear();
  EnableInterface(true);
  EnableInterface(false);
  m_BtMgr.StopDiscovery();
  m_BtMgr.DisconnectAll();
  m_BtMgr.StartDiscovery();
  WriteBack(copy);
  return 0;
}

int32_t CVCIIdentClient::BtConnect(BtVciInfoMap& copy, const std::string& name, int32_t session) {
  const int serial = SerialOf(name);
  TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand BT_CONNECT %d", serial);
  TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand Stopping Discovery");
  int32_t r = m_BtMgr.StopDiscovery();
  if (r != 0) TraceLog(TRACE_ERR, "CVCIIdentClient::BtCommand StopDiscovery Error");

  // A connection that nobody uses is dropped; one in use for another VCI
  // refuses the connect (there is one Bluetooth network).
  bool already = false;
  for (auto& rec : copy) {
    TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand Checking Connect State for %d", SerialOf(rec.first));
    uint16_t cid = 0;
    int32_t state = 0;
    if (!m_BtMgr.CheckConnectState(rec.second.BDADDR, cid, state)) continue;
    TraceLog(TRACE_WARN, "CVCIIdentClient::BtCommand Found existing BT connection %d", SerialOf(rec.first));
    if (rec.second.sessions.empty()) {
      if (!m_BtMgr.Disconnect(cid)) {
        TraceLog(TRACE_WARN, "CVCIIdentClient::BtCommand Unable to Disconnect from %d", SerialOf(rec.first));
        m_BtMgr.ResetPAN();
      }
    } else if (rec.first == name) {
      rec.second.sessions.push_back(session);
      already = true;
    } else {
      return -1;
    }
  }
  if (already) {
    WriteBack(copy);
    return 0;
  }
  BtVciInfo& rec = copy[name];
  if (r == 0) {
    {
      CMutexLock table(m_TableLock);
      for (auto it = m_BtVciMap.begin(); it != m_BtVciMap.end();)
        it = it->first == name ? std::next(it) : m_BtVciMap.erase(it);
    }
    Notify(EVENT_VCI_STATUS, EVENT_TABLE_CHANGED);
    TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand Pairing with %d, %s", serial, rec.BDADDR.c_str());
    const DWORD attempts = Timeout(CIdentConfig::NUM_PAIR_ATTEMPTS);
    for (DWORD attempt = 1; attempt <= attempts; ++attempt) {
      r = m_BtMgr.Pair(rec.BDADDR, kPin);
      if (r == 0) break;
      TraceLog(TRACE_ERR, "CVCIIdentClient::BtCommand Pairing Error Attempt %d", static_cast<int>(attempt));
    }
  }
  // From here on the VCI's first announcement on the new interface counts.
  if (r == 0) ArmInterfaceWait(true);
  if (r == 0) {
    TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand Connecting with %d, %s", serial, rec.BDADDR.c_str());
    r = m_BtMgr.ConnectPAN(rec.BDADDR);
    if (r != 0) TraceLog(TRACE_ERR, "CVCIIdentClient::BtCommand Connect Error");
  }
  if (r == 0) {
    // Checked every 200 ms down to -200, so a connection first seen at 0
    // or -200 still counts as a timeout.
    const int32_t timeout = static_cast<int32_t>(Timeout(CIdentConfig::BT_CONNECT_TIMEOUT));
    int32_t remaining = timeout;
    Pause(kPollMs);
    TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand Waiting for Connection Indication");
    uint16_t cid = 0;
    int32_t state = 0;
    while (!m_BtMgr.CheckConnectState(rec.BDADDR, cid, state) && remaining >= 0) {
      Pause(kPollMs);
      remaining -= kPollMs;
      TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand Check Connect State for %d", serial);
    }
    if (remaining < 1) {
      TraceLog(TRACE_ERR, "CVCIIdentClient::BtCommand Connect Timeout Error");
      r = -1;
      int32_t up = EnableInterface(true);
      int32_t down = EnableInterface(false);
      TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand Enabling Bluetooth IF iEnableIf = %d, iDisableIf = %d", up, down);
    } else {
      TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand Connection indication received after %d ms", timeout - remaining);
    }
  }
  if (r == 0) {
    TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand Enabling Bluetooth Lan Connection");
    if (EnableInterface(true) == 0)
      TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand Bluetooth LAN Connection Enabled");
    else
      TraceLog(TRACE_ERR, "CVCIIdentClient::BtCommand Bluetooth LAN Connection Disabled");
    rec.sessions.push_back(session);
    TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand Num BT Connections = %d", static_cast<int>(rec.sessions.size()));
    TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand Waiting for IF Address to be registered");
    if (WaitForInterface(Clock::now() + std::chrono::milliseconds(Timeout(CIdentConfig::BT_IF_UP_TIMEOUT))))
      TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand BT_CONNECT Interface UP");
    else
      TraceLog(TRACE_WARN, "CVCIIdentClient::BtCommand Timed out waiting for IF to come up");
    CMutexLock table(m_TableLock);
    auto it = m_BtVciMap.find(name);
    if (it == m_BtVciMap.end()) return -1;
    it->second = rec;
    return 0;
  }
  ArmInterfaceWait(false);
  TraceLog(TRACE_ERR, "CVCIIdentClient::BtCommand Error connecting. Restarting Discovery");
  if (m_BtMgr.StartDiscovery() != 0) TraceLog(TRACE_ERR, "CVCIIdentClient::BtCommand Error Starting Discovery Process");
  return r;
}

int32_t CVCIIdentClient::BtDisconnect(BtVciInfo& rec, const std::string& name, int32_t session) {
  const int serial = SerialOf(name);
  TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand BT_DISCONNECT %d", serial);
  auto mine = std::find(rec.sessions.begin(), rec.sessions.end(), session);
  if (mine == rec.sessions.end()) {
    TraceLog(TRACE_ERR, "Can't find session ID in BT list SessionID = %d, List Size = %d", session,
             static_cast<int>(rec.sessions.size()));
    return -1;
  }
  rec.sessions.erase(mine);
  if (rec.sessions.empty()) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(Timeout(CIdentConfig::BT_IF_DOWN_TIMEOUT));
    ArmInterfaceWait(false);
    TraceLog(TRACE_INFO, "VCIIdentClient::BtCommand Disabling Interface");
    EnableInterface(false);
    TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand Disconnecting from %d", serial);
    m_BtMgr.ResetPAN();
    if (WaitForInterface(deadline))
      TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand BT_DISCONNECT Interface DOWN");
    else
      TraceLog(TRACE_WARN, "CVCIIdentClient::BtCommand Timed out waiting for IF to go down");
    TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand Waiting for Disconnect Indication");
    const int32_t timeout = static_cast<int32_t>(Timeout(CIdentConfig::BT_DISCONNECT_TIMEOUT));
    int32_t remaining = timeout;
    uint16_t cid = 0;
    int32_t state = 0;
    while (m_BtMgr.CheckConnectState(rec.BDADDR, cid, state) && remaining >= 0) {
      Pause(kPollMs);
      remaining -= kPollMs;
    }
    if (remaining < 1)
      TraceLog(TRACE_ERR, "CVCIIdentClient::BtCommand Disonnect Timeout Error");
    else
      TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand Disconnect indication received after %d ms", timeout - remaining);
    m_BtMgr.StartDiscovery();
  }
  TraceLog(TRACE_INFO, "CVCIIdentClient::BtCommand Num BT Connections = %d", static_cast<int>(rec.sessions.size()));
  {
    CMutexLock table(m_TableLock);
    auto it = m_BtVciMap.find(name);
    if (it == m_BtVciMap.end()) return -1;
    // The watcher's VCI is found afresh by the next scan.
    if (session == static_cast<int32_t>(DEFAULT_DEVICE_SESSION))
      m_BtVciMap.erase(it);
    else
      it->second = rec;
  }
  Notify(EVENT_VCI_STATUS, EVENT_TABLE_CHANGED);
  return 0;
}

void CVCIIdentClient::ArmInterfaceWait(bool waiting) {
  CMutexLock lock(m_IFLock);
  m_bWaitingForIF = waiting;
  m_bIFSeen = false;
}

bool CVCIIdentClient::WaitForInterface(Clock::time_point deadline) {
  CMutexLock lock(m_IFLock);
  while (!m_bIFSeen) {
    if (!m_IFCond.WaitUntil(m_IFLock, deadline)) break;
  }
  const bool seen = m_bIFSeen;
  m_bWaitingForIF = false;
  return seen;
}

int32_t CVCIIdentClient::EnableInterface(bool enable) {
  TraceLog(TRACE_INFO, "CVCIIdentClient::EnableInterface Entering");
  if (!EnableConnection(kBluetoothConnection, enable)) {
    TraceLog(TRACE_ERR, "CVCIIdentClient::EnableInterface EnableConnection Failed");
    return -1;
  }
  TraceLog(TRACE_INFO, enable ? "CVCIIdentClient::EnableInterface Searching for IF"
                              : "CVCIIdentClient::EnableInterface Making sure IF not present");
  // The adapter follows the connection at once here; the bound keeps a
  // connection whose adapter never follows from holding a command forever.
  const DWORD bound = Timeout(enable ? CIdentConfig::BT_IF_UP_TIMEOUT : CIdentConfig::BT_IF_DOWN_TIMEOUT);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(bound);
  for (;;) {
    std::vector<CAdapterInfo> adapters;
    if (GetAdaptersInfo(adapters) != ERROR_SUCCESS) return 0;
    bool done = !enable;
    for (const CAdapterInfo& a : adapters) {
      TraceLog(TRACE_INFO, "CVCIIdentClient::EnableInterface IFName = %.29s", a.Description.c_str());
      if (a.Description.find("Bluetooth") == std::string::npos) continue;
      TraceLog(TRACE_INFO, "CVCIIdentClient::EnableInterface Interface Found");
      done = enable;
      if (enable) break;
    }
    if (done) return 0;
    TraceLog(TRACE_INFO, "CVCIIdentClient::EnableInterface IF Not found. Trying again");
    if (Clock::now() >= deadline) {
      TraceLog(TRACE_WARN, "CVCIIdentClient::EnableInterface Gave up on the adapter after %d ms", static_cast<int>(bound));
      return -1;
    }
    Pause(kPollMs);
  }
}

bool CVCIIdentClient::EnableConnection(const std::string& deviceName, bool enable) {
  std::vector<CNetConnection> connections;
  if (FindNetConnections(deviceName, connections) != ERROR_SUCCESS || connections.empty()) return false;
  const CNetConnection& first = connections.front();
  return (enable ? first.Connect() : first.Disconnect()) == S_OK;
}
