// vci-identd with its real core, as a child process in the test's private
// network namespace: how SIGTERM stops it while it has work, how a start
// fails, and the control port on a socket that systemd hands over.
#include <fcntl.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "client_service/ClientApp.h"
#include "common/ServiceProcess.h"
#include "records/LogFile.h"
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

// Each start that cannot work ends with exit status 1 and one line on
// standard error that names its cause.
TEST(ConnectionMgrHost, AStartThatFailsExitsNonZeroWithOneLineNamingItsCause) {
  VCI_REQUIRE_NET_NAMESPACE();
  const char* const kKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI";
  const struct {
    const char* brand;  // the Brand value: "" a good one, null none
    const char* ini;    // null: the home's own
    std::string cause;  // "%": the home folder
  } rows[] = {
      {"-", nullptr, "No registry: the registry file %/registry.reg does not exist"},  // "-": no file at all
      {nullptr, nullptr, "No brand: the registry file %/registry.reg has no value \"Brand\" under HKEY_LOCAL_MACHINE"},
      {"0A1B2C3D4E5F6071", nullptr,
       "No brand: the value \"Brand\" under HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI in %/registry.reg is garbled"},
      {"", "[Network]\nControlAddress = banana\n", "ControlAddress = banana in %/ident.ini: not an IPv4 address"},
      {"", "[Network]\nControlAddress = 192.0.2.1\n", "192.0.2.1 in %/ident.ini: not an address of this machine"},
      {"", "[Network]\nControlAddress = 127.0.0.1\n", "Cannot listen on 127.0.0.1:8098: Address already in use"},
  };
  for (const auto& row : rows) {
    testenv::ServiceHome home;
    const std::string folder = BrandHome();
    if (!row.brand) platform::RegistryDeleteValue(kKey, "Brand");
    if (row.brand && std::string(row.brand).size() > 1) platform::RegistrySetString(kKey, "Brand", row.brand);
    if (row.brand && std::string(row.brand) == "-") std::remove(home.File("registry.reg").c_str());
    if (row.ini) testenv::WriteFile(home.File("ident.ini"), row.ini);
    const int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const struct sockaddr_in control = Address("127.0.0.1", CClientConnectionMgr::CONTROL_PORT);
    if (row.cause.compare(0, 13, "Cannot listen") == 0) {
      ASSERT_EQ(bind(taken, reinterpret_cast<const sockaddr*>(&control), sizeof control) | listen(taken, 1), 0);
    }
    testenv::ChildProcess service("vci-identd", {});
    EXPECT_EQ(service.Wait(), 1) << row.cause;
    close(taken);
    std::string cause = row.cause;
    if (cause.find('%') != std::string::npos) cause.replace(cause.find('%'), 1, folder);
    const std::string line = service.ReadLineContaining("vci-identd: ");
    EXPECT_NE(line.find(cause), std::string::npos) << line;
    EXPECT_EQ(service.ReadLineContaining("vci-identd: "), "") << "one line";
  }
}

// Started by a socket unit: the control port is the socket handed over as
// descriptor 3 (here on a port of the system's choosing); the service binds
// none of its own, and tells systemd its counts as they change.
TEST(ConnectionMgrHost, AHandedOverSocketIsTheControlPortAndTheStatusFollowsTheCounts) {
  VCI_REQUIRE_NET_NAMESPACE();
  testenv::ServiceHome home;
  BrandHome();
  uint16_t port = 0;
  const int listening = BoundSocket(&port);
  ASSERT_EQ(listen(listening, 8), 0);
  fcntl(listening, F_SETFD, 0);  // inherited by the shell, which moves it to 3
  const std::string fd = std::to_string(listening);
  testenv::ChildProcess service(
      "/bin/sh", {"-c", (listening == 3 ? "" : "exec 3<&" + fd + " " + fd + "<&-; ") +
                            "LISTEN_PID=$$ LISTEN_FDS=1 exec " + VCI_BIN_DIR + "/vci-identd"});
  close(listening);
  ASSERT_TRUE(service.WaitReady());
  CLogFiles_Recv files;
  EXPECT_TRUE(Parse(Ask(FrameOf(CLogFile_Send()), "127.0.0.1", nullptr, port), files));
  EXPECT_EQ(Ask(FrameOf(CLogFile_Send())), "refused") << "no port of its own";
  App app;
  EXPECT_EQ(app.Register("app", 0, false, port).GetResult(), 0);
  EXPECT_TRUE(service.WaitNotify("STATUS=0 VCIs, 1 application registered"));
  EXPECT_EQ(service.Stop(SIGTERM), 0);
}

}  // namespace
