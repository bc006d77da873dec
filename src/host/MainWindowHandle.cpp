#include "host/MainWindowHandle.h"

#include <atomic>
#include <cstring>

namespace {
std::atomic<LogLinePoster> g_Poster{nullptr};
}

void SetLogWindowPoster(LogLinePoster poster) { g_Poster.store(poster); }

bool PostLogLine(const char* line) {
  LogLinePoster poster = g_Poster.load();
  if (!poster) return false;
  size_t n = strlen(line);
  char* block = static_cast<char*>(GlobalAlloc(GPTR, n + 1));
  if (!block) return false;
  memcpy(block, line, n);
  if (poster(block)) return true;
  GlobalFree(block);
  return false;
}
