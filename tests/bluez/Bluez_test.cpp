// The BlueZ stack (build/tools/bluez) as the service's binding (CBtApiSync)
// and the service's companion calls meet it, against python-dbusmock's
// bluez5 template on a bus of the test's own ($DBUS_SYSTEM_BUS_ADDRESS), with
// what the template lacks from bluez_world.py. Waits are for trace lines
// or for the mock's state; the scan and name times are the test's own.
#include <net/if.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bluetooth/BtApiSync.h"
#include "common/ChildProcess.h"
#include "common/TestEnv.h"
#include "host/TraceCapture.h"
#include "platform/AdapterInfo.h"

namespace {

::testing::Environment* const g_Namespace = ::testing::AddGlobalTestEnvironment(new testenv::NetNamespaceEnvironment);

const std::string kStack = VCI_BIN_DIR "/bluez/libTosBtApi.so";
const std::string kVci = "00:1B:DC:00:47:11", kPhone = "00:1B:DC:00:00:02", kAway = "00:1B:DC:00:00:03",
                  kNameless = "00:1B:DC:00:00:04", kLate = "00:1B:DC:00:00:05";
const std::string kVciName = "VTX5-00004711:2.1.7:R0";

std::string Path(const std::string& address) {
  std::string p = "/org/bluez/hci0/dev_" + address;
  std::replace(p.begin(), p.end(), ':', '_');
  return p;
}
std::vector<uint8_t> Bytes(const std::string& text) {
  std::vector<uint8_t> b(6);
  for (size_t i = 0; i < 6; ++i) b[i] = static_cast<uint8_t>(std::stoul(text.substr(3 * i, 2), nullptr, 16));
  return b;
}
std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), ::tolower);
  return s;
}

bool Logged(const std::string& line) {
  const auto lines = tracetest::TraceCapture::Messages();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}
// Until the line was logged n times; false after a minute, which only a
// broken stack takes.
bool UntilLogged(const std::string& line, size_t n = 1) {
  for (int i = 0; i < 6000; ++i) {
    const auto lines = tracetest::TraceCapture::Messages();
    if (size_t(std::count(lines.begin(), lines.end(), line)) >= n) return true;
    usleep(10000);
  }
  return false;
}

// A private bus with the mock on it, as bluetoothd would be: an adapter
// hci0, a VCI pairing with 1234, a phone refusing to pair, a paired device
// out of range and one that has no name yet.
class BluezTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string address = "unix:path=" + m_Capture.Dir().File("bus");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    m_pBus.reset(new testenv::ChildProcess("/usr/bin/dbus-daemon",
                                           {"--session", "--nofork", "--print-address=1", "--address=" + address},
                                           "unix:"));
    m_pMock.reset(new testenv::ChildProcess(
        "/usr/bin/python3", {"-m", "dbusmock", "--template", "bluez5", "--logfile", m_Capture.Dir().File("mock.log")}));
    m_Gdbus = "gdbus call --address '" + address + "' --dest org.bluez ";
    ASSERT_EQ(0, testenv::Shell("gdbus wait --address '" + address + "' --timeout 60 org.bluez"));
    ASSERT_EQ("()", Mock("/ org.freedesktop.DBus.Mock.AddTemplate " TEST_SOURCE_DIR "/bluez_world.py {}"));
  }
  // A method of the mock: "PATH INTERFACE.METHOD ARGS..."; its output.
  std::string Mock(const std::string& call) {
    std::string out;
    const size_t path = call.find(' ');
    const std::string command = m_Gdbus + "--object-path " + call.substr(0, path) + " --method" + call.substr(path);
    if (FILE* p = popen((command + " 2>&1").c_str(), "r")) {
      char chunk[512];
      while (size_t n = fread(chunk, 1, sizeof chunk, p)) out.append(chunk, n);
      pclose(p);
    }
    return out.substr(0, out.find_last_not_of('\n') + 1);
  }
  std::string Get(const std::string& path, const std::string& property) {
    return Mock(path + " org.freedesktop.DBus.Properties.Get " + property);
  }
  void World() {
    Mock("/ org.bluez.Mock.AddAdapter hci0 pc");
    Mock("/ org.bluez.Mock.AddVci hci0 " + kVci + " " + kVciName + " 1234");
    Mock("/ org.bluez.Mock.AddVci hci0 " + kPhone + " Phone ''");
    Mock("/ org.bluez.Mock.AddVci hci0 " + kAway + " Far ''");
    Mock("/ org.bluez.Mock.PairDevice hci0 " + kAway + " 0");
    Mock("/ org.bluez.Mock.LeaveRange " + Path(kAway));
    Mock("/ org.bluez.Mock.AddVci hci0 " + kNameless + " '' ''");
  }
  // The devices a scan of the binding found, as "ADDR ADDR ...".
  std::string Found() {
    std::string out;
    for (const std::string& a : m_Bt.GetDeviceList()) out += (out.empty() ? "" : " ") + a;
    return out;
  }

  tracetest::TraceCapture m_Capture{
      "[Log]\nLevel = info\n[Mode]\nShowWindow = true\n[timeouts]\nDISCOVERY_TIMEOUT = 600000\n"
      "PAIR_TIMEOUT = 600000\nCHECK_CONNECT_TIMEOUT = 600000\n"};
  std::unique_ptr<testenv::ChildProcess> m_pBus, m_pMock;
  std::string m_Gdbus;
  CBtApiSync m_Bt{kStack.c_str()};
};

// The devices in range at the start and those appearing during the scan
// are found, the paired one out of range is not; a cancel ends the scan at
// once, the scan time otherwise. Names are BlueZ's, also one that comes
// late; one that never comes is a name error.
TEST_F(BluezTest, DiscoveryFindsTheDevicesInRangeWithTheirNamesUntilCancelledOrItsTime) {
  World();
  setenv("VCI_BLUEZ_SCAN_MS", "600000", 1);
  auto scan = std::async(std::launch::async, [this] { return m_Bt.DiscoverRemoteDevice(); });
  ASSERT_TRUE(UntilLogged("TOSBTAPI_NM_DISCOVERDEVICE_FOUND", 3));
  Mock("/ org.bluez.Mock.AddVci hci0 " + kLate + " Late ''");
  ASSERT_TRUE(UntilLogged("TOSBTAPI_NM_DISCOVERDEVICE_FOUND", 4));
  EXPECT_EQ("(<true>,)", Get("/org/bluez/hci0", "org.bluez.Adapter1 Discovering"));
  EXPECT_TRUE(m_Bt.CancelDiscovery(false));
  ASSERT_TRUE(scan.get());
  EXPECT_EQ(Lower(kPhone + " " + kNameless + " " + kVci + " " + kLate), Found());
  EXPECT_EQ("(<false>,)", Get("/org/bluez/hci0", "org.bluez.Adapter1 Discovering"));
  EXPECT_EQ("(<{'Transport': <'bredr'>}>,)", Get("/org/bluez/hci0", "org.bluez.Adapter1 DiscoveryFilter"));

  setenv("VCI_BLUEZ_SCAN_MS", "50", 1);
  EXPECT_TRUE(m_Bt.DiscoverRemoteDevice());
  EXPECT_EQ(4u, m_Bt.GetDeviceList().size());

  std::string name;
  EXPECT_TRUE(m_Bt.DiscoverRemoteName(Bytes(kVci).data(), name));
  EXPECT_EQ(kVciName, name);
  setenv("VCI_BLUEZ_NAME_MS", "50", 1);
  name = "unchanged";
  EXPECT_FALSE(m_Bt.DiscoverRemoteName(Bytes(kNameless).data(), name));
  EXPECT_EQ("unchanged", name);
  setenv("VCI_BLUEZ_NAME_MS", "600000", 1);
  tracetest::TraceCapture::Clear();
  auto late = std::async(std::launch::async, [&] { return m_Bt.DiscoverRemoteName(Bytes(kNameless).data(), name); });
  ASSERT_TRUE(UntilLogged("TOSBTAPI_NM_DISCOVERNAME_START"));
  Mock("/ org.bluez.Mock.SetName " + Path(kNameless) + " ABCD-00000815-0A:1B:2C");
  EXPECT_TRUE(late.get());
  EXPECT_EQ("ABCD-00000815-0A:1B:2C", name);
}

// Never a scan that silently finds nothing: no adapter, one switched off
// before or during the scan, and a bus that goes all end in ERROR.
TEST_F(BluezTest, NoAdapterASwitchedOffOneAndALostBusFailTheScan) {
  setenv("VCI_BLUEZ_SCAN_MS", "600000", 1);
  EXPECT_FALSE(m_Bt.DiscoverRemoteDevice()) << "no adapter";
  World();
  Mock("/org/bluez/hci0 org.freedesktop.DBus.Properties.Set org.bluez.Adapter1 Powered '<false>'");
  EXPECT_FALSE(m_Bt.DiscoverRemoteDevice()) << "switched off";
  Mock("/org/bluez/hci0 org.freedesktop.DBus.Properties.Set org.bluez.Adapter1 Powered '<true>'");
  const std::vector<std::string> ends = {"Powered '<false>'", "bus"};
  for (size_t i = 0; i < ends.size(); ++i) {
    tracetest::TraceCapture::Clear();
    auto scan = std::async(std::launch::async, [this] { return m_Bt.DiscoverRemoteDevice(); });
    ASSERT_TRUE(UntilLogged("TOSBTAPI_NM_DISCOVERDEVICE_FOUND", 3));
    if (ends[i] == "bus")
      m_pBus.reset();
    else
      Mock("/org/bluez/hci0 org.freedesktop.DBus.Properties.Set org.bluez.Adapter1 " + ends[i]);
    EXPECT_FALSE(scan.get()) << ends[i];
    EXPECT_TRUE(Logged("TOSBTAPI_NM_DISCOVERDEVICE_ERROR")) << ends[i];
    Mock("/org/bluez/hci0 org.freedesktop.DBus.Properties.Set org.bluez.Adapter1 Powered '<true>'");
  }
}

// Pairing answers the agent's RequestPinCode with the PIN, with the IO
// capability asked for, and leaves the device paired and trusted; a refused
// PIN fails it. Pairing a paired device deletes its link key first, which
// makes BlueZ forget it: then it must be found again.
TEST_F(BluezTest, PairingGoesThroughTheAgentWithThePinAndALinkKeyIsDeletedWithTheDevice) {
  World();
  setenv("VCI_BLUEZ_SCAN_MS", "50", 1);
  EXPECT_TRUE(m_Bt.Pair(Bytes(kVci).data(), "1234"));
  EXPECT_EQ("(<true>,) (<true>,) (<'DisplayOnly'>,)",
            Get(Path(kVci), "org.bluez.Device1 Paired") + " " + Get(Path(kVci), "org.bluez.Device1 Trusted") + " " +
                Get(Path(kVci), "org.bluez.Device1 PairedWith"));
  EXPECT_TRUE(m_Bt.IsPaired(Bytes(kVci).data()) && !m_Bt.IsPaired(Bytes(kPhone).data()));

  tracetest::TraceCapture::Clear();
  EXPECT_FALSE(m_Bt.Pair(Bytes(kPhone).data(), "1234"));
  EXPECT_TRUE(Logged("Error! BtConnect() = " + std::to_string(TOSBT_STATUS_AUTH_FAILED)));

  tracetest::TraceCapture::Clear();
  EXPECT_FALSE(m_Bt.Pair(Bytes(kVci).data(), "1234"));
  EXPECT_TRUE(Logged("Device already paired. Deleting Link Key") &&
              Logged("Error! BtConnect() = " + std::to_string(TOSBT_STATUS_NO_DEVICE)));
  EXPECT_EQ(0u, Get(Path(kVci), "org.bluez.Device1 Paired").find("Error")) << "BlueZ forgot the device";
}

// Connected devices and their channels follow Device1.Connected; a
// channel's id names its link until it goes, and a disconnect by it takes
// the link down.
TEST_F(BluezTest, ConnectedDevicesHaveChannelsUntilDisconnected) {
  World();
  uint16_t cid = 0, again = 0;
  int32_t status = 0;
  EXPECT_FALSE(m_Bt.CheckConnectState(Bytes(kVci).data(), cid, status));
  Mock("/ org.bluez.Mock.ConnectDevice hci0 " + kVci);
  Mock("/ org.bluez.Mock.ConnectDevice hci0 " + kPhone);
  ASSERT_TRUE(m_Bt.CheckConnectState(Bytes(kVci).data(), cid, status));
  ASSERT_TRUE(m_Bt.CheckConnectState(Bytes(kVci).data(), again, status));
  EXPECT_EQ(cid, again);
  EXPECT_GE(cid, 0x40);
  EXPECT_TRUE(m_Bt.Disconnect(cid));
  EXPECT_EQ("(<false>,)", Get(Path(kVci), "org.bluez.Device1 Connected"));
  EXPECT_FALSE(m_Bt.CheckConnectState(Bytes(kVci).data(), cid, status));
  EXPECT_TRUE(m_Bt.DisconnectAll());
  EXPECT_EQ("(<false>,)", Get(Path(kPhone), "org.bluez.Device1 Connected"));
}

// The companion connects the network ("nap") and names its interface for
// the service; it holds the network until a reset disconnects it.
TEST_F(BluezTest, TheCompanionConnectsTheNetworkNamesItsInterfaceAndAResetEndsIt) {
  World();
  testenv::VethPair bnep("bnep0", "bnep0-vci");
  testenv::ChildProcess holder(VCI_BIN_DIR "/bluez/TosBtPcs", {Lower(kVci), "/TARGET_GN"}, "connected on bnep0");
  ASSERT_TRUE(holder.Ready());
  std::vector<CNetLink> links;
  ASSERT_EQ(ERROR_SUCCESS, GetNetLinks(links));
  EXPECT_TRUE(std::any_of(links.begin(), links.end(), [](const CNetLink& l) {
    return l.Name == "bnep0" && l.Alias == "Bluetooth Personal Area Network";
  }));
  EXPECT_EQ("(<true>,)", Get(Path(kVci), "org.bluez.Network1 Connected"));
  testenv::ChildProcess reset(VCI_BIN_DIR "/bluez/TosBtPcs", {"-00:00:00:00:00:00", "/TARGET_GN"});
  EXPECT_EQ(0, reset.Wait()) << reset.ReadLineContaining("");
  EXPECT_EQ(0, holder.Wait());
  EXPECT_EQ("(<false>,)", Get(Path(kVci), "org.bluez.Network1 Connected"));
  EXPECT_EQ(2, testenv::ChildProcess(VCI_BIN_DIR "/bluez/TosBtPcs", {"not-an-address", "/TARGET_GN"}).Wait());
}

}  // namespace
