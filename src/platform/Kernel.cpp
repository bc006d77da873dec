#include "platform/Kernel.h"

#include <malloc.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

DWORD GetCurrentThreadId() { return static_cast<DWORD>(syscall(SYS_gettid)); }

WallClock GetWallClock() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm {};
  const time_t seconds = ts.tv_sec;
  localtime_r(&seconds, &tm);
  WallClock clock;
  clock.llSeconds = static_cast<int64_t>(ts.tv_sec);
  clock.uiTicks100ns = static_cast<uint32_t>(ts.tv_nsec / 100);
  clock.Local.wYear = static_cast<WORD>(tm.tm_year + 1900);
  clock.Local.wMonth = static_cast<WORD>(tm.tm_mon + 1);
  clock.Local.wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  clock.Local.wDay = static_cast<WORD>(tm.tm_mday);
  clock.Local.wHour = static_cast<WORD>(tm.tm_hour);
  clock.Local.wMinute = static_cast<WORD>(tm.tm_min);
  clock.Local.wSecond = static_cast<WORD>(tm.tm_sec);
  clock.Local.wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
  return clock;
}

void GetRealTime(int64_t& seconds, int64_t& nanoseconds) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  seconds = ts.tv_sec;
  nanoseconds = ts.tv_nsec;
}

void Beep(DWORD, DWORD duration) {
  if (isatty(STDOUT_FILENO)) {
    fputc('\a', stdout);
    fflush(stdout);
  }
  struct timespec pause = {static_cast<time_t>(duration / 1000), static_cast<long>(duration % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

void ReleaseFreeMemory() { malloc_trim(0); }

uint32_t RaiseDescriptorLimit() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    struct rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(limit.rlim_cur);
}

void MapLargeBlocks(size_t bytes) { mallopt(M_MMAP_THRESHOLD, static_cast<int>(bytes)); }
