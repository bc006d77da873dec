// The reply wait of a query, which takes the client socket's full 10 s.
#include <chrono>

#include <gtest/gtest.h>

#include "common/TestEnv.h"
#include "service_clients/AppList.h"
#include "service_clients/AppServiceClient.h"
#include "tools/SimProcess.h"
#include "transport/ClientSocket.h"

TEST(CAppServiceClient, SmallRequestToAVciThatNeverAnswersWaitsTenSeconds) {
  VCI_REQUIRE_NET_NAMESPACE();
  testenv::SimProcess vci({"--address", "127.0.0.2", "--fault", "no-answer", "--interval", "60000"});
  ASSERT_TRUE(vci.Ready());
  CAppServiceClient client;
  ASSERT_EQ(0, client.Initialize("127.0.0.2", "127.0.0.1", 0, 0));
  CAppList apps;
  auto start = std::chrono::steady_clock::now();
  // The 12-byte request computes to a 0 ms wait, which the socket raises.
  EXPECT_EQ(CClientSocket::CS_ERR_WAIT_TIMEOUT, client.GetApplications(apps));
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_GE(waited.count(), 10000);
  EXPECT_LT(waited.count(), 12500);
  EXPECT_FALSE(client.IsConnected());

  // Switched off, the same VCI answers the next query.
  ASSERT_EQ("ok", vci.Command("fault no-answer off"));
  EXPECT_EQ(0, client.GetApplications(apps));
}
