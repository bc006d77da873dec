#include "host/IdentConfig.h"

#include <cstring>
#include <strings.h>

#include "host/IniFile.h"
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
const DWORD kLocationBufferSize = 256;

// The ident.ini switches are true for the text "true" alone, in any case.
bool ReadSwitch(const CIniFile& ini, const char* key) {
  const char* s = ini.Find(key);
  return s && strcasecmp(s, "true") == 0;
}

DWORD ReadNumber(const CIniFile& ini, const char* key, DWORD def) {
  return static_cast<DWORD>(ini.GetInt(key, static_cast<long>(def)));
}

const char* BoolText(bool b) { return b ? "true" : "false"; }

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

CIdentConfig::CIdentConfig() : m_iTraceLevel(2), m_bPersist(false), m_bShowWindow(false) {
  {
    std::lock_guard<std::mutex> g(m_ReloadLock);
    memset(&m_FileTime, 0, sizeof m_FileTime);
    Publish(CSettings{});  // zones 5 to 20 start at 0
    SetDefaultsLocked();
    LoadLocked();
  }
  LogStartup();
}

CIdentConfig::~CIdentConfig() = default;

const char* CIdentConfig::TimeoutName(Timeout which) { return kTimeouts[which].name; }
DWORD CIdentConfig::TimeoutDefault(Timeout which) { return kTimeouts[which].def; }

std::shared_ptr<const CIdentConfig::CSettings> CIdentConfig::GetSettings() const {
  std::lock_guard<std::mutex> g(m_SettingsLock);
  return m_pSettings;
}

void CIdentConfig::Publish(const CSettings& settings) {
  auto next = std::make_shared<const CSettings>(settings);
  std::lock_guard<std::mutex> g(m_SettingsLock);
  m_pSettings.swap(next);
  // The old set goes when its last reader lets go of it (here, when next
  // leaves scope, unless a reader still holds it).
}

bool CIdentConfig::IsLoaded() const {
  static const SYSTEMTIME zero{};
  std::lock_guard<std::mutex> g(m_ReloadLock);
  return memcmp(&m_FileTime, &zero, sizeof zero) != 0;
}

void CIdentConfig::SetDefaults() {
  std::lock_guard<std::mutex> g(m_ReloadLock);
  SetDefaultsLocked();
}

// Zones 5 to 20 keep their values: they have no built-in ones.
void CIdentConfig::SetDefaultsLocked() {
  CSettings s = *GetSettings();
  s.m_bAppend = s.m_bLoadVCIs = s.m_bSkipPair = false;
  for (int i = 0; i < NUM_TIMEOUTS; ++i) s.m_Timeouts[i] = kTimeouts[i].def;
  s.m_uiNumLinkQualityZones = 4;
  for (int i = 0; i < 4; ++i) s.m_Zones[i] = kDefaultZones[i];
  s.m_sControlAddress.clear();
  m_iTraceLevel = 2;
  m_bPersist = false;
  m_bShowWindow = false;
  Publish(s);
}

bool CIdentConfig::IniFilePath(std::string& path) {
  std::string folder;
  if (platform::ReadRegistryString("IdentServiceDefaultLocation", kLocationBufferSize, folder) != ERROR_SUCCESS)
    return false;
  path = platform::JoinPath(folder, "ident.ini");
  return true;
}

int CIdentConfig::Load() {
  std::lock_guard<std::mutex> g(m_ReloadLock);
  return LoadLocked();
}

int CIdentConfig::LoadLocked() {
  std::string path;
  if (!IniFilePath(path)) return -1;
  CIniFile ini;
  if (!ini.Load(path)) return -1;
  SYSTEMTIME t;
  if (platform::GetFileLastWriteTime(path, t)) m_FileTime = t;

  CSettings s = *GetSettings();
  int level = GetTraceLevel();
  const char* text = ini.Find("log:level");
  if (!text) level = 2;
  else if (strcasecmp(text, "info") == 0) level = 0;
  else if (strcasecmp(text, "warn") == 0) level = 1;
  else if (strcasecmp(text, "error") == 0) level = 2;
  bool persist = ReadSwitch(ini, "log:persist");
  s.m_bAppend = ReadSwitch(ini, "log:append");
  s.m_bSkipPair = ReadSwitch(ini, "mode:skippair");
  bool show = ReadSwitch(ini, "mode:showwindow");
  s.m_bLoadVCIs = ReadSwitch(ini, "mode:loadvcis");
  for (int i = 0; i < NUM_TIMEOUTS; ++i)
    s.m_Timeouts[i] = ReadNumber(ini, ("timeouts:" + std::string(kTimeouts[i].name)).c_str(), kTimeouts[i].def);
  s.m_uiNumLinkQualityZones = ReadNumber(ini, "link-quality:num-zones", s.m_uiNumLinkQualityZones);
  for (DWORD i = 0; i < s.GetZonesInUse(); ++i)
    s.m_Zones[i] = ReadNumber(ini, ("link-quality:zone-" + std::to_string(i + 1)).c_str(), s.m_Zones[i]);
  s.m_sControlAddress = ini.GetString("network:controladdress", "");

  Publish(s);
  m_iTraceLevel = level;
  m_bPersist = persist;
  m_bShowWindow = show;
  return 0;
}

bool CIdentConfig::CheckForChanges() {
  std::lock_guard<std::mutex> g(m_ReloadLock);
  std::string path;
  if (!IniFilePath(path)) return false;
  SYSTEMTIME t;
  if (platform::GetFileLastWriteTime(path, t)) {
    if (memcmp(&t, &m_FileTime, sizeof t) == 0) return false;
    TraceLog(TRACE_INFO, "Log file has changed. Reloading");
    if (LoadLocked() != 0) {
      SetDefaultsLocked();
      m_FileTime = t;
    }
    return true;
  }
  static const SYSTEMTIME zero{};
  if (memcmp(&m_FileTime, &zero, sizeof zero) == 0) return false;
  TraceLog(TRACE_INFO, "No Ini file detected. loading defaults");
  SetDefaultsLocked();
  m_FileTime = zero;
  return true;
}

void CIdentConfig::LogStartup() {
  static const char* const kLevels[] = {"INFO", "WARNING", "ERROR"};
  int traceLevel = GetTraceLevel();
  const char* level = traceLevel >= 0 && traceLevel <= 2 ? kLevels[traceLevel] : "ERROR";
  std::shared_ptr<const CSettings> s = GetSettings();
  TraceLog(TRACE_INFO, "Trace Level = %s", level);
  TraceLog(TRACE_INFO, "Persist Log File = %s", BoolText(GetPersist()));
  TraceLog(TRACE_INFO, "Append Log File = %s", BoolText(s->m_bAppend));
  TraceLog(TRACE_INFO, "Load Stored VCIs = %s", BoolText(s->m_bLoadVCIs));
  TraceLog(TRACE_INFO, "Skip Bluetooth Pairing = %s", BoolText(s->m_bSkipPair));
  TraceLog(TRACE_INFO, "Show Output Windows = %s", BoolText(GetShowWindow()));
  // Log order differs from key order: POWER_CYCLE_TIME after BT_IF_DOWN_TIMEOUT.
  static const Timeout kOrder[] = {QMX_BT_TIMEOUT,       BT_CONNECT_TIMEOUT,      BT_DISCONNECT_TIMEOUT,
                                   BT_IF_UP_TIMEOUT,     BT_SLEEP_AFTER_RADIO_ON, BT_IF_DOWN_TIMEOUT,
                                   POWER_CYCLE_TIME,     DISCOVERY_TIMEOUT,       CHECK_CONNECT_TIMEOUT,
                                   PAIR_TIMEOUT,         WM_CLEAR_BD_ADDR_TIMEOUT, NUM_TIMES_NO_DETECT,
                                   NUM_PAIR_ATTEMPTS,    BT_NUM_FALSE_DETECTS};
  for (Timeout t : kOrder) TraceLog(TRACE_INFO, "%s = %d", kTimeouts[t].name, static_cast<int>(s->m_Timeouts[t]));
  TraceLog(TRACE_INFO, "m_uiNumLinkQualityZones = %d", static_cast<int>(s->m_uiNumLinkQualityZones));
  for (DWORD i = 0; i < s->GetZonesInUse(); ++i)
    TraceLog(TRACE_INFO, "LINK_QUALITY_ZONE_%d = %d", static_cast<int>(i), static_cast<int>(s->m_Zones[i]));
}
