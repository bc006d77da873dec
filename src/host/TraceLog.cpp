// The trace writer: the sinks' switches as atomics that every line reads
// before anything is formatted, and the trace file kept open under one
// process-wide lock.
#include "host/TraceLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/JournalPriority.h"
#include "host/MainWindowHandle.h"
#include "platform/Files.h"
#include "platform/Journal.h"
#include "platform/Kernel.h"
#include "platform/Mutex.h"
#include "platform/Paths.h"
#include "platform/Registry.h"

namespace {

CMutex& Lock() {
  static CMutex* lock = new CMutex;  // Outlives every static destructor.
  return *lock;
}
std::string g_TracePath GUARDED_BY(Lock());  // Computed once.
bool g_FirstWritePending GUARDED_BY(Lock()) = true;
bool g_Append GUARDED_BY(Lock()) = false;
std::atomic<bool> g_Silenced{false};
std::atomic<int> g_JournalFd{-1};
// The configuration's decision, as last handed over.
std::atomic<int> g_Level{TRACE_ERR};
std::atomic<bool> g_Show{false};
std::atomic<bool> g_Persist{false};
std::string g_StartFailure GUARDED_BY(Lock());
// The local time of the last line's second, so that a line within the same
// second takes only the clock, not the time zone's conversion.
WallClock g_LastClock GUARDED_BY(Lock()){};
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

bool ComputeTracePath() REQUIRES(Lock()) {
  std::string folder;
  if (platform::ReadRegistryString("LogFileLocation", kLocationBufferSize, folder) != ERROR_SUCCESS) return false;
  std::string dir = platform::JoinPath(folder, "ident");
  platform::CreateFolders(dir);
  g_TracePath = platform::JoinPath(dir, "ident_log.txt");
  return true;
}

// The trace file, open or not; like the lock, it outlives every static
// destructor.
platform::CAppendFile& File() REQUIRES(Lock()) {
  static platform::CAppendFile* file = new platform::CAppendFile;
  return *file;
}

void CloseTraceFile() REQUIRES(Lock()) { File().Close(); }

// The open trace file, opened when it is not: the process's first opening
// truncates it unless append is set and starts it with the date; a later
// one appends. Null when it cannot be opened (the next line tries again).
platform::CAppendFile* TraceFile(const SYSTEMTIME& now) REQUIRES(Lock()) {
  platform::CAppendFile& file = File();
  if (file.IsOpen()) return &file;
  if (g_TracePath.empty() && !ComputeTracePath()) return nullptr;
  if (!file.Open(g_TracePath, g_FirstWritePending && !g_Append)) return nullptr;
  if (g_FirstWritePending) {
    file.Write(CtimeText(now));
    g_FirstWritePending = false;
  }
  return &file;
}

}  // namespace

void TraceLog(int level, const char* format, ...) {
  if (g_Silenced.load(std::memory_order_relaxed)) return;
  const bool traced = level >= g_Level.load(std::memory_order_relaxed);
  bool show = traced && g_Show.load(std::memory_order_relaxed);
  const bool persist = traced && g_Persist.load(std::memory_order_relaxed);
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

  // The message is the caller's alone: it is formatted before the lock.
  char message[1024];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(message, sizeof message, format, ap);
  va_end(ap);
  if (n < 0 || n > 1023) return;  // Too long: dropped everywhere.

  CMutexLock g(Lock());
  if (journal) platform::WriteJournalLine(journalFd, priority, message, static_cast<size_t>(n));
  if (!show && !persist) return;
  const int tid = static_cast<int>(GetCurrentThreadId());
  int64_t seconds = 0, nanoseconds = 0;
  GetRealTime(seconds, nanoseconds);
  if (seconds != g_LastClock.llSeconds) g_LastClock = GetWallClock();
  SYSTEMTIME now = g_LastClock.Local;
  if (seconds == g_LastClock.llSeconds) now.wMilliseconds = static_cast<WORD>(nanoseconds / 1000000);
  // "%02d:%02d:%02d.%03d:%5d:%s: %s" and a line end, written field by
  // field: the message is formatted once, not a second time into the line.
  char line[1100];
  char* p = line;
  auto digits = [&p](unsigned value, int width) {
    for (int i = width - 1; i >= 0; --i, value /= 10) p[i] = static_cast<char>('0' + value % 10);
    p += width;
  };
  digits(now.wHour % 100, 2);
  *p++ = ':';
  digits(now.wMinute % 100, 2);
  *p++ = ':';
  digits(now.wSecond % 100, 2);
  *p++ = '.';
  digits(now.wMilliseconds % 1000, 3);
  *p++ = ':';
  // The thread id right-aligned in five places (wider when it is longer).
  char id[12];
  int idLength = 0;
  for (unsigned v = static_cast<unsigned>(tid); idLength == 0 || v != 0; v /= 10)
    id[idLength++] = static_cast<char>('0' + v % 10);
  for (int i = idLength; i < 5; ++i) *p++ = ' ';
  while (idLength > 0) *p++ = id[--idLength];
  *p++ = ':';
  std::memcpy(p, name, 4);
  p += 4;
  *p++ = ':';
  *p++ = ' ';
  // Up to a NUL that a %c may have put inside, as %s would take it.
  const size_t length = strlen(message);
  std::memcpy(p, message, length);
  p += length;
  if (show) {
    // The window takes the line without its line end.
    *p = '\0';
    PostLogLine(line);
  }
  *p++ = '\n';
  if (!persist) return;
  // Flushed line by line: a reader of the file (or a crash) never finds
  // half of a line, and nothing waits in the buffer for the next line.
  if (platform::CAppendFile* f = TraceFile(now)) f->Write(line, static_cast<size_t>(p - line));
}

void SetTraceSinks(int level, bool show, bool persist, bool append, bool reopen) {
  CMutexLock g(Lock());
  g_Level.store(level, std::memory_order_relaxed);
  g_Show.store(show, std::memory_order_relaxed);
  g_Persist.store(persist, std::memory_order_relaxed);
  g_Append = append;
  if (reopen || !persist) CloseTraceFile();
}

void ResetTraceLogState() {
  CMutexLock g(Lock());
  CloseTraceFile();
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
    CMutexLock g(Lock());
    if (g_StartFailure.empty()) g_StartFailure = message;
  }
  TraceLog(TRACE_ERR, "%s", message);
}

std::string GetStartFailure() {
  CMutexLock g(Lock());
  return g_StartFailure;
}

std::string TraceSinksText() {
  static const char* const kFrom[] = {" from INFO", " from WARN", " from ERROR"};
  const int level = g_Level.load();
  const char* from = level >= 0 && level <= 2 ? kFrom[level] : kFrom[2];
  const bool show = g_Show.load();
  std::string sinks;
  auto add = [&sinks](const std::string& sink) { sinks += (sinks.empty() ? "" : ", ") + sink; };
  if (g_JournalFd.load() >= 0)
    add(std::string("journal") + (show ? from : " from WARN"));
  else if (show)
    add(std::string("standard output") + from);
  if (g_Persist.load()) {
    CMutexLock g(Lock());
    add("file " + (g_TracePath.empty() && !ComputeTracePath() ? std::string("(no LogFileLocation)") : g_TracePath) +
        from);
  }
  return sinks.empty() ? "none" : sinks;
}
