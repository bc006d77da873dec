#include "bluetooth/NonVciList.h"

#include <cstdio>

#include "host/IniFile.h"
#include "host/TraceLog.h"
#include "platform/Files.h"
#include "platform/Kernel.h"
#include "platform/Registry.h"

namespace {

const char kNonVciFile[] = "non-vci-bt.txt";
const char kNonVciSection[] = "Non_VCI_BT_Devices";

bool NonVciPath(std::string& path) {
  std::string folder;
  if (platform::ReadRegistryString("IdentServiceDefaultLocation", 256, folder) != ERROR_SUCCESS) return false;
  path = folder + "/" + kNonVciFile;
  return true;
}

// The C library's ctime text of the local time, line break included.
std::string CTimeText() {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const SYSTEMTIME t = GetWallClock().Local;
  char text[64];
  snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", kDays[t.wDayOfWeek % 7],
           kMonths[(t.wMonth + 11) % 12], t.wDay, t.wHour, t.wMinute, t.wSecond, t.wYear);
  return text;
}

// The section's entry count, or -1 when it is missing or cannot be the
// count of this section: every entry brings at least its address key
// beside the count's own, so a larger count is garbled (and would have the
// loader look up entries for ever, and the appender number past the
// largest long).
long EntryCount(const CIniFile& ini, const std::string& section) {
  const long count = ini.GetInt((section + ":NumDevices").c_str(), -1);
  return count > ini.CountKeys(section) ? -1 : count;
}

}  // namespace

int32_t CNonVciList::Load() {
  std::string path;
  if (!NonVciPath(path)) return -1;
  if (!platform::OpensForReading(path)) {
    TraceLog(TRACE_INFO, "Non-VCI cached file %s not found", path.c_str());
    return 0;
  }
  CIniFile ini;
  const std::vector<std::string> sections = ini.Load(path) ? ini.GetSections() : std::vector<std::string>();
  if (sections.empty()) {
    TraceLog(TRACE_WARN, "Error Parsing %s", path.c_str());
    return 0;
  }
  const std::string& section = sections.front();
  const long count = EntryCount(ini, section);
  if (count < 0) {
    TraceLog(TRACE_WARN, "Error Parsing %s", (section + ":NumDevices").c_str());
    return 0;
  }
  for (long n = 1; n <= count; ++n) {
    const std::string key = section + ":bt_dev_" + std::to_string(n);
    const char* address = ini.Find(key.c_str());
    if (address)
      m_Addresses.insert(address);
    else
      TraceLog(TRACE_WARN, "Error Parsing %s", key.c_str());
  }
  return 0;
}

void CNonVciList::Add(const std::string& address, const std::string& name) {
  m_Addresses.insert(address);
  std::string path;
  if (!NonVciPath(path)) return;
  platform::CreateFileIfMissing(path);
  CIniFile ini;
  if (!ini.Load(path)) {
    TraceLog(TRACE_WARN, "Can't load %s", path.c_str());
    return;
  }
  const std::vector<std::string> sections = ini.GetSections();
  std::string section = kNonVciSection;
  long count = 1;
  if (!sections.empty()) {
    section = sections.front();
    const long held = EntryCount(ini, section);
    if (held < 0) return;
    count = held + 1;
  } else {
    ini.Set(section.c_str(), nullptr);
  }
  const std::string n = std::to_string(count);
  ini.Set((section + ":NumDevices").c_str(), n.c_str());
  ini.Set((section + ":bt_dev_" + n).c_str(), address.c_str());
  ini.Set((section + ":bt_FN_" + n).c_str(), name.c_str());
  ini.Set((section + ":bt_TS_" + n).c_str(), CTimeText().c_str());
  ini.Save(path);
}
