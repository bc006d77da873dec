// Kernel-style events on the service's locks: a manual-reset or auto-reset flag that
// threads wait on with a time limit. Set never blocks and may be called from
// any thread.
#pragma once

#include "platform/CondVar.h"
#include "platform/Mutex.h"
#include "platform/WinTypes.h"

enum : DWORD { INFINITE = 0xFFFFFFFF };
enum : DWORD { WAIT_OBJECT_0 = 0, WAIT_TIMEOUT = 258 };

class CEvent {
 public:
  explicit CEvent(bool manualReset = false, bool initialState = false)
      : m_bManualReset(manualReset), m_bSignalled(initialState) {}
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;

  void Set();
  void Reset();
  // WAIT_OBJECT_0 when signalled within ms milliseconds (INFINITE: no limit),
  // WAIT_TIMEOUT otherwise. An auto-reset event is cleared by the wait that
  // sees it.
  DWORD Wait(DWORD ms);
  bool IsSet() const;

 private:
  const bool m_bManualReset;
  mutable CMutex m_Lock;
  CCondVar m_Cond;
  bool m_bSignalled GUARDED_BY(m_Lock);
};
