// vci-identd with its real core, as a child process in the test's private
// network namespace: how SIGTERM stops it while it has work.
#include <gtest/gtest.h>

#include <algorithm>

#include "client_service/ClientApp.h"
#include "common/ServiceProcess.h"
#include "tools/SimProcess.h"

using namespace apptest;

namespace {

::testing::Environment* const g_Namespace =
    ::testing::AddGlobalTestEnvironment(new testenv::NetNamespaceEnvironment);

TEST(ConnectionMgrHost, SigtermStopsTheServiceInOrderWithAVciListedAndAClientRegistered) {
  VCI_REQUIRE_NET_NAMESPACE();
  testenv::ServiceHome home;
  BrandHome();
  testenv::SimProcess sim({"--serial", "4711", "--module-state", "2", "--interval", "50"});
  ASSERT_TRUE(sim.Ready());
  testenv::ChildProcess service(std::string(VCI_BIN_DIR) + "/vci-identd", {});
  ASSERT_TRUE(service.WaitReady());
  App app;
  // The trace file (where the order is read) stays on while it is registered.
  CIdentConnect_Recv reply = app.Register("app", 0, true);
  ASSERT_EQ(reply.GetResult(), 0);
  ASSERT_EQ(reply.m_VCIStatusMap.m_Map.count(4711), 1u);

  const auto t0 = Clock::now();
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(), 0);
  EXPECT_LT(MsSince(t0), 2000);
  const std::vector<std::string> order = {
      "WM_CLOSE", "CClientConnectionMgr::Uninitialize Leaving", "CClientConnectionMgr::DisconnectClients Entering",
      "CRegisteredClient::Uninitialize Leaving", "CClientConnectionMgr::DisconnectClients Leaving", "WM_DESTROY"};
  std::vector<std::string> seen;
  for (const std::string& m : home.Messages(service.Pid()))
    if (std::find(order.begin(), order.end(), m) != order.end()) seen.push_back(m);
  EXPECT_EQ(seen, order);
}

}  // namespace
