// A VCI that stops announcing leaves the service's table only after the
// designed silence (5.5 s on Ethernet): the library's listener and
// vci-ident watch hear of it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "ClientWorld.h"

using namespace clienttest;

namespace {

::testing::Environment* const g_Namespace =
    ::testing::AddGlobalTestEnvironment(new testenv::NetNamespaceEnvironment);

TEST(IdentClient, AVciAppearingThenFallingSilentReachesTheListenerAndWatchInOrder) {
  ClientWorld world;
  ASSERT_TRUE(world.StartService());
  Recorder recorder;
  vciident::CIdentClient client(QuickOptions(&recorder));
  ASSERT_EQ(client.Connect(), 0);
  testenv::ChildProcess watch("/bin/sh", {"-c", "exec " + kBin + "/vci-ident watch --json"});
  ASSERT_NE(watch.ReadLineContaining("\"event\":\"table\""), "");

  testenv::ChildProcess* sim = world.StartSim({"--serial", "4711", "--interval", "100"});
  ASSERT_NE(sim, nullptr);
  const int appeared = recorder.WaitFor("table 4711");
  ASSERT_GE(appeared, 0);
  EXPECT_NE(watch.ReadLineContaining("4711"), "");
  sim->Signal(SIGTERM);
  EXPECT_GT(recorder.WaitFor("table", appeared), appeared);
  const nlohmann::json gone = nlohmann::json::parse(watch.ReadLineContaining("\"vcis\":[]"));
  EXPECT_EQ(gone["event"], "table");
  watch.Signal(SIGTERM);
  EXPECT_EQ(watch.Wait(), 0);
}

}  // namespace
