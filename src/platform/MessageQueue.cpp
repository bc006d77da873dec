#include "platform/MessageQueue.h"

namespace {

// Closes the thread's queue when the thread ends, so that a sender waiting
// for it is answered and later posts fail, while windows that still name the
// queue keep the object alive.
struct CThreadQueue {
  std::shared_ptr<CMessageQueue> m_pQueue;
  ~CThreadQueue() {
    if (m_pQueue) m_pQueue->Close();
  }
};

}  // namespace

CMessageQueue::~CMessageQueue() { Close(); }

std::shared_ptr<CMessageQueue> CMessageQueue::ForCurrentThread() {
  thread_local CThreadQueue t;
  if (!t.m_pQueue) t.m_pQueue = std::make_shared<CMessageQueue>();
  return t.m_pQueue;
}

bool CMessageQueue::Post(const MSG& msg) {
  {
    CMutexLock g(m_Lock);
    if (m_bClosed) return false;
    m_Posted.push_back(msg);
  }
  m_Changed.NotifyAll();
  return true;
}

bool CMessageQueue::Send(const MSG& msg, Completion done) {
  {
    CMutexLock g(m_Lock);
    if (m_bClosed) return false;
    m_Sent.push_back(CSent{msg, std::move(done)});
  }
  m_Changed.NotifyAll();
  return true;
}

void CMessageQueue::PostQuit(int exitCode) {
  {
    CMutexLock g(m_Lock);
    m_bQuit = true;
    m_iExitCode = exitCode;
  }
  m_Changed.NotifyAll();
}

bool CMessageQueue::Get(MSG& msg, const Handler& handle) {
  CUniqueLock g(m_Lock);
  for (;;) {
    if (!m_Sent.empty()) {
      CSent sent = std::move(m_Sent.front());
      m_Sent.pop_front();
      g.Unlock();
      sent.done(handle(sent.msg));
      g.Lock();
      continue;
    }
    if (!m_Posted.empty()) {
      msg = m_Posted.front();
      m_Posted.pop_front();
      return true;
    }
    if (m_bQuit) {
      m_bQuit = false;
      msg = MSG();
      msg.message = WM_QUIT;
      msg.wParam = static_cast<WPARAM>(m_iExitCode);
      return false;
    }
    m_Changed.Wait(m_Lock);
  }
}

void CMessageQueue::Close() {
  std::deque<CSent> unanswered;
  {
    CMutexLock g(m_Lock);
    m_bClosed = true;
    unanswered.swap(m_Sent);
    m_Posted.clear();
  }
  for (CSent& s : unanswered) s.done(0);
}
