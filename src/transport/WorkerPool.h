// CWorkerPool: a fixed number of worker threads that run queued jobs in the
// order they came. It is for work that peers can ask for faster than it
// should be done, where a thread per request would let them create threads
// without limit: the queue has a bound, and a job that does not fit is
// refused, so that its owner can drop it.
//
// Jobs are shared between the pool and their owner, so an owner may let go
// of a job that has finished while its worker is still leaving Run.
//
// Lock order: m_Lock is taken last; jobs run without it, and Post may be
// called with any lock of the owner held.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <vector>

#include "base/Thread.h"
#include "platform/CondVar.h"
#include "platform/Mutex.h"

class CWorkerPool {
 public:
  class IJob {
   public:
    virtual ~IJob() = default;
    virtual void Run() = 0;
  };

  CWorkerPool(size_t workers, size_t queueLimit);
  ~CWorkerPool();
  CWorkerPool(const CWorkerPool&) = delete;
  CWorkerPool& operator=(const CWorkerPool&) = delete;

  // Starts the workers (again after a Stop); 0, or -1 when not one could be
  // started.
  int Start();
  // Queues the job behind those waiting; false when the queue holds its
  // limit or no worker runs.
  bool Post(std::shared_ptr<IJob> job);
  // Forgets the queued jobs, waits for the running ones to return and joins
  // the workers. The owner makes the running jobs return promptly first
  // (aborts them), and holds no lock that a job takes.
  void Stop();

 private:
  class CWorker : public IThread {
   public:
    explicit CWorker(CWorkerPool& pool) : m_Pool(pool) {}
    ~CWorker() override { Stop(); }
    void Run(uint32_t uiArg1, uint32_t uiArg2) override;

   private:
    CWorkerPool& m_Pool;
  };
  // A worker's loop: the next job, until the pool stops.
  void Work();

  const size_t m_uiWorkers;
  const size_t m_uiQueueLimit;
  // The owner's thread only (Start, Stop).
  std::vector<std::unique_ptr<CWorker>> m_Workers;

  CMutex m_Lock;
  CCondVar m_Ready;
  std::deque<std::shared_ptr<IJob>> m_Queue GUARDED_BY(m_Lock);
  bool m_bRunning GUARDED_BY(m_Lock) = false;
};
