#include "transport/WorkerPool.h"

#include <new>

#include "platform/Mutex.h"

CWorkerPool::CWorkerPool(size_t workers, size_t queueLimit) : m_uiWorkers(workers), m_uiQueueLimit(queueLimit) {}

CWorkerPool::~CWorkerPool() { Stop(); }

int CWorkerPool::Start() {
  {
    CMutexLock lock(m_Lock);
    m_bRunning = true;
  }
  while (m_Workers.size() < m_uiWorkers) {
    std::unique_ptr<CWorker> worker(new (std::nothrow) CWorker(*this));
    if (!worker || worker->Start() != 0) break;
    m_Workers.push_back(std::move(worker));
  }
  if (!m_Workers.empty()) return 0;
  CMutexLock lock(m_Lock);
  m_bRunning = false;
  return -1;
}

bool CWorkerPool::Post(std::shared_ptr<IJob> job) {
  CMutexLock lock(m_Lock);
  if (!m_bRunning || m_Queue.size() >= m_uiQueueLimit) return false;
  m_Queue.push_back(std::move(job));
  m_Ready.NotifyOne();
  return true;
}

void CWorkerPool::Stop() {
  std::deque<std::shared_ptr<IJob>> dropped;
  {
    CMutexLock lock(m_Lock);
    m_bRunning = false;
    dropped.swap(m_Queue);
    m_Ready.NotifyAll();
  }
  m_Workers.clear();  // each worker joins as it goes
}

void CWorkerPool::Work() {
  for (;;) {
    std::shared_ptr<IJob> job;
    {
      CMutexLock lock(m_Lock);
      while (m_bRunning && m_Queue.empty()) m_Ready.Wait(m_Lock);
      if (!m_bRunning) return;
      job = std::move(m_Queue.front());
      m_Queue.pop_front();
    }
    job->Run();
  }
}

void CWorkerPool::CWorker::Run(uint32_t, uint32_t) {
  SignalStarted();
  m_Pool.Work();
}
