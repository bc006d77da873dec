// A lock that a class lends to itself by deriving from this: the connection
// manager guards its own state with it.
#pragma once

#include <boost/thread/mutex.hpp>

class CThreadSync {
 public:
  CThreadSync() = default;
  virtual ~CThreadSync() = default;
  CThreadSync(const CThreadSync&) = delete;
  CThreadSync& operator=(const CThreadSync&) = delete;

  void Lock() { m_SyncLock.lock(); }
  void Unlock() { m_SyncLock.unlock(); }
  boost::mutex& GetSyncLock() { return m_SyncLock; }

 private:
  boost::mutex m_SyncLock;
};
