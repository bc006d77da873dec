// CStopSignals: SIGTERM and SIGINT become a WM_CLOSE posted to the main
// window, so that `systemctl stop` and Ctrl-C stop the service in order;
// SIGPIPE is ignored. The handler only writes the signal to a pipe; a watcher
// thread posts the message, as no window code may run in a signal handler.
// One object per process at a time.
#pragma once

#include <signal.h>

#include <mutex>
#include <thread>

#include "platform/WinUser.h"

class CStopSignals {
 public:
  CStopSignals();
  // Stops and joins the watcher and gives SIGTERM and SIGINT their default
  // actions back.
  ~CStopSignals();
  CStopSignals(const CStopSignals&) = delete;
  CStopSignals& operator=(const CStopSignals&) = delete;

  // The window that receives WM_CLOSE. A signal that came before it was set
  // is delivered now.
  void SetTarget(HWND hwnd);

 private:
  void Watch();

  int m_Pipe[2] = {-1, -1};  // Constant after construction.
  std::thread m_Watcher;

  std::mutex m_Lock;
  HWND m_hTarget = 0;      // Guarded by m_Lock.
  bool m_bPending = false;  // Guarded by m_Lock.
};

namespace platform {

// The stop signals (SIGTERM and SIGINT) as a set, for a program that takes
// them with sigwait or a signalfd instead of through CStopSignals.
sigset_t StopSignalSet();
// Blocks the stop signals in the calling thread, and so in every thread it
// starts afterwards, and gives their set.
sigset_t BlockStopSignals();

}  // namespace platform
