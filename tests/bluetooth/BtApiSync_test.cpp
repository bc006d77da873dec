// The stack binding against a scripted stack (fakestack/FakeStack.cpp): the
// stack calls each operation makes, in order, its result and its log lines.
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "bluetooth/BtApiSync.h"
#include "host/TraceCapture.h"
#include "platform/Shell.h"
#include "tools/ToolRun.h"

namespace {

using tracetest::TraceCapture;

const std::string kStack = std::string(VCI_FAKE_STACK_DIR) + "/libTosBtApi.so";
const uint8_t kVci[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const std::string kVciText = "00:11:22:33:44:55";
const std::string kOther = "0a:0b:0c:0d:0e:0f";
const DWORD kNever = 600000;  // a limit that only a hang reaches

std::string Ini(bool skipPair = false, DWORD discovery = kNever, DWORD pair = kNever) {
  return "[Log]\nLevel = info\n[Mode]\nShowWindow = true\nSkipPair = " + std::string(skipPair ? "true" : "false") +
         "\n[timeouts]\nDISCOVERY_TIMEOUT = " + std::to_string(discovery) + "\nPAIR_TIMEOUT = " +
         std::to_string(pair) + "\nCHECK_CONNECT_TIMEOUT = " + std::to_string(kNever) + "\n";
}

bool Logged(const std::string& line) {
  auto lines = TraceCapture::Messages();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The scripted stack's controls, in the library the binding loaded.
class FakeStack {
 public:
  FakeStack() : m_Handle(dlopen(kStack.c_str(), RTLD_NOW | RTLD_LOCAL)) { EXPECT_TRUE(m_Handle) << dlerror(); }
  ~FakeStack() { dlclose(m_Handle); }
  void Scenario(const std::string& text) {
    Fn<void (*)(const char*)>("FakeBtSetScenario")(text.c_str());
    TraceCapture::Clear();
  }
  std::string Calls() {
    char text[4096];
    Fn<size_t (*)(char*, size_t)>("FakeBtCalls")(text, sizeof text);
    return text;
  }
  void WaitFor(const char* call) { Fn<void (*)(const char*)>("FakeBtWaitFor")(call); }
  void Release() { Fn<void (*)()>("FakeBtRelease")(); }

 private:
  template <typename F>
  F Fn(const char* name) {
    return reinterpret_cast<F>(dlsym(m_Handle, name));
  }
  void* m_Handle;
};

class BtApiSyncTest : public ::testing::Test {
 protected:
  TraceCapture m_Capture{Ini()};
  FakeStack m_Fake;
  CBtApiSync m_Bt{kStack.c_str()};
};

TEST(CBtApiSync, WithoutTheLibraryEveryOperationFailsAtOnceAndEveryWrapperAnswersZero) {
  TraceCapture capture(Ini());
  CBtApiSync bt("libTosBtApiNowhere.so");
  EXPECT_FALSE(bt.IsInitialized());
  EXPECT_TRUE(Logged("Cannot Load the Toshiba Bluetooth DLL"));
  std::string name;
  uint16_t cid;
  int32_t status = 0;
  const struct {
    std::function<bool()> op;
    const char* line;
  } cases[] = {
      {[&] { return bt.DiscoverRemoteDevice(); }, "DiscoverRemoteDevice: Unable to start processing thread"},
      {[&] { return bt.DiscoverRemoteName(kVci, name); }, "DiscoverRemoteName: Unable to start processing thread"},
      {[&] { return bt.CheckConnectState(kVci, cid, status); }, "CheckConnectState: Unable to start processing thread"},
      {[&] { return bt.Pair(kVci, "9062"); }, "Pair: Unable to start processing thread"},
      {[&] { return bt.Disconnect(65); }, "Disconnect: Unable to start processing thread"},
      {[&] { return bt.DisconnectAll(); }, "DisconnectAll: Unable to start processing thread"},
      {[&] { return bt.CancelDiscovery(false); }, "Cancel Discovery failed lStatus = 0"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(c.op()) << c.line;
    EXPECT_TRUE(Logged(c.line)) << c.line;
  }
  EXPECT_EQ(-1, status);
  int32_t st;
  uint32_t count;
  BTDEVINFO* list;
  BTDEVINFOLIST* devices;
  BTCONNECTEDDEVLIST* links;
  BTCIDLIST* cids;
  BTDEVADDRLIST keys{1, {{0}}};
  uint16_t wCID;
  uint8_t out[32];
  char text[TOSBT_NAME_BUFFER_SIZE];
  EXPECT_EQ(0, bt.BtOpenAPI(1, "x", &st) | bt.BtCloseAPI() | bt.BtDiscoverRemoteDevice2(&devices, 0, &st, 1, 1, 0) |
                   bt.BtCancelDiscoverRemoteDevice(&st) | bt.BtDiscoverRemoteName(kVci, text, &st, 1, 1, 0) |
                   bt.BtGetRemoteDeviceList2(8, 0, 0, &count, &list, &st) | bt.BtDeleteLinkKey(&keys, &st) |
                   bt.BtGetConnectedDeviceList2(&links, &st) | bt.BtGetCIDList2(&cids, &st) |
                   bt.BtSetAutoReplyPinCode(kVci, "1", 1, &st) | bt.BtClearAutoReplyPinCode(kVci, &st) |
                   bt.BtSetIOCapabilityResponse(kVci, 0, 0, 4, &st) | bt.BtClearIOCapabilityResponse(kVci, &st) |
                   bt.BtConnect(kVci, 1, 0, &wCID, out, 1, &st, 1, 1, 0, 0, 0, 0) | bt.BtDisconnect(1, &st));
}

TEST_F(BtApiSyncTest, DiscoveryAndNameQueriesEndWithTheStacksNotifications) {
  const std::string devices = "devices=" + kVciText + "/VCI-1," + kOther + "/";
  const struct {
    std::string scenario;
    bool ok;
    const char* line;
  } discoveries[] = {
      {devices, true, "TOSBTAPI_NM_DISCOVERDEVICE_END"},
      {devices + ";discover=error", false, "TOSBTAPI_NM_DISCOVERDEVICE_ERROR"},
      // A failed call ends the worker without an error flag.
      {"discover=fail", true, "BtDiscoverRemoteDevice2: Status = -4"},
      {"open=fail", true, "Unable to open Bluetooth API: Status = -3"},
  };
  for (const auto& c : discoveries) {
    m_Fake.Scenario(c.scenario);
    EXPECT_EQ(c.ok, m_Bt.DiscoverRemoteDevice()) << c.scenario;
    EXPECT_TRUE(Logged(c.line)) << c.scenario;
  }
  m_Fake.Scenario(devices);
  ASSERT_TRUE(m_Bt.DiscoverRemoteDevice());
  EXPECT_EQ((std::vector<std::string>{kVciText, kOther}), m_Bt.GetDeviceList());

  const struct {
    std::string scenario;
    bool ok;
    std::string name;
  } names[] = {{devices, true, "VCI-1"}, {"devices=" + kVciText + "/", true, ""}, {"name=error", false, "-"},
               {"name=fail", true, ""}};
  for (const auto& c : names) {
    m_Fake.Scenario(c.scenario);
    std::string name = "-";
    EXPECT_EQ(c.ok, m_Bt.DiscoverRemoteName(kVci, name)) << c.scenario;
    EXPECT_EQ(c.name, name) << c.scenario;
  }
  EXPECT_TRUE(m_Bt.GetDeviceList().empty()) << "a name query releases the device list";
}

TEST_F(BtApiSyncTest, PairingDeletesAnOldLinkKeyOrSkipsAndConnectsWithThePinThenDisconnects) {
  const std::string open = "BtOpenAPI\nBtGetRemoteDeviceList2\n";
  const std::string key = "BtDeleteLinkKey " + kVciText + "\n";
  const std::string connect = "BtSetAutoReplyPinCode " + kVciText + " 1234\nBtSetIOCapabilityResponse 0 0 4\nBtConnect " +
                              kVciText + "\n";
  const std::string clear = "BtClearAutoReplyPinCode\n_BtClearIOCapabilityResponse\n";
  const std::string paired = "paired=" + kVciText;
  const struct {
    std::string scenario;
    bool skip;
    bool ok;
    std::string calls;
    const char* line;
  } cases[] = {
      {"", false, true, open + connect + clear + "BtDisconnect 65\nBtCloseAPI\n", "PAIRing was successfully"},
      {"connect=error", false, false, open + connect + clear + "BtCloseAPI\n", "Error! BtConnect() = -7"},
      {"connect=fail", false, true, open + connect, "BtConnect"},
      {paired, true, true, open, "Device already paired. Skip pairing"},
      {paired, false, true, open + key + connect + clear + "BtDisconnect 65\nBtCloseAPI\n",
       "Device already paired. Deleting Link Key"},
      {paired + ";deletekey=fail", false, true, open + key, "BtDeleteLinkKey: lStatus = -8"},
      {"paired=" + kOther, true, true, open + connect + clear + "BtDisconnect 65\nBtCloseAPI\n",
       "EnableSPPAutoResponse(00:11:22:33:44:55)"},
  };
  for (const auto& c : cases) {
    m_Capture.Reconfigure(Ini(c.skip));
    m_Fake.Scenario(c.scenario);
    EXPECT_EQ(c.ok, m_Bt.Pair(kVci, "1234")) << c.scenario;
    EXPECT_EQ(c.calls, m_Fake.Calls()) << c.scenario;
    EXPECT_TRUE(Logged(c.line)) << c.scenario;
  }
  EXPECT_FALSE(m_Bt.Pair(kVci, nullptr));
}

TEST_F(BtApiSyncTest, ConnectStateTakesTheCidOfTheDevicesLinkAndDisconnectsEndTheirChannels) {
  const struct {
    std::string scenario;
    bool connected;
    uint16_t cid;
  } states[] = {
      {"connected=" + kVciText + "/7;cids=65/7", true, 65},
      {"connected=" + kVciText + "/7;cids=65/8", false, 0},
      {"connected=" + kVciText + "/7;cids=null", true, 7},  // no list: the link handle
      {"connected=" + kOther + "/7;cids=65/7", false, 0},
  };
  for (const auto& c : states) {
    m_Fake.Scenario(c.scenario);
    uint16_t cid = 0;
    int32_t status = -1;
    EXPECT_EQ(c.connected, m_Bt.CheckConnectState(kVci, cid, status)) << c.scenario;
    EXPECT_EQ(c.cid, cid) << c.scenario;
    EXPECT_EQ(0, status) << c.scenario;
  }

  const std::string query = "BtOpenAPI\nBtGetCIDList2\n";
  const struct {
    std::string scenario;
    bool all;
    std::string calls;
  } disconnects[] = {
      {"cids=65/7,66/7", false, query + "BtDisconnect 65\nBtCloseAPI\n"},
      {"cids=65/7,66/7", true, query + "BtDisconnect 65\nBtDisconnect 66\nBtCloseAPI\n"},
      {"cids=65/7,66/7;disconnect=fail", true, query + "BtDisconnect 65\nBtCloseAPI\n"},
      {"disconnect=fail", false, query + "BtDisconnect 65\n"},
  };
  for (const auto& c : disconnects) {
    m_Fake.Scenario(c.scenario);
    EXPECT_TRUE(c.all ? m_Bt.DisconnectAll() : m_Bt.Disconnect(65)) << c.scenario;
    EXPECT_EQ(c.calls, m_Fake.Calls()) << c.scenario;
  }
  EXPECT_TRUE(Logged("BtDisconnect: Status = -6"));
}

// One operation at a time; a running discovery ends when cancelled, at once
// when forced.
TEST_F(BtApiSyncTest, ARunningDiscoveryRefusesOtherOperationsAndEndsWhenCancelled) {
  for (bool force : {true, false}) {
    m_Fake.Scenario("discover=never");
    bool ok = false;
    std::thread discovery([&] { ok = m_Bt.DiscoverRemoteDevice(); });
    m_Fake.WaitFor("BtDiscoverRemoteDevice2");
    uint16_t cid;
    int32_t status;
    EXPECT_FALSE(m_Bt.CheckConnectState(kVci, cid, status));
    EXPECT_EQ(-1, status);
    EXPECT_TRUE(m_Bt.CancelDiscovery(force));
    discovery.join();
    EXPECT_TRUE(ok) << force;
    EXPECT_EQ(force, Logged("Forcing the cancelation of the discovery process"));
  }
  EXPECT_FALSE(m_Bt.CancelDiscovery(false)) << "nothing runs";
  EXPECT_TRUE(Logged("Cancel Discovery failed lStatus = -9"));
}

// A late worker is left behind with its own state; the next operations run,
// and the object's end waits until the stack lets the worker go.
TEST_F(BtApiSyncTest, ALateWorkerIsAbandonedAndLaterOperationsRun) {
  m_Capture.Reconfigure(Ini(false, 50, 50));
  m_Fake.Scenario("discover=never;devices=" + kVciText + "/VCI-1");
  EXPECT_FALSE(m_Bt.DiscoverRemoteDevice());
  EXPECT_TRUE(Logged("BT:Timed out waiting for BT API 50"));
  std::string name;
  EXPECT_TRUE(m_Bt.DiscoverRemoteName(kVci, name));
  EXPECT_EQ("VCI-1", name);

  m_Fake.Scenario("connect=block;connected=" + kVciText + "/7;cids=65/7");
  {
    CBtApiSync bt(kStack.c_str());
    EXPECT_FALSE(bt.Pair(kVci, "9062")) << "stuck in BtConnect";
    uint16_t cid = 0;
    int32_t status;
    EXPECT_TRUE(bt.CheckConnectState(kVci, cid, status));
    EXPECT_EQ(65, cid);
    m_Fake.Release();
  }
  const std::string calls = m_Fake.Calls();
  EXPECT_EQ("BtCloseAPI\n", calls.substr(calls.rfind("BtConnect")).substr(sizeof "BtConnect 00:11:22:33:44:55"))
      << "the worker closed its session before the object went";
}

// The companion program starts from the stack's folder with the parameters
// split at blanks, and is nobody's zombie: this process has no child left.
TEST_F(BtApiSyncTest, PersonalAreaNetworkCommandsStartTheCompanionFromTheInstallPath) {
  testenv::ScratchDir stack;
  testenv::WriteFile(stack.File("TosBtPcs"), "#!/bin/sh\necho \"$PWD|$#|$*\" > fifo\n");
  ASSERT_EQ(0, chmod(stack.File("TosBtPcs").c_str(), 0755));
  ASSERT_EQ(0, mkfifo(stack.File("fifo").c_str(), 0600));
  const std::string registry = testenv::ReadFile(m_Capture.RegistryPath());
  testenv::WriteFile(m_Capture.RegistryPath(), registry + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\TOSHIBA\\BluetoothStack\\V1.0]\n"
                                                           "\"InstallPath\"=\"" + stack.Path() + "\"\n");
  const struct {
    std::function<int32_t()> command;
    std::string parameters;
  } cases[] = {{[&] { return m_Bt.ConnectPAN(kVciText.c_str()); }, "2|00:11:22:33:44:55 /TARGET_GN"},
               {[&] { return m_Bt.ResetPAN(); }, "2|-00:00:00:00:00:00 /TARGET_GN"}};
  for (const auto& c : cases) {
    EXPECT_EQ(0, c.command());
    std::string line;
    std::getline(std::ifstream(stack.File("fifo")) >> std::ws, line);
    EXPECT_EQ(stack.Path() + "|" + c.parameters, line);
    EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));
    EXPECT_EQ(ECHILD, errno);
  }
  EXPECT_LE(reinterpret_cast<intptr_t>(ShellExecuteA(0, "open", stack.File("none").c_str(), "", "", 1)), 32);
  testenv::WriteFile(m_Capture.RegistryPath(), registry);
  EXPECT_EQ(-1, m_Bt.ConnectPAN(kVciText.c_str())) << "no install path";
  EXPECT_EQ(0, m_Bt.ResetPAN());
}

TEST(BtCommand, TheToolDrivesTheStackFoundThroughTheLoadersSearchPath) {
  const struct {
    std::string scenario, args;
    int status;
    std::string out;
  } cases[] = {
      {"devices=" + kVciText + "/VCI-1," + kOther + "/", "bt discover", 0, kVciText + " VCI-1\n" + kOther + " \n"},
      {"devices=" + kVciText + "/VCI-1", "bt name " + kVciText, 0, "VCI-1\n"},
      {"", "bt pair " + kVciText + " --pin 1234", 0, "paired " + kVciText + "\n"},
      {"connect=error", "bt pair " + kVciText, 1, ""},
      {"connected=" + kVciText + "/7;cids=65/7", "bt connected " + kVciText, 0, "connected 65\n"},
      {"cids=65/7", "bt disconnect --all", 0, ""},
  };
  setenv("LD_LIBRARY_PATH", VCI_FAKE_STACK_DIR, 1);
  for (const auto& c : cases) {
    setenv("FAKE_BT_SCENARIO", c.scenario.c_str(), 1);
    tooltest::Result r = tooltest::Tool(c.args);
    EXPECT_EQ(c.status, r.status) << c.args << ": " << r.err;
    EXPECT_EQ(c.out, r.out) << c.args;
  }
  setenv("LD_LIBRARY_PATH", "/nonexistent", 1);
  tooltest::Result r = tooltest::Tool("bt discover");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("libTosBtApi.so cannot be loaded")) << r.err;
  unsetenv("LD_LIBRARY_PATH");
  unsetenv("FAKE_BT_SCENARIO");
}

}  // namespace
