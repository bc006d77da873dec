// CStopSignals: SIGTERM and SIGINT become a WM_CLOSE posted to the main
// window, so that `systemctl stop` and Ctrl-C stop the service in order;
// SIGPIPE is ignored. The handler only writes the signal to a pipe; a watcher
// thread posts the message, as no window code may run in a signal handler.
// One object per process at a time.
#pragma once

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
