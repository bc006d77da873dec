#include "host/IdentConfig.h"

#include <cstring>
#include <mutex>
#include <atomic>
#include <strings.h>

#include <iniparser.h>

#include "host/TraceLog.h"
#include "platform/Paths.h"
#include "platform/Registry.h"

namespace {

struct TimeoutKey {
  const char* name;
  DWORD def;
};
const TimeoutKey kTimeouts[CIdentConfig::NUM_TIMEOUTS] = {
    {"QMX_BT_TIMEOUT", 30000},        {"BT_CONNECT_TIMEOUT", 10000},   {"BT_DISCONNECT_TIMEOUT", 5000},
    {"BT_IF_UP_TIMEOUT", 20000},      {"BT_SLEEP_AFTER_RADIO_ON", 1000}, {"BT_IF_DOWN_TIMEOUT", 10000},
    {"DISCOVERY_TIMEOUT", 30000},     {"CHECK_CONNECT_TIMEOUT", 10000}, {"PAIR_TIMEOUT", 20000},
    {"WM_CLEAR_BD_ADDR_TIMEOUT", 5000}, {"NUM_TIMES_NO_DETECT", 5},     {"POWER_CYCLE_TIME", 5000},
    {"NUM_PAIR_ATTEMPTS", 2},         {"BT_NUM_FALSE_DETECTS", 2},
};
const DWORD kDefaultZones[4] = {30, 50, 60, 100};

bool ReadBool(dictionary* d, const char* key) {
  const char* s = iniparser_getstring(d, key, nullptr);
  return s && strcasecmp(s, "true") == 0;
}

const char* BoolText(bool b) { return b ? "true" : "false"; }

// iniparser reports a missing file on standard error; a missing ident.ini is
// the normal "defaults" case here.
int Quiet(const char*, ...) { return 0; }

std::recursive_mutex g_InstanceLock;
std::atomic<CIdentConfig*> g_Instance{nullptr};
CIdentConfig* g_Constructing = nullptr;  // Guarded by g_InstanceLock.
alignas(CIdentConfig) unsigned char g_Storage[sizeof(CIdentConfig)];

}  // namespace

CIdentConfig& CIdentConfig::GetInstance() {
  if (CIdentConfig* p = g_Instance.load(std::memory_order_acquire)) return *p;
  std::lock_guard<std::recursive_mutex> g(g_InstanceLock);
  if (CIdentConfig* p = g_Instance.load()) return *p;
  if (g_Constructing) return *g_Constructing;  // Reentered from our own log lines.
  // The object is never destroyed: threads still running at exit may log.
  g_Constructing = reinterpret_cast<CIdentConfig*>(g_Storage);
  new (g_Storage) CIdentConfig();
  g_Instance.store(g_Constructing, std::memory_order_release);
  g_Constructing = nullptr;
  return *g_Instance.load();
}

CIdentConfig::CIdentConfig() {
  memset(m_Zones, 0, sizeof m_Zones);
  SetDefaults();
  memset(&m_FileTime, 0, sizeof m_FileTime);
  Load();
  LogStartup();
}

CIdentConfig::~CIdentConfig() {
  if (m_pDict) iniparser_freedict(m_pDict);
}

const char* CIdentConfig::TimeoutName(Timeout which) { return kTimeouts[which].name; }
DWORD CIdentConfig::TimeoutDefault(Timeout which) { return kTimeouts[which].def; }

bool CIdentConfig::IsLoaded() const {
  static const SYSTEMTIME zero{};
  return memcmp(&m_FileTime, &zero, sizeof zero) != 0;
}

void CIdentConfig::SetDefaults() {
  m_iTraceLevel = 2;
  m_bPersist = m_bAppend = m_bLoadVCIs = m_bSkipPair = m_bShowWindow = false;
  for (int i = 0; i < NUM_TIMEOUTS; ++i) m_Timeouts[i] = kTimeouts[i].def;
  m_uiNumLinkQualityZones = 4;
  for (int i = 0; i < 4; ++i) m_Zones[i] = kDefaultZones[i];
}

bool CIdentConfig::IniFilePath(std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, VCI_REGISTRY_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  char folder[256] = {0};
  DWORD size = sizeof folder;
  DWORD type = REG_NONE;
  LONG r = RegQueryValueEx(key, "IdentServiceDefaultLocation", nullptr, &type, reinterpret_cast<LPBYTE>(folder), &size);
  if (RegCloseKey(key) != ERROR_SUCCESS || r != ERROR_SUCCESS || type != REG_SZ) return false;
  path = platform::JoinPath(folder, "ident.ini");
  return true;
}

int CIdentConfig::Load() {
  std::string path;
  if (!IniFilePath(path)) return -1;
  if (m_pDict) {
    iniparser_freedict(m_pDict);
    m_pDict = nullptr;
  }
  iniparser_set_error_callback(Quiet);
  m_pDict = iniparser_load(path.c_str());
  if (!m_pDict) return -1;
  SYSTEMTIME t;
  if (platform::GetFileLastWriteTime(path, t)) m_FileTime = t;

  const char* level = iniparser_getstring(m_pDict, "log:level", nullptr);
  if (!level) m_iTraceLevel = 2;
  else if (strcasecmp(level, "info") == 0) m_iTraceLevel = 0;
  else if (strcasecmp(level, "warn") == 0) m_iTraceLevel = 1;
  else if (strcasecmp(level, "error") == 0) m_iTraceLevel = 2;
  m_bPersist = ReadBool(m_pDict, "log:persist");
  m_bAppend = ReadBool(m_pDict, "log:append");
  m_bSkipPair = ReadBool(m_pDict, "mode:skippair");
  m_bShowWindow = ReadBool(m_pDict, "mode:showwindow");
  m_bLoadVCIs = ReadBool(m_pDict, "mode:loadvcis");
  char key[64];
  for (int i = 0; i < NUM_TIMEOUTS; ++i) {
    snprintf(key, sizeof key, "timeouts:%s", kTimeouts[i].name);
    m_Timeouts[i] = static_cast<DWORD>(iniparser_getint(m_pDict, key, static_cast<int>(kTimeouts[i].def)));
  }
  m_uiNumLinkQualityZones = static_cast<DWORD>(
      iniparser_getint(m_pDict, "link-quality:num-zones", static_cast<int>(m_uiNumLinkQualityZones)));
  for (DWORD i = 0; i < m_uiNumLinkQualityZones && i < MAX_ZONES; ++i) {
    snprintf(key, sizeof key, "link-quality:zone-%u", i + 1);
    m_Zones[i] = static_cast<DWORD>(iniparser_getint(m_pDict, key, static_cast<int>(m_Zones[i])));
  }
  return 0;
}

bool CIdentConfig::CheckForChanges() {
  std::string path;
  if (!IniFilePath(path)) return false;
  SYSTEMTIME t;
  if (platform::GetFileLastWriteTime(path, t)) {
    if (memcmp(&t, &m_FileTime, sizeof t) == 0) return false;
    TraceLog(TRACE_INFO, "Log file has changed. Reloading");
    if (m_pDict) {
      iniparser_freedict(m_pDict);
      m_pDict = nullptr;
    }
    if (Load() != 0) {
      SetDefaults();
      m_FileTime = t;
    }
    return true;
  }
  if (!IsLoaded()) return false;
  TraceLog(TRACE_INFO, "No Ini file detected. loading defaults");
  SetDefaults();
  memset(&m_FileTime, 0, sizeof m_FileTime);
  return true;
}

void CIdentConfig::LogStartup() {
  static const char* const kLevels[] = {"INFO", "WARNING", "ERROR"};
  const char* level = m_iTraceLevel >= 0 && m_iTraceLevel <= 2 ? kLevels[m_iTraceLevel] : "ERROR";
  TraceLog(TRACE_INFO, "Trace Level = %s", level);
  TraceLog(TRACE_INFO, "Persist Log File = %s", BoolText(m_bPersist));
  TraceLog(TRACE_INFO, "Append Log File = %s", BoolText(m_bAppend));
  TraceLog(TRACE_INFO, "Load Stored VCIs = %s", BoolText(m_bLoadVCIs));
  TraceLog(TRACE_INFO, "Skip Bluetooth Pairing = %s", BoolText(m_bSkipPair));
  TraceLog(TRACE_INFO, "Show Output Windows = %s", BoolText(m_bShowWindow));
  // Log order differs from key order: POWER_CYCLE_TIME after BT_IF_DOWN_TIMEOUT.
  static const Timeout kOrder[] = {QMX_BT_TIMEOUT,       BT_CONNECT_TIMEOUT,      BT_DISCONNECT_TIMEOUT,
                                   BT_IF_UP_TIMEOUT,     BT_SLEEP_AFTER_RADIO_ON, BT_IF_DOWN_TIMEOUT,
                                   POWER_CYCLE_TIME,     DISCOVERY_TIMEOUT,       CHECK_CONNECT_TIMEOUT,
                                   PAIR_TIMEOUT,         WM_CLEAR_BD_ADDR_TIMEOUT, NUM_TIMES_NO_DETECT,
                                   NUM_PAIR_ATTEMPTS,    BT_NUM_FALSE_DETECTS};
  for (Timeout t : kOrder) TraceLog(TRACE_INFO, "%s = %d", kTimeouts[t].name, static_cast<int>(m_Timeouts[t]));
  TraceLog(TRACE_INFO, "m_uiNumLinkQualityZones = %d", static_cast<int>(m_uiNumLinkQualityZones));
  for (DWORD i = 0; i < m_uiNumLinkQualityZones && i < MAX_ZONES; ++i)
    TraceLog(TRACE_INFO, "LINK_QUALITY_ZONE_%d = %d", static_cast<int>(i), static_cast<int>(m_Zones[i]));
}
