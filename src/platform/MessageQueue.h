// CMessageQueue: the message queue of one thread. Posted messages wait in
// order for GetMessage; sent messages (from other threads or processes) are
// handed to the owning thread ahead of them, and each is answered exactly
// once: by the thread that handles it, or with 0 when the queue closes first.
#pragma once

#include <deque>
#include <functional>
#include <memory>

#include "platform/CondVar.h"
#include "platform/Mutex.h"
#include "platform/WinUser.h"

class CMessageQueue {
 public:
  // Receives the result of a sent message.
  typedef std::function<void(LRESULT)> Completion;
  // Handles a sent message on the owning thread.
  typedef std::function<LRESULT(const MSG&)> Handler;

  CMessageQueue() = default;
  ~CMessageQueue();
  CMessageQueue(const CMessageQueue&) = delete;
  CMessageQueue& operator=(const CMessageQueue&) = delete;

  // The calling thread's queue, created on first use and closed when the
  // thread ends.
  static std::shared_ptr<CMessageQueue> ForCurrentThread();

  // Never blocks; false once the queue is closed.
  bool Post(const MSG& msg);
  // Queues a sent message; false (and done never called) once closed.
  bool Send(const MSG& msg, Completion done);
  void PostQuit(int exitCode);

  // Owning thread: handles the sent messages with handle, then takes the
  // next posted message (true) or, with none left after PostQuit, WM_QUIT
  // (false). Waits while there is nothing.
  bool Get(MSG& msg, const Handler& handle);

  // Answers what is still sent with 0 and refuses everything from now on.
  void Close();

 private:
  struct CSent {
    MSG msg;
    Completion done;
  };

  CMutex m_Lock;
  CCondVar m_Changed;
  std::deque<MSG> m_Posted GUARDED_BY(m_Lock);
  std::deque<CSent> m_Sent GUARDED_BY(m_Lock);
  bool m_bQuit GUARDED_BY(m_Lock) = false;
  int m_iExitCode GUARDED_BY(m_Lock) = 0;
  bool m_bClosed GUARDED_BY(m_Lock) = false;
};
