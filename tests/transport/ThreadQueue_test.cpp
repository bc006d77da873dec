#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "transport/EventQueue.h"
#include "transport/Thread.h"

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t0) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

// A worker that does a slow set-up before SignalStarted, then sleeps in
// WaitForStop periods until asked to stop.
class CSleeper : public IThread {
 public:
  void Run(uint32_t uiArg1, uint32_t uiArg2) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(uiArg1));
    m_uiArg2 = uiArg2;
    m_bSetUpDone = true;
    SignalStarted();
    for (;;) {
      boost::unique_lock<boost::mutex> lock(GetLock());
      if (IsStopRequested()) break;
      WaitForStop(m_uiPeriod, lock);
      if (IsStopRequested()) break;
      ++m_iPasses;
    }
  }
  std::atomic<bool> m_bSetUpDone{false};
  std::atomic<uint32_t> m_uiArg2{0};
  std::atomic<int> m_iPasses{0};
  DWORD m_uiPeriod = 250;
};

TEST(IThread, StartReturnsOnlyAfterTheWorkerSignalledAndPassesBothArguments) {
  CSleeper worker;
  ASSERT_EQ(worker.Start(150, 77), 0);
  EXPECT_TRUE(worker.m_bSetUpDone);
  EXPECT_EQ(worker.m_uiArg2, 77u);
  worker.Stop();
}

TEST(IThread, StopCutsAWaitShortAndAWaitWithoutStopLastsItsPeriod) {
  CSleeper worker;
  worker.m_uiPeriod = 60000;
  ASSERT_EQ(worker.Start(0, 0), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto t0 = Clock::now();
  worker.Stop();
  EXPECT_LT(MsSince(t0), 1000);
  EXPECT_EQ(worker.m_iPasses, 0);
  EXPECT_FALSE(worker.IsStopRequested());

  // 250 ms periods: about four passes in a second, none much sooner.
  CSleeper ticker;
  ASSERT_EQ(ticker.Start(0, 0), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  ticker.Stop();
  EXPECT_GE(ticker.m_iPasses, 3);
  EXPECT_LE(ticker.m_iPasses, 5);
}

TEST(IThread, ZeroWaitReturnsAtOnceAndStopWithoutAThreadIsANoOp) {
  CSleeper never;
  auto t0 = Clock::now();
  never.Stop();
  never.Stop();
  EXPECT_LT(MsSince(t0), 100);

  boost::unique_lock<boost::mutex> lock(never.GetLock());
  t0 = Clock::now();
  never.WaitForStop(0, lock);
  EXPECT_LT(MsSince(t0), 50);
  t0 = Clock::now();
  never.WaitForStop(120, lock);
  EXPECT_GE(MsSince(t0), 110);
}

TEST(IThread, AnObjectCanBeStartedAgainAfterItsWorkerEnded) {
  struct COnce : IThread {
    void Run(uint32_t uiArg1, uint32_t) override {
      SignalStarted();
      m_iSum += static_cast<int>(uiArg1);
    }
    std::atomic<int> m_iSum{0};
  } once;
  ASSERT_EQ(once.Start(1, 0), 0);
  ASSERT_EQ(once.Start(2, 0), 0);  // joins and replaces the first worker
  once.Stop();
  EXPECT_EQ(once.m_iSum, 3);
}

TEST(CEventQueue, ItemsComeOutInOrderWithTheCountLeftBehind) {
  CEventQueue queue;
  int a = 1, b = 2;
  queue.Push(&a);
  queue.Push(&b);
  EXPECT_EQ(queue.Size(), 2u);
  size_t remaining = 99;
  EXPECT_EQ(queue.Pop(remaining), &a);
  EXPECT_EQ(remaining, 1u);
  EXPECT_EQ(queue.Pop(remaining), &b);
  EXPECT_EQ(remaining, 0u);
}

TEST(CEventQueue, PopBlocksUntilPushOrShutdownAndShutDownHandsOutNothing) {
  CEventQueue queue;
  int a = 1;
  std::atomic<void*> got{nullptr};
  std::thread consumer([&] {
    size_t remaining;
    got = queue.Pop(remaining);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(got.load(), nullptr);
  queue.Push(&a);
  consumer.join();
  EXPECT_EQ(got.load(), &a);

  std::atomic<bool> returned{false};
  std::thread waiter([&] {
    size_t remaining = 5;
    got = queue.Pop(remaining);
    EXPECT_EQ(remaining, 0u);
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(returned);
  queue.Shutdown();
  waiter.join();
  EXPECT_EQ(got.load(), nullptr);

  // Items queued before or after the shutdown are never handed out; the
  // owner gets them back to release.
  queue.Push(&a);
  size_t remaining = 5;
  EXPECT_EQ(queue.Pop(remaining), nullptr);
  EXPECT_EQ(remaining, 0u);
  EXPECT_EQ(queue.Drain().size(), 1u);
}

TEST(CEventQueue, ManyProducersOneConsumerLoseNothing) {
  CEventQueue queue;
  static int slots[4000];
  std::thread producers[4];
  for (int p = 0; p < 4; ++p)
    producers[p] = std::thread([&, p] {
      for (int i = 0; i < 1000; ++i) queue.Push(&slots[p * 1000 + i]);
    });
  int seen = 0;
  size_t remaining;
  while (seen < 4000 && queue.Pop(remaining)) ++seen;
  for (auto& t : producers) t.join();
  EXPECT_EQ(seen, 4000);
  EXPECT_EQ(queue.Size(), 0u);
}

}  // namespace
