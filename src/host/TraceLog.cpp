// The trace writer: one process-wide lock, the trace file opened and closed
// for every line.
#include "host/TraceLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "host/IdentConfig.h"
#include "host/JournalPriority.h"
#include "host/MainWindowHandle.h"
#include "platform/Journal.h"
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
std::atomic<int> g_JournalFd{-1};
std::string g_StartFailure;  // Guarded by Lock().
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
  const bool traced = level >= config.GetTraceLevel();
  bool show = config.GetShowWindow() && traced;
  const bool persist = config.GetPersist() && traced;
  const int journalFd = g_JournalFd.load(std::memory_order_relaxed);
  int priority = platform::JOURNAL_INFO;
  bool journal = false;
  if (journalFd >= 0) {
    priority = JournalPriorityOf(level, format);
    journal = priority <= platform::JOURNAL_NOTICE || show;
    show = false;
  }
  if (!show && !persist && !journal) return;
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
  if (journal) platform::WriteJournalLine(journalFd, priority, message, static_cast<size_t>(n));
  if (!show && !persist) return;

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

void SetTraceJournal(int fd) { g_JournalFd.store(fd); }
bool IsTraceJournalOn() { return g_JournalFd.load() >= 0; }

void TraceStartFailure(const char* format, ...) {
  char message[1024];
  va_list ap;
  va_start(ap, format);
  vsnprintf(message, sizeof message, format, ap);
  va_end(ap);
  {
    std::lock_guard<std::mutex> g(Lock());
    if (g_StartFailure.empty()) g_StartFailure = message;
  }
  TraceLog(TRACE_ERR, "%s", message);
}

std::string GetStartFailure() {
  std::lock_guard<std::mutex> g(Lock());
  return g_StartFailure;
}

std::string TraceSinksText() {
  static const char* const kFrom[] = {" from INFO", " from WARN", " from ERROR"};
  CIdentConfig& config = CIdentConfig::GetInstance();
  const int level = config.GetTraceLevel();
  const char* from = level >= 0 && level <= 2 ? kFrom[level] : kFrom[2];
  std::string sinks;
  auto add = [&sinks](const std::string& sink) { sinks += (sinks.empty() ? "" : ", ") + sink; };
  if (g_JournalFd.load() >= 0)
    add(std::string("journal") + (config.GetShowWindow() ? from : " from WARN"));
  else if (config.GetShowWindow())
    add(std::string("standard output") + from);
  if (config.GetPersist()) {
    std::lock_guard<std::mutex> g(Lock());
    add("file " + (g_TracePath.empty() && !ComputeTracePath() ? std::string("(no LogFileLocation)") : g_TracePath) +
        from);
  }
  return sinks.empty() ? "none" : sinks;
}
