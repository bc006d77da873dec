// CProgress: a waiting indicator on the terminal (standard error) while a
// call runs: after a moment, a spinning mark, the text and the seconds so
// far, redrawn in place and erased when the call ends. Nothing at all when
// standard error is not a terminal.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

class CProgress {
 public:
  // Shows text once showAfterMs have passed without Done.
  CProgress(const std::string& text, int showAfterMs);
  ~CProgress() { Done(); }
  CProgress(const CProgress&) = delete;
  CProgress& operator=(const CProgress&) = delete;
  void Done();

 private:
  void Run();

  const std::string m_Text;
  const int m_iShowAfterMs;
  std::mutex m_Lock;
  std::condition_variable m_Wake;
  bool m_bDone = false;  // Guarded by m_Lock.
  std::thread m_Thread;
};
