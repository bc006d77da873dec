#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/CondVar.h"
#include "platform/Mutex.h"

namespace {

// Whether another thread finds the lock free (and gives it back at once).
template <typename M>
bool FreeForOthers(M& mutex) {
  bool free = false;
  std::thread([&] {
    free = mutex.TryLock();
    if (free) mutex.Unlock();
  }).join();
  return free;
}

template <typename M>
class CCondVarTest : public testing::Test {};
using LockKinds = testing::Types<CMutex, CRecursiveMutex>;
TYPED_TEST_SUITE(CCondVarTest, LockKinds);

// A waiter gives the lock back while it sleeps, so the notifier gets in; it
// holds the lock again when the wait returns, and the lock is free once its
// scope is left.
TYPED_TEST(CCondVarTest, AWaitLetsTheNotifierInAndReturnsHoldingTheLock) {
  TypeParam mutex;
  CBasicCondVar<TypeParam> cond;
  bool ready = false;
  std::atomic<bool> woken{false}, release{false};
  std::thread waiter([&] {
    CMutexLock<TypeParam> lock(mutex);
    while (!ready) cond.Wait(mutex);
    woken = true;
    while (!release) std::this_thread::yield();
  });
  {
    CMutexLock<TypeParam> lock(mutex);
    ready = true;
    cond.NotifyAll();
  }
  while (!woken) std::this_thread::yield();
  EXPECT_FALSE(FreeForOthers(mutex));
  release = true;
  waiter.join();
  EXPECT_TRUE(FreeForOthers(mutex));
}

// A timed wait whose time is up reports the timeout and still holds the lock.
TYPED_TEST(CCondVarTest, ATimedWaitThatRunsOutSaysSoAndStillHoldsTheLock) {
  TypeParam mutex;
  CBasicCondVar<TypeParam> cond;
  CMutexLock<TypeParam> lock(mutex);
  EXPECT_FALSE(cond.WaitUntil(mutex, std::chrono::steady_clock::now()));
  EXPECT_FALSE(cond.WaitFor(mutex, std::chrono::milliseconds(0)));
  EXPECT_FALSE(FreeForOthers(mutex));
}

}  // namespace
