#include "host/IdentConfig.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "host/IniFile.h"
#include "host/TraceLog.h"
#include "platform/LocalAddress.h"
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

// Every setting but zones 5 to 20, which have no built-in values.
void ApplyDefaults(CIdentConfig::CSettings& s) {
  s.m_bAppend = s.m_bLoadVCIs = s.m_bSkipPair = false;
  for (int i = 0; i < CIdentConfig::NUM_TIMEOUTS; ++i) s.m_Timeouts[i] = kTimeouts[i].def;
  s.m_uiNumLinkQualityZones = 4;
  for (int i = 0; i < 4; ++i) s.m_Zones[i] = kDefaultZones[i];
  s.m_sControlAddress.clear();
  s.m_sControlAddressError.clear();
  s.m_uiOutputLines = CIdentConfig::DEFAULT_OUTPUT_LINES;
}

const char* BoolText(bool b) { return b ? "true" : "false"; }
const char* const kLevelNames[] = {"INFO", "WARNING", "ERROR"};
const char* LevelName(int level) { return level >= 0 && level <= 2 ? kLevelNames[level] : "ERROR"; }

// The sections the service reads (as iniparser keeps names: lower case),
// and the keys of each but the zones and the timeouts, which have rules of
// their own.
const struct {
  const char* section;
  std::vector<const char*> keys;
} kSections[] = {
    {"log", {"level", "persist", "append"}},
    {"mode", {"skippair", "showwindow", "loadvcis", "outputlines"}},
    {"timeouts", {}},
    {"link-quality", {"num-zones"}},
    {"network", {"controladdress"}},
};

// One ident.ini read as the service reads it, and what it does not take as
// written (findings, when given): every reader of a key says what it takes.
class CIniReader {
 public:
  CIniReader(const CIniFile& ini, std::vector<std::string>* findings) : m_Ini(ini), m_pFindings(findings) {}

  // Switches are true for the text "true" alone, in any case.
  bool Switch(const char* key) {
    const char* s = m_Ini.Find(key);
    if (!s) return false;
    const bool on = strcasecmp(s, "true") == 0;
    if (!on && strcasecmp(s, "false") != 0) Finding(key, s, "not true or false; false is used");
    return on;
  }

  // A C integer with automatic base, as the service reads it; absent: def.
  DWORD Number(const char* key, DWORD def) {
    const char* s = m_Ini.Find(key);
    if (!s) return def;
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(s, &end, 0);
    const DWORD used = static_cast<DWORD>(std::strtol(s, nullptr, 0));
    const std::string instead = "; " + std::to_string(used) + " is used";
    if (end == s || *end != '\0')
      Finding(key, s, "not a whole number" + instead);
    else if (n < 0 || n > 0xFFFFFFFFLL || errno == ERANGE)
      Finding(key, s, "not a number from 0 to 4294967295" + instead);
    else if (s[0] == '0' && s[1] >= '0' && s[1] <= '9')
      Finding(key, s, "a leading 0 makes it octal" + instead);
    return used;
  }

  // "info", "warn" or "error" in any case; absent: ERR; any other text
  // keeps the level that is in force.
  int Level(const char* key, int current) {
    const char* text = m_Ini.Find(key);
    if (!text) return 2;
    if (strcasecmp(text, "info") == 0) return 0;
    if (strcasecmp(text, "warn") == 0) return 1;
    if (strcasecmp(text, "error") == 0) return 2;
    Finding(key, text, std::string("not info, warn or error; the trace level stays ") + LevelName(current));
    return current;
  }

  // The address text as given (empty when absent) and why it cannot be
  // listened on.
  std::string Address(const char* key, std::string& error) {
    const char* s = m_Ini.Find(key);
    error.clear();
    if (!s) return "";
    if (!platform::IsLocalAddress(s, error)) Finding(key, s, error + "; the service does not start");
    return s;
  }

  // The sections and keys that the service does not read at all.
  void Unread(DWORD zonesInUse, DWORD zoneCount) {
    if (!m_pFindings) return;
    for (const std::string& section : m_Ini.GetSections())
      if (!KnownSection(section))
        m_pFindings->push_back("[" + section + "]: unknown section; " + Keys(m_Ini.CountKeys(section)) + " ignored");
    for (const std::string& key : m_Ini.GetKeys()) {
      const size_t colon = key.find(':');
      const std::string section = key.substr(0, colon), name = key.substr(colon + 1);
      if (!KnownSection(section) && !section.empty()) continue;  // said above
      unsigned zone = 0;
      char rest = 0;
      if (section == "link-quality" && std::sscanf(name.c_str(), "zone-%u%c", &zone, &rest) == 1 && zone >= 1 &&
          zone <= CIdentConfig::MAX_ZONES) {
        if (zone > zonesInUse)
          Finding(key.c_str(), m_Ini.Find(key.c_str()),
                  "not used, as num-zones is " + std::to_string(zoneCount) + "; ignored");
      } else if (section.empty()) {
        Finding(key.c_str(), m_Ini.Find(key.c_str()), "outside any section; ignored");
      } else if (!KnownKey(section, name)) {
        Finding(key.c_str(), m_Ini.Find(key.c_str()), "unknown key; ignored");
      }
    }
  }

  void Finding(const char* key, const char* value, const std::string& what) {
    if (!m_pFindings) return;
    const std::string k = key;
    const size_t colon = k.find(':');
    m_pFindings->push_back("[" + k.substr(0, colon) + "] " + k.substr(colon + 1) + " = " + value + ": " + what);
  }

 private:
  static std::string Keys(long n) { return n == 1 ? "its key is" : "its " + std::to_string(n) + " keys are"; }
  static bool KnownSection(const std::string& section) {
    for (const auto& s : kSections)
      if (section == s.section) return true;
    return false;
  }
  static bool KnownKey(const std::string& section, const std::string& name) {
    if (section == "timeouts") {
      for (int i = 0; i < CIdentConfig::NUM_TIMEOUTS; ++i)
        if (strcasecmp(name.c_str(), CIdentConfig::TimeoutName(static_cast<CIdentConfig::Timeout>(i))) == 0)
          return true;
      return false;
    }
    for (const auto& s : kSections)
      if (section == s.section)
        for (const char* k : s.keys)
          if (name == k) return true;
    return false;
  }

  const CIniFile& m_Ini;
  std::vector<std::string>* const m_pFindings;
};

// The settings of a parsed ident.ini over s; level, persist and show take
// the trace switches (level holds the one in force).
void ReadIni(const CIniFile& ini, CIdentConfig::CSettings& s, int& level, bool& persist, bool& show,
             std::vector<std::string>* findings) {
  CIniReader r(ini, findings);
  level = r.Level("log:level", level);
  persist = r.Switch("log:persist");
  s.m_bAppend = r.Switch("log:append");
  s.m_bSkipPair = r.Switch("mode:skippair");
  show = r.Switch("mode:showwindow");
  s.m_bLoadVCIs = r.Switch("mode:loadvcis");
  s.m_uiOutputLines = r.Number("mode:outputlines", CIdentConfig::DEFAULT_OUTPUT_LINES);
  for (int i = 0; i < CIdentConfig::NUM_TIMEOUTS; ++i)
    s.m_Timeouts[i] = r.Number(("timeouts:" + std::string(kTimeouts[i].name)).c_str(), kTimeouts[i].def);
  s.m_uiNumLinkQualityZones = r.Number("link-quality:num-zones", s.m_uiNumLinkQualityZones);
  if (const char* zones = ini.Find("link-quality:num-zones"))
    if (s.m_uiNumLinkQualityZones > CIdentConfig::MAX_ZONES)
      r.Finding("link-quality:num-zones", zones, "above 20; the first 20 zones are used");
  for (DWORD i = 0; i < s.GetZonesInUse(); ++i)
    s.m_Zones[i] = r.Number(("link-quality:zone-" + std::to_string(i + 1)).c_str(), s.m_Zones[i]);
  s.m_sControlAddress = r.Address("network:controladdress", s.m_sControlAddressError);
  r.Unread(s.GetZonesInUse(), s.m_uiNumLinkQualityZones);
}

CRecursiveMutex g_InstanceLock;
std::atomic<CIdentConfig*> g_Instance{nullptr};
CIdentConfig* g_Constructing GUARDED_BY(g_InstanceLock) = nullptr;
alignas(CIdentConfig) unsigned char g_Storage[sizeof(CIdentConfig)];

}  // namespace

CIdentConfig& CIdentConfig::GetInstance() {
  if (CIdentConfig* p = g_Instance.load(std::memory_order_acquire)) return *p;
  CMutexLock g(g_InstanceLock);
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
    CMutexLock g(m_ReloadLock);
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
  CMutexLock g(m_SettingsLock);
  return m_pSettings;
}

void CIdentConfig::Publish(const CSettings& settings) {
  auto next = std::make_shared<const CSettings>(settings);
  {
    CMutexLock g(m_SettingsLock);
    m_pSettings.swap(next);
  }
  m_uiGeneration.fetch_add(1, std::memory_order_release);
  // The old set goes when its last reader lets go of it (here, when next
  // leaves scope, unless a reader still holds it).
}

bool CIdentConfig::IsLoaded() const {
  static const SYSTEMTIME zero{};
  CMutexLock g(m_ReloadLock);
  return memcmp(&m_FileTime, &zero, sizeof zero) != 0;
}

void CIdentConfig::SetDefaults() {
  CMutexLock g(m_ReloadLock);
  SetDefaultsLocked();
}

void CIdentConfig::SetDefaultsLocked() {
  CSettings s = *GetSettings();
  ApplyDefaults(s);
  m_iTraceLevel = 2;
  m_bPersist = false;
  m_bShowWindow = false;
  Publish(s);
  HandToLog(true);
}

void CIdentConfig::HandToLog(bool reopen) {
  // Only the service's own configuration decides its trace; the separate
  // instances of tools and tests do not.
  if (this != reinterpret_cast<CIdentConfig*>(g_Storage)) return;
  CMutexLock g(m_HandLock);
  SetTraceSinks(GetTraceLevel(), GetShowWindow(), GetPersist(), GetAppend(), reopen);
}

bool CIdentConfig::IniFilePath(std::string& path) {
  std::string folder;
  if (platform::ReadRegistryString("IdentServiceDefaultLocation", kLocationBufferSize, folder) != ERROR_SUCCESS)
    return false;
  path = platform::JoinPath(folder, "ident.ini");
  return true;
}

int CIdentConfig::Load() {
  CMutexLock g(m_ReloadLock);
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
  bool persist = false, show = false;
  std::vector<std::string> findings;
  ReadIni(ini, s, level, persist, show, &findings);
  Publish(s);
  m_iTraceLevel = level;
  m_bPersist = persist;
  m_bShowWindow = show;
  HandToLog(true);
  for (const std::string& finding : findings)
    TraceLog(TRACE_WARN, "CIdentConfig::Load %s: %s", path.c_str(), finding.c_str());
  return 0;
}

bool CIdentConfig::Check(const std::string& path, std::vector<std::string>& findings) {
  CIniFile ini;
  if (!ini.Load(path)) return false;
  CSettings s{};
  ApplyDefaults(s);
  int level = 2;
  bool persist = false, show = false;
  ReadIni(ini, s, level, persist, show, &findings);
  return true;
}

bool CIdentConfig::CheckForChanges() {
  CMutexLock g(m_ReloadLock);
  return TakeInLocked(false);
}

bool CIdentConfig::Reload() {
  CMutexLock g(m_ReloadLock);
  return TakeInLocked(true);
}

bool CIdentConfig::TakeInLocked(bool always) {
  std::string path;
  if (!IniFilePath(path)) return false;
  SYSTEMTIME t;
  if (platform::GetFileLastWriteTime(path, t)) {
    if (!always && memcmp(&t, &m_FileTime, sizeof t) == 0) return false;
    TraceLog(TRACE_INFO, "Log file has changed. Reloading");
    if (LoadLocked() != 0) {
      SetDefaultsLocked();
      m_FileTime = t;
    }
    return true;
  }
  static const SYSTEMTIME zero{};
  if (!always && memcmp(&m_FileTime, &zero, sizeof zero) == 0) return false;
  TraceLog(TRACE_INFO, "No Ini file detected. loading defaults");
  SetDefaultsLocked();
  m_FileTime = zero;
  return true;
}

void CIdentConfig::LogStartup() {
  std::shared_ptr<const CSettings> s = GetSettings();
  TraceLog(TRACE_INFO, "Trace Level = %s", LevelName(GetTraceLevel()));
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
