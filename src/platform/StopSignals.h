// CStopSignals: SIGTERM and SIGINT become a WM_CLOSE posted to the main
// window, so that `systemctl stop` and Ctrl-C stop the service in order;
// SIGHUP becomes WM_RELOAD_CONFIG (`systemctl reload`: read the settings
// again), SIGPIPE is ignored. The handler only writes the signal to a pipe; a
// watcher thread posts the message, as no window code may run in a signal
// handler. One object per process at a time.
#pragma once

#include <signal.h>

#include <thread>

#include "platform/Mutex.h"
#include "platform/WinUser.h"

// Posted to the main window for SIGHUP. A reload before the window exists
// is dropped: the settings are read at start anyway.
enum : UINT { WM_RELOAD_CONFIG = WM_USER + 11 };

class CStopSignals {
 public:
  CStopSignals();
  // Stops and joins the watcher and gives SIGTERM, SIGINT and SIGHUP their
  // default actions back.
  ~CStopSignals();
  CStopSignals(const CStopSignals&) = delete;
  CStopSignals& operator=(const CStopSignals&) = delete;

  // The window that receives the messages. A stop signal that came before
  // it was set is delivered now.
  void SetTarget(HWND hwnd);

 private:
  void Watch();

  int m_Pipe[2] = {-1, -1};  // Constant after construction.
  std::thread m_Watcher;

  CMutex m_Lock;
  HWND m_hTarget GUARDED_BY(m_Lock) = 0;
  bool m_bPending GUARDED_BY(m_Lock) = false;
};

namespace platform {

// The stop signals (SIGTERM and SIGINT) as a set, for a program that takes
// them with sigwait or a signalfd instead of through CStopSignals.
sigset_t StopSignalSet();
// Blocks the stop signals in the calling thread, and so in every thread it
// starts afterwards, and gives their set.
sigset_t BlockStopSignals();

}  // namespace platform
