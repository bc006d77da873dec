#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/EventQueue.h"
#include "base/Thread.h"
#include "common/SocketPeers.h"

namespace {

using sockettest::Clock;
using sockettest::MsSince;

// A worker that does a slow set-up before SignalStarted, then sleeps in
// WaitForStop periods until asked to stop; with uiArg2 0 it ends at once
// without signalling.
class CSleeper : public IThread {
 public:
  ~CSleeper() override { Stop(); }
  void Run(uint32_t uiArg1, uint32_t uiArg2) override {
    if (uiArg2 == 0) {
      ++m_iUnsignalled;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(uiArg1));
    m_uiArg2 = uiArg2;
    SignalStarted();
    for (;;) {
      CMutexLock lock(GetLock());
      if (IsStopRequested()) break;
      WaitForStop(60000);
      if (IsStopRequested()) break;
      ++m_iPasses;
    }
  }
  std::atomic<uint32_t> m_uiArg2{0};
  std::atomic<int> m_iPasses{0};
  std::atomic<int> m_iUnsignalled{0};
};

// A Run that ends without SignalStarted still lets Start return, and an
// object whose worker has ended starts again.
TEST(IThread, StartWaitsForTheSignalOrTheWorkersEndStopCutsTheWorkersWaitShortAndAWaitWithoutStopLastsItsTime) {
  CSleeper worker;
  ASSERT_EQ(worker.Start(0, 0), 0);
  ASSERT_EQ(worker.Start(50, 77), 0);
  EXPECT_EQ(worker.m_iUnsignalled, 1);
  EXPECT_EQ(worker.m_uiArg2, 77u) << "set before SignalStarted, seen after Start";
  auto t0 = Clock::now();
  worker.Stop();
  EXPECT_LT(MsSince(t0), 30000) << "a 60 s wait cut short";
  EXPECT_EQ(worker.m_iPasses, 0);
  EXPECT_FALSE(worker.IsStopRequested());
  worker.Stop();  // without a thread: nothing to do

  CMutexLock lock(worker.GetLock());
  t0 = Clock::now();
  worker.WaitForStop(0);
  EXPECT_LT(MsSince(t0), 30000) << "a wait of 0 returns at once";
  t0 = Clock::now();
  worker.WaitForStop(120);
  EXPECT_GE(MsSince(t0), 120) << "without a stop the wait lasts its time";
}

TEST(IThreadDeathTest, DestroyingAnObjectWhoseWorkerStillRunsIsALoudError) {
  struct CForgetful : IThread {
    void Run(uint32_t, uint32_t) override {
      SignalStarted();
      CMutexLock lock(GetLock());
      while (!IsStopRequested()) WaitForStop(60000);
    }
  };
#ifndef NDEBUG
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH({ CForgetful worker; worker.Start(); }, "Stop was not called");
#else
  // Release builds stop and join the worker instead.
  CForgetful worker;
  worker.Start();
#endif
}

// Counts its live instances, so that a leak or a double free shows.
struct CEvent {
  explicit CEvent(int v) : value(v) { ++alive; }
  ~CEvent() { --alive; }
  int value;
  static std::atomic<int> alive;
};
std::atomic<int> CEvent::alive{0};

TEST(CEventQueue, PopWaitsForPushOrShutdownAndAShutDownQueueHandsOutNothingAndFreesWhatItHolds) {
  {
    CEventQueue<CEvent> queue;
    std::thread producer([&] { queue.Push(std::unique_ptr<CEvent>(new CEvent(5))); });
    size_t remaining = 7;
    std::unique_ptr<CEvent> got = queue.Pop(remaining);
    producer.join();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->value, 5);

    std::thread stopper([&] { queue.Shutdown(); });
    EXPECT_FALSE(queue.Pop(remaining));
    EXPECT_EQ(remaining, 0u);
    stopper.join();
    EXPECT_TRUE(queue.IsShutdown());

    // Items queued before or after the shutdown are never handed out.
    for (int v : {1, 2, 3}) queue.Push(std::unique_ptr<CEvent>(new CEvent(v)));
    EXPECT_FALSE(queue.Pop(remaining));
    EXPECT_EQ(queue.Drain().size(), 3u);
    EXPECT_EQ(queue.Size(), 0u);
    queue.Push(std::unique_ptr<CEvent>(new CEvent(4)));
  }
  EXPECT_EQ(CEvent::alive, 0) << "drained and left-over items are freed";
}

// Each producer's items come out in its order; the count left behind is
// what the queue still holds.
TEST(CEventQueue, ManyProducersOneConsumerLoseNothingAndKeepEachProducersOrder) {
  CEventQueue<CEvent> queue;
  std::thread producers[4];
  for (int p = 0; p < 4; ++p)
    producers[p] = std::thread([&, p] {
      for (int i = 0; i < 1000; ++i) queue.Push(std::unique_ptr<CEvent>(new CEvent(p * 1000 + i)));
    });
  int last[4] = {-1, -1, -1, -1};
  size_t remaining;
  for (int seen = 0; seen < 4000; ++seen) {
    if (seen == 3998)
      for (auto& t : producers) t.join();
    const int value = queue.Pop(remaining)->value;
    EXPECT_GT(value, last[value / 1000]);
    last[value / 1000] = value;
    EXPECT_TRUE(seen < 3998 || remaining == 3999u - seen) << remaining << " left at " << seen;
  }
  EXPECT_EQ(CEvent::alive, 0) << "popped items belong to the consumer";
}

}  // namespace
