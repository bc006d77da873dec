// Bluetooth through the client library: the service with Bluetooth enabled
// against the simulated stack (vci-btsim: two VCIs and a phone), started by
// a client or by the stack ("-t").
#include <gtest/gtest.h>

#include <thread>

#include "ClientWorld.h"
#include "common/BtSimProcess.h"
#include "platform/Registry.h"

using namespace vciident;
using namespace clienttest;

namespace {

::testing::Environment* const g_Namespace =
    ::testing::AddGlobalTestEnvironment(new testenv::NetNamespaceEnvironment);

const char kVciKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI";

// The service's world: Bluetooth enabled, short timeouts, the stack of the
// build and the simulator's world of two VCIs and a phone.
class BtWorld : public ClientWorld {
 public:
  BtWorld() {
    testenv::WriteFile(Home() + "/ident.ini",
                       "[Log]\nLevel = info\npersist = true\nappend = true\n[timeouts]\nBT_CONNECT_TIMEOUT = 5000\n"
                       "BT_IF_UP_TIMEOUT = 15000\nBT_IF_DOWN_TIMEOUT = 5000\nBT_DISCONNECT_TIMEOUT = 2000\n"
                       "NUM_PAIR_ATTEMPTS = 0\n");
    EXPECT_EQ(platform::RegistrySetDword(kVciKey, "EnableBluetooth", 1), 0);
    setenv("LD_LIBRARY_PATH", (kBin + "/btstack").c_str(), 1);
  }
  bool StartRadio(std::vector<std::string> args = {}) {
    args.push_back("--register");
    radio.reset(new testenv::BtSimProcess(m_Dir, testenv::BtSimProcess::TwoVcisAndAPhone(), args));
    return radio->Ready();
  }
  // A registration keeps the service's trace file on (the tests read it, and
  // a failure shows it).
  static ClientOptions Options(Recorder* recorder) {
    ClientOptions options = QuickOptions(recorder);
    options.persistLog = true;
    return options;
  }
  // Waits until the service's trace holds the text.
  bool Traced(const std::string& text) {
    return Eventually([&] {
      return testenv::ReadFile(Home() + "/ident/ident_log.txt").find(text) != std::string::npos;
    });
  }
  template <class F>
  static bool Eventually(F done) {
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60); !done();) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
  }

  testenv::ScratchDir m_Dir;
  std::unique_ptr<testenv::BtSimProcess> radio;
};

bool OnItsNetwork(const VciInfo& vci) {
  return vci.kinds == KIND_BLUETOOTH && vci.addresses.size() == 1 && vci.addresses[0].address == "192.168.178.2";
}

TEST(IdentClientBluetooth, AVciInRangeIsConnectedListedOnItsNetworkDisconnectedAndFollowsTheDefaultDevice) {
  BtWorld world;
  ASSERT_TRUE(world.StartSim({"--serial", "900", "--address", "127.0.0.2", "--interval", "100"}));
  ASSERT_TRUE(world.StartRadio());
  ASSERT_TRUE(world.StartService());
  Recorder recorder;
  CIdentClient client(BtWorld::Options(&recorder));
  ASSERT_EQ(client.Connect(), 0);
  ASSERT_TRUE(BtWorld::Eventually([&] { return Find(client, 4711).bluetooth && Find(client, 815).bluetooth; }));
  EXPECT_EQ(Find(client, 4711).productVersion, std::to_string(2 << 24 | 1 << 16 | 7 << 8));

  // No pairing is tried (4711 would refuse it).
  EXPECT_EQ(client.BluetoothCommand(BT_CONNECT, 4711), 0);
  ASSERT_TRUE(BtWorld::Eventually([&] { return OnItsNetwork(Find(client, 4711)); }));
  // Another application hears why its requests fail, from its table.
  CIdentClient other(BtWorld::Options(nullptr));
  ASSERT_EQ(other.Connect(), 0);
  for (const auto& row : {std::make_pair(BT_DISCONNECT, 4711u), std::make_pair(BT_CONNECT, 815u)})
    EXPECT_EQ(BluetoothResultText(row.first, other.BluetoothCommand(row.first, row.second), row.second, other.GetTable()),
              row.first == BT_CONNECT ? "another VCI is connected (4711)" : "the connection belongs to another application");
  EXPECT_EQ(other.Disconnect(), 0);
  EXPECT_EQ(client.BluetoothCommand(BT_CHECK_CONNECT_STATE, 4711), 0);
  EXPECT_EQ(client.BluetoothCommand(BT_DISCONNECT, 4711), 0);
  EXPECT_EQ(client.BluetoothCommand(BT_CHECK_CONNECT_STATE, 4711), -1);

  // The default device set at run time is connected; another one in its
  // place disconnects it first. 815's connect waits seconds for its
  // interface (it announces every 7 s), while 900 goes on announcing on
  // loopback and stays listed.
  auto connected = [&](uint32_t serial) { return client.BluetoothCommand(BT_CHECK_CONNECT_STATE, serial) == 0; };
  EXPECT_EQ(platform::RegistrySetString(kVciKey, "DefaultDevice", "4711"), 0);
  EXPECT_TRUE(BtWorld::Eventually([&] { return connected(4711); }));
  EXPECT_EQ(platform::RegistrySetString(kVciKey, "DefaultDevice", "815"), 0);
  EXPECT_TRUE(BtWorld::Eventually([&] { return connected(815); }));
  EXPECT_FALSE(connected(4711));
  EXPECT_TRUE(BtWorld::Eventually([&] { return OnItsNetwork(Find(client, 815)); }));
  const std::vector<std::string> lines = recorder.Lines();
  size_t i = 0;
  while (i < lines.size() && lines[i].find(" 900") == std::string::npos) ++i;
  for (; i < lines.size(); ++i)
    EXPECT_TRUE(lines[i].compare(0, 5, "table") != 0 || lines[i].find(" 900") != std::string::npos) << lines[i];

  EXPECT_EQ(client.Disconnect(), 0);
  EXPECT_EQ(world.StopService(), 0);
}

// Started by the stack, the service serves from notification 1, stops on
// 10 and serves again on 7; meanwhile it refuses a stranger's Bluetooth
// request and starts discovery over when its only application vanishes.
TEST(IdentClientBluetooth, StartedByTheStackItServesBetweenItsNotifications) {
  BtWorld world;
  ASSERT_TRUE(world.StartRadio({"--identd", kBin + "/vci-identd", "--notify", "1"}));
  Recorder recorder;
  CIdentClient client(BtWorld::Options(&recorder));
  ASSERT_TRUE(BtWorld::Eventually([&] { return client.Connect() == 0; }));
  EXPECT_EQ(client.Disconnect(), 0);

  // A Bluetooth request of a session that is not registered is refused
  // before any command runs.
  testenv::ChildProcess request(
      "/bin/sh", {"-c", "echo '{\"class\": \"CBluetoothReq_Send\", \"version\": 1, \"sessionId\": 999, "
                        "\"serialNumber\": 4711, \"command\": 4}' | " + kBin + "/vci-ident-tool encode | " + kBin +
                        "/vci-ident-tool send 127.0.0.1 8098 -"});
  EXPECT_NE(request.ReadLineContaining("\"hex\": \"62080000FFFFFFFF\""), "");
  EXPECT_EQ(request.Wait(), 0);

  // The only application's event connection breaks (it is killed): the
  // Bluetooth discovery starts over. The unregistration above did not.
  testenv::ChildProcess watch(kBin + "/vci-ident", {"--persist-log", "watch", "--json"}, "\"event\"");
  ASSERT_TRUE(watch.Ready());
  watch.Stop(SIGKILL);
  ASSERT_TRUE(world.Traced("CVCIIdentClient::BtCommand BT_SCAN"));
  const std::string trace = testenv::ReadFile(world.Home() + "/ident/ident_log.txt");
  EXPECT_EQ(trace.find("BT_SCAN"), trace.rfind("BT_SCAN"));
  EXPECT_EQ(trace.find("BtCommand BT_CHECK_CONNECT_STATE"), std::string::npos);

  ASSERT_EQ(world.radio->Command("notify 10"), "ok");
  ASSERT_TRUE(world.Traced("CClientConnectionMgr::Uninitialize Leaving"));
  EXPECT_NE(client.Connect(), 0);
  ASSERT_EQ(world.radio->Command("notify 7"), "ok");
  ASSERT_TRUE(BtWorld::Eventually([&] { return client.Connect() == 0; }));
  EXPECT_EQ(client.Disconnect(), 0);
}

}  // namespace
