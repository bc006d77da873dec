#include "Progress.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

CProgress::CProgress(const std::string& text, int showAfterMs) : m_Text(text), m_iShowAfterMs(showAfterMs) {
  if (isatty(STDERR_FILENO)) m_Thread = std::thread(&CProgress::Run, this);
}

void CProgress::Done() {
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_bDone = true;
  }
  m_Wake.notify_all();
  if (m_Thread.joinable()) m_Thread.join();
}

void CProgress::Run() {
  static const char kMarks[] = "|/-\\";
  const auto start = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(m_Lock);
  if (m_Wake.wait_for(lock, std::chrono::milliseconds(m_iShowAfterMs), [this] { return m_bDone; })) return;
  for (unsigned turn = 0; !m_bDone; ++turn) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    std::fprintf(stderr, "\r\033[K%c %s %lds", kMarks[turn % 4], m_Text.c_str(), static_cast<long>(seconds.count()));
    std::fflush(stderr);
    m_Wake.wait_for(lock, std::chrono::milliseconds(250), [this] { return m_bDone; });
  }
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
}
