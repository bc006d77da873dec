// The trace writer: one process-wide lock, the trace file opened and closed
// for every line.
#include "host/TraceLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "host/IdentConfig.h"
#include "host/MainWindowHandle.h"
#include "platform/Kernel.h"
#include "platform/Paths.h"
#include "platform/Registry.h"

namespace {

std::mutex& Lock() {
  static std::mutex* lock = new std::mutex;  // Outlives every static destructor.
  return *lock;
}
std::string g_TracePath;         // Guarded by Lock(); computed once.
bool g_FirstWritePending = true;  // Guarded by Lock().
std::atomic<bool> g_Silenced{false};
const DWORD kLocationBufferSize = 256;  // LogFileLocation is read into this many bytes.

// The C library's ctime text of a local time: "Mon Dec  7 01:02:03 2026\n".
std::string CtimeText(const SYSTEMTIME& t) {
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[64];
  snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", days[t.wDayOfWeek % 7], months[(t.wMonth + 11) % 12],
           t.wDay, t.wHour, t.wMinute, t.wSecond, t.wYear);
  return text;
}

// Requires Lock() held.
bool ComputeTracePath() {
  std::string folder;
  if (platform::ReadRegistryString("LogFileLocation", kLocationBufferSize, folder) != ERROR_SUCCESS) return false;
  std::string dir = platform::JoinPath(folder, "ident");
  platform::CreateFolders(dir);
  g_TracePath = platform::JoinPath(dir, "ident_log.txt");
  return true;
}

}  // namespace

void TraceLog(int level, const char* format, ...) {
  if (g_Silenced.load(std::memory_order_relaxed)) return;
  CIdentConfig& config = CIdentConfig::GetInstance();
  bool show = config.GetShowWindow(), persist = config.GetPersist();
  if (!show && !persist) return;
  const char* name = level == TRACE_WARN ? "WARN" : level == TRACE_ERR ? "ERR " : "INFO";

  std::lock_guard<std::mutex> g(Lock());
  int tid = static_cast<int>(GetCurrentThreadId());
  const SYSTEMTIME now = GetWallClock().Local;

  char message[1024];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(message, sizeof message, format, ap);
  va_end(ap);
  if (n < 0 || n > 1023) return;  // Too long: dropped everywhere.
  if (level < config.GetTraceLevel()) return;

  char clock[24];
  snprintf(clock, sizeof clock, "%02d:%02d:%02d", now.wHour, now.wMinute, now.wSecond);
  std::string line(n + 64, '\0');
  int len = snprintf(&line[0], line.size(), "%s.%03d:%5d:%s: %s", clock, static_cast<int>(now.wMilliseconds), tid,
                     name, message);
  line.resize(static_cast<size_t>(len));

  if (show) PostLogLine(line.c_str());
  if (!persist) return;
  if (g_TracePath.empty() && !ComputeTracePath()) return;
  FILE* f;
  if (g_FirstWritePending) {
    f = fopen(g_TracePath.c_str(), config.GetAppend() ? "a+" : "w+");
    if (!f) return;
    fputs(CtimeText(now).c_str(), f);
    g_FirstWritePending = false;
  } else {
    f = fopen(g_TracePath.c_str(), "a+");
    if (!f) return;
  }
  fputs(line.c_str(), f);
  fputc('\n', f);
  fclose(f);
}

void ResetTraceLogState() {
  std::lock_guard<std::mutex> g(Lock());
  g_TracePath.clear();
  g_FirstWritePending = true;
}

void SetTraceLogSilenced(bool silenced) { g_Silenced.store(silenced); }
