// CServiceStatus: the service's counts for the service manager, as the
// "STATUS=" line that `systemctl status` shows ("3 VCIs, 1 application
// registered"). A change is sent at once, but at most one line per interval:
// the VCI table of a busy LAN changes many times a second. The newest text
// is always sent, at the latest one interval after the change.
#pragma once

#include <cstdint>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/CondVar.h"
#include "platform/Mutex.h"

class CServiceStatus {
 public:
  enum : uint32_t { DEFAULT_INTERVAL_MS = 1000 };
  // Makes the text; called on the status thread, with no lock of this
  // class held.
  typedef std::function<std::string()> TextFunction;

  CServiceStatus(TextFunction text, uint32_t intervalMs = DEFAULT_INTERVAL_MS);
  ~CServiceStatus();
  CServiceStatus(const CServiceStatus&) = delete;
  CServiceStatus& operator=(const CServiceStatus&) = delete;

  // Starts the status thread and sends the first text; nothing when no
  // service manager listens ($NOTIFY_SOCKET unset).
  void Start();
  // Ends and joins the thread; cuts its pause.
  void Stop();
  // The counts may have changed. Any thread; never waits for the sending.
  void Changed();

 private:
  void Run();

  const TextFunction m_Text;
  const std::chrono::milliseconds m_Interval;
  std::thread m_Thread;  // The owner's thread only (Start, Stop).

  CMutex m_Lock;
  CCondVar m_Wake;
  bool m_bChanged GUARDED_BY(m_Lock) = false;
  bool m_bStop GUARDED_BY(m_Lock) = false;
};
