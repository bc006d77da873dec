// A registered application follows a simulated VCI through its life: the
// table event when it appears, and the one when it has been silent for the
// 5.5 s after which the engine drops it.
#include <gtest/gtest.h>

#include "client_service/ClientApp.h"
#include "tools/SimProcess.h"

using namespace apptest;

namespace {

::testing::Environment* const g_Namespace =
    ::testing::AddGlobalTestEnvironment(new testenv::NetNamespaceEnvironment);

using LifeTest = ManagerTest;

TEST_F(LifeTest, AnApplicationHearsOfAVciWhenItAppearsAndWhenItHasBeenSilentForFiveAndAHalfSeconds) {
  App app;
  ASSERT_EQ(app.Register("app").GetResult(), 0);
  auto tables = [&] {
    std::vector<size_t> counts;
    for (const auto& e : app.Events())
      if (e.first == CIdentEvent_Send::EVENT_TABLE_CHANGED) counts.push_back(e.second);
    return counts;
  };
  auto t0 = Clock::now();
  testenv::SimProcess sim({"--serial", "4711", "--interval", "50"});
  ASSERT_TRUE(sim.Ready());
  ASSERT_TRUE(WaitUntil([&] { return tables() == std::vector<size_t>{1}; }));
  std::printf("table event %ld ms after the VCI started\n", MsSince(t0));

  t0 = Clock::now();
  EXPECT_EQ(sim.Stop(), 0);
  ASSERT_TRUE(WaitUntil([&] { return tables() == std::vector<size_t>({1, 0}); }));
  const long gone = MsSince(t0);
  std::printf("table event %ld ms after the VCI stopped\n", gone);
  EXPECT_GE(gone, 5500 - 50);
}

}  // namespace
