// A VCI that stops announcing leaves the service's table only after the
// designed silence (5.5 s on Ethernet): the library's listener and
// vci-ident watch hear of it.
#include <gtest/gtest.h>

#include <regex>

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
  const nlohmann::json first = nlohmann::json::parse(watch.ReadLineContaining("\"event\":\"table\""));
  EXPECT_TRUE(std::regex_match(first["time"].get<std::string>(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
  testenv::ChildProcess lines(kBin + "/vci-ident", {"watch"});  // into a pipe

  testenv::ChildProcess* sim = world.StartSim({"--serial", "4711", "--interval", "100"});
  ASSERT_NE(sim, nullptr);
  const int appeared = recorder.WaitFor("table 4711");
  ASSERT_GE(appeared, 0);
  EXPECT_NE(watch.ReadLineContaining("4711"), "");
  EXPECT_NE(lines.ReadLineContaining("+ 4711 Ethernet 127.0.0.2; state free"), "");
  sim->Signal(SIGTERM);
  EXPECT_GT(recorder.WaitFor("table", appeared), appeared);
  const nlohmann::json gone = nlohmann::json::parse(watch.ReadLineContaining("\"vcis\":[]"));
  EXPECT_EQ(gone["event"], "table");
  EXPECT_EQ(lines.ReadLineContaining("4711"), "- 4711");
  lines.Signal(SIGTERM);
  watch.Signal(SIGTERM);
  EXPECT_EQ(watch.Wait() + lines.Wait(), 0);
}

}  // namespace
