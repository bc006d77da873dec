// The simulated Bluetooth stack as the service meets it: libTosBtApi.so
// loaded with dlopen, posting to a window of this program through the
// window layer that the program exports, against the world of vci-btsim;
// the personal-area network through TosBtPcs. Every test runs in a private
// network namespace.
#include <dirent.h>
#include <dlfcn.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "bluetooth/TosBtApi.h"
#include "common/BtSimProcess.h"
#include "common/TestEnv.h"
#include "platform/Registry.h"
#include "platform/WinUser.h"

namespace {

using nlohmann::json;
typedef std::vector<WPARAM> Codes;

::testing::Environment* const g_Namespace =
    ::testing::AddGlobalTestEnvironment(new testenv::NetNamespaceEnvironment);

const std::string kBin = VCI_BIN_DIR;
const char kVci[] = "00:1b:dc:00:47:11";
const char kHeadset[] = "00:1b:dc:00:00:02";
const char kAway[] = "00:1b:dc:00:00:03";
const char kVciName[] = "VTX5-00004711:2.1.7:R0";
const UINT kGiveUp = WM_USER + 99;

const json kDevices = {{{"address", kVci}, {"name", kVciName}, {"serial", 4711}, {"vci_args", {"--interval", "100"}}},
                       {{"address", kHeadset}, {"name", "Headset"}, {"paired", true}},
                       {{"address", kAway}, {"name", "Far"}, {"in_range", false}}};

struct Note {
  UINT msg;
  WPARAM code;
  LPARAM param;
};
std::vector<Note> g_Notes;  // the test thread's window's notifications

LRESULT Record(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg < WM_USER) return DefWindowProc(hwnd, msg, wParam, lParam);
  g_Notes.push_back({msg, wParam, lParam});
  return 0;
}

void Bytes(const std::string& text, uint8_t* out) {
  for (size_t i = 0; i < 6; ++i) out[i] = static_cast<uint8_t>(std::stoul(text.substr(3 * i, 2), nullptr, 16));
}
std::string Text(const uint8_t* a) {
  char t[18];
  snprintf(t, sizeof t, "%02x:%02x:%02x:%02x:%02x:%02x", a[0], a[1], a[2], a[3], a[4], a[5]);
  return t;
}

size_t ThreadCount() {
  size_t n = 0;
  DIR* d = opendir("/proc/self/task");
  while (struct dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

class BtSim : public ::testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSEX wc = {};
    wc.lpfnWndProc = Record;
    wc.lpszClassName = "BtSimTest";
    RegisterClassEx(&wc);
    m_Window = CreateWindowEx(0, "BtSimTest", "", 0, 0, 0, 10, 10, 0, 0, nullptr, nullptr);
    g_Notes.clear();
  }
  void TearDown() override {
    DestroyWindow(m_Window);
    m_Sim.reset();
    if (m_Library) dlclose(m_Library);
  }

  void Start(const json& world, std::vector<std::string> args = {}) {
    m_Sim.reset(new testenv::BtSimProcess(m_Dir, world, args));
    ASSERT_TRUE(m_Sim->Ready());
  }
  template <typename F>
  F Bt(const char* name) const {
    return reinterpret_cast<F>(dlsym(m_Library, name));
  }
  int32_t Open() { return Bt<PFN_BtOpenAPI>("BtOpenAPI")(m_Window, "test", &m_Status); }
  // Handles the thread's messages until a notification with the code last
  // (or after a minute the watchdog's); the codes that came, in order.
  Codes Until(WPARAM last) {
    sockettest::Latch done;
    std::thread watchdog([&]() {
      if (!done.Wait()) PostMessage(m_Window, kGiveUp, 0, 0);
    });
    MSG msg;
    while (GetMessage(&msg, 0, 0, 0)) {
      DispatchMessage(&msg);
      if (!g_Notes.empty() && (g_Notes.back().code == last || g_Notes.back().msg == kGiveUp)) break;
    }
    done.Set();
    watchdog.join();
    Codes codes;
    for (const Note& n : g_Notes) codes.push_back(n.code);
    return codes;
  }
  // The links and channels the stack reports: "address/handle" and "cid/handle".
  std::vector<std::string> Links() {
    BTCONNECTEDDEVLIST* links = nullptr;
    BTCIDLIST* cids = nullptr;
    EXPECT_TRUE(Bt<PFN_BtGetConnectedDeviceList2>("BtGetConnectedDeviceList2")(&links, &m_Status));
    EXPECT_TRUE(Bt<PFN_BtGetCIDList2>("BtGetCIDList2")(&cids, &m_Status));
    std::vector<std::string> all;
    for (uint32_t i = 0; links && i < links->dwListNum; ++i)
      all.push_back(Text(links->Entry[i].BdAddr) + "/" + std::to_string(links->Entry[i].wConnectionHandle));
    for (uint32_t i = 0; cids && i < cids->dwListNum; ++i)
      all.push_back(std::to_string(cids->Entry[i].wCID) + "/" + std::to_string(cids->Entry[i].wConnectionHandle));
    Bt<PFN_BtMemFree>("BtMemFree")(links);
    Bt<PFN_BtMemFree>("BtMemFree")(cids);
    return all;
  }
  bool IsPaired(const std::string& address) {
    uint32_t count = 0;
    BTDEVINFO* list = nullptr;
    EXPECT_TRUE(Bt<PFN_BtGetRemoteDeviceList2>("BtGetRemoteDeviceList2")(TOSBT_REMOTE_LIST_PAIRED, 0, 0, &count, &list,
                                                                          &m_Status));
    bool found = false;
    for (uint32_t i = 0; i < count; ++i) found = found || Text(list[i].BdAddr) == address;
    Bt<PFN_BtMemFree>("BtMemFree")(list);
    return found;
  }

  testenv::ScratchDir m_Dir;
  testenv::ScopedRegistry m_Registry{m_Dir, nullptr};
  void* m_Library = dlopen((kBin + "/btstack/" TOSBT_LIBRARY_NAME).c_str(), RTLD_NOW | RTLD_LOCAL);
  HWND m_Window = 0;
  int32_t m_Status = 1;
  std::unique_ptr<testenv::BtSimProcess> m_Sim;
};

TEST_F(BtSim, AnEndlessInquiryIsBusyUntilCancelledFromAnyThreadOrDroppedWithItsSession) {
  Start({{"scan_time_ms", 0}, {"faults", {"discovery-endless"}}, {"devices", kDevices}});
  auto discover = Bt<PFN_BtDiscoverRemoteDevice2>("BtDiscoverRemoteDevice2");
  auto cancel = [this]() {
    int32_t status = 1, result = 0;
    std::thread([&]() { result = Bt<PFN_BtCancelDiscoverRemoteDevice>("BtCancelDiscoverRemoteDevice")(&status); }).join();
    return result ? TOSBT_STATUS_OK : status;
  };
  const Codes found = {TOSBTAPI_NM_DISCOVERDEVICE_START, TOSBTAPI_NM_DISCOVERDEVICE_FOUND,
                       TOSBTAPI_NM_DISCOVERDEVICE_FOUND};
  BTDEVINFOLIST* list = nullptr;
  // A session lapses with its thread, also for a thread that gets its id,
  // and its inquiry with it: the radio is free again. The thread's window
  // goes with it, unread.
  std::thread([&]() {
    HWND own = CreateWindowEx(0, "BtSimTest", "", 0, 0, 0, 10, 10, 0, 0, nullptr, nullptr);
    EXPECT_TRUE(Open());
    EXPECT_TRUE(discover(&list, TOSBT_DISCOVER_ALL, &m_Status, own, WM_DISCOVER_REMOTE_DEVICE2, 0));
  }).join();
  std::thread([&]() { EXPECT_FALSE(discover(&list, TOSBT_DISCOVER_ALL, &m_Status, m_Window, 1035, 0)); }).join();
  EXPECT_EQ(m_Status, TOSBT_STATUS_NOT_OPEN);
  ASSERT_TRUE(Open());
  ASSERT_TRUE(discover(&list, TOSBT_DISCOVER_ALL, &m_Status, m_Window, WM_DISCOVER_REMOTE_DEVICE2, 0));
  Until(TOSBTAPI_NM_DISCOVERDEVICE_FOUND);
  EXPECT_EQ(Until(TOSBTAPI_NM_DISCOVERDEVICE_FOUND), found);
  EXPECT_FALSE(discover(&list, TOSBT_DISCOVER_ALL, &m_Status, m_Window, WM_DISCOVER_REMOTE_DEVICE2, 0));
  EXPECT_EQ(m_Status, TOSBT_STATUS_BUSY);
  EXPECT_EQ(cancel(), TOSBT_STATUS_OK);
  EXPECT_EQ(Until(TOSBTAPI_NM_DISCOVERDEVICE_END).back(), WPARAM(TOSBTAPI_NM_DISCOVERDEVICE_END));
  ASSERT_TRUE(list);
  EXPECT_EQ(list->dwDevListNum, 2u);
  Bt<PFN_BtMemFree>("BtMemFree")(list);
  EXPECT_EQ(cancel(), TOSBT_STATUS_NOT_RUNNING);

  // Closing the session drops its inquiry in the simulator too; the next
  // one's notifications are all that come.
  ASSERT_TRUE(discover(&list, TOSBT_DISCOVER_ALL, &m_Status, m_Window, WM_DISCOVER_REMOTE_DEVICE2, 0));
  Until(TOSBTAPI_NM_DISCOVERDEVICE_FOUND);
  g_Notes.clear();
  Until(TOSBTAPI_NM_DISCOVERDEVICE_FOUND);
  EXPECT_TRUE(Bt<PFN_BtCloseAPI>("BtCloseAPI")());
  EXPECT_FALSE(Bt<PFN_BtCloseAPI>("BtCloseAPI")());
  EXPECT_EQ(cancel(), TOSBT_STATUS_NOT_RUNNING);
  ASSERT_EQ(m_Sim->Command("world {\"faults\": []}"), "ok");
  ASSERT_TRUE(Open());
  g_Notes.clear();
  ASSERT_TRUE(discover(&list, TOSBT_DISCOVER_ALL, &m_Status, m_Window, WM_DISCOVER_REMOTE_DEVICE2, 0));
  Codes all = found;
  all.push_back(TOSBTAPI_NM_DISCOVERDEVICE_END);
  EXPECT_EQ(Until(TOSBTAPI_NM_DISCOVERDEVICE_END), all);
  Bt<PFN_BtMemFree>("BtMemFree")(list);
}

TEST_F(BtSim, PairingThroughAConnectLeavesALinkKeyAndAChannelUntilItsDisconnect) {
  Start({{"reply_time_ms", 0}, {"devices", kDevices}});
  const Codes connected = {TOSBTAPI_NM_CONNECT_START, TOSBTAPI_NM_CONNECT_CONNECTED, TOSBTAPI_NM_CONNECT_END};
  const Codes failed = {TOSBTAPI_NM_CONNECT_START, TOSBTAPI_NM_CONNECT_ERROR, TOSBTAPI_NM_CONNECT_END};
  const struct {
    json device;
    const char* pin;
    Codes codes;
    int32_t status;
  } rows[] = {
      {{}, "9062", connected, TOSBT_STATUS_OK},
      {{{"pin", "9062"}}, "1234", failed, TOSBT_STATUS_AUTH_FAILED},
      {{{"pairing", false}}, "9062", failed, TOSBT_STATUS_AUTH_FAILED},
      {{{"faults", {"connect-error"}}}, "9062", failed, TOSBT_STATUS_NO_DEVICE},
      {{{"paired", true}, {"pin", "0000"}}, "9062", connected, TOSBT_STATUS_OK},  // a link key needs no PIN
  };
  ASSERT_TRUE(Open());
  for (const auto& row : rows) {
    g_Notes.clear();
    json device = {{"address", kVci}, {"paired", false}, {"pairing", true}, {"pin", ""}, {"faults", json::array()}};
    if (row.device.is_object()) device.update(row.device);
    ASSERT_EQ(m_Sim->Command("device " + device.dump()), "ok");
    BTCONNECTREQUEST block = {};
    Bytes(kVci, block.BdAddr);
    ASSERT_TRUE(Bt<PFN_BtSetAutoReplyPinCode>("BtSetAutoReplyPinCode")(block.BdAddr, row.pin, 4, &m_Status));
    ASSERT_TRUE(Bt<PFN_BtConnect>("BtConnect")(block.BdAddr, TOSBT_CONNECT_ACL, 0, &block.wCID, block.Output,
                                                TOSBT_CONNECT_OUTPUT_KIND, &block.lStatus, m_Window, WM_BT_CONNECT,
                                                reinterpret_cast<intptr_t>(&block), 0, 0, 0));
    EXPECT_EQ(Until(TOSBTAPI_NM_CONNECT_END), row.codes) << row.device;
    for (const Note& n : g_Notes) EXPECT_EQ(n.param, reinterpret_cast<LPARAM>(&block));
    EXPECT_EQ(block.lStatus, row.status) << row.device;
    const bool ok = row.status == TOSBT_STATUS_OK;
    EXPECT_EQ(IsPaired(kVci), ok) << row.device;
    if (!ok) {
      EXPECT_EQ(Links(), std::vector<std::string>());
      continue;
    }
    const std::vector<std::string> links = Links();
    ASSERT_EQ(links.size(), 2u);
    const std::string handle = links[0].substr(links[0].find('/'));
    EXPECT_EQ(links, std::vector<std::string>({kVci + handle, std::to_string(block.wCID) + handle}));
    auto disconnect = Bt<PFN_BtDisconnect>("BtDisconnect");
    EXPECT_TRUE(disconnect(block.wCID, &m_Status));
    EXPECT_EQ(Links(), std::vector<std::string>());
    EXPECT_FALSE(disconnect(block.wCID, &m_Status));
    EXPECT_EQ(m_Status, TOSBT_STATUS_NOT_CONNECTED);
    BTDEVADDRLIST keys = {1, {}};
    Bytes(kVci, keys.BdAddr[0]);
    EXPECT_TRUE(Bt<PFN_BtDeleteLinkKey>("BtDeleteLinkKey")(&keys, &m_Status));
    EXPECT_FALSE(IsPaired(kVci));
    EXPECT_FALSE(Bt<PFN_BtDeleteLinkKey>("BtDeleteLinkKey")(&keys, &m_Status));
    EXPECT_EQ(m_Status, TOSBT_STATUS_NOT_PAIRED);
  }
}

// The companion program connects the network to a VCI alone and resets it.
// (The engine's tests hear the VCI announce itself over it.)
TEST_F(BtSim, TheCompanionConnectsTheNetworkToAVciAndAResetTearsItDown) {
  Start({{"devices", kDevices}}, {"--register"});
  std::string folder;
  ASSERT_EQ(platform::ReadRegistryString("InstallPath", 261, folder, nullptr, BT_STACK_REGISTRY_KEY), 0);
  const std::string pcs = folder + "TosBtPcs ";
  EXPECT_EQ(testenv::Shell(pcs + kHeadset + " /TARGET_GN"), 1) << "no VCI";
  ASSERT_EQ(testenv::Shell(pcs + kVci + " /TARGET_GN"), 0);
  EXPECT_EQ(Links().size(), 2u) << "the network's link and channel";
  EXPECT_EQ(m_Sim->Status()["pan"]["address"], kVci);

  ASSERT_EQ(testenv::Shell(pcs + "-00:00:00:00:00:00 /TARGET_GN"), 0);
  EXPECT_EQ(Links(), std::vector<std::string>());
  EXPECT_EQ(m_Sim->Status()["pan"], nullptr);
  EXPECT_EQ(testenv::Shell("ip -d link show dev bnep0 | grep -q 'alias Bluetooth Personal Area Network'"), 0);
  EXPECT_NE(testenv::Shell("ip link show dev bnep0 | grep -q LOWER_UP"), 0) << "no carrier without the VCI";
}

TEST_F(BtSim, CommandsChangeTheWorldWholeOrNotAtAll) {
  Start({{"devices", kDevices}});
  const struct {
    std::string command, answer;
  } rows[] = {
      {"world {\"scan_time_ms\": 5, \"scan\": 1}", "error: unknown key 'scan'"},
      {"device {\"address\": \"00:1b\"}", "error: every device needs an address \"xx:xx:xx:xx:xx:xx\""},
      {"device {\"address\": \"00:1B:DC:00:00:02\", \"faults\": [\"x\"]}",
       "error: 00:1b:dc:00:00:02: faults must be a list of: connect-error name-empty name-error"},
      {"device {\"address\": \"00:1B:DC:00:00:02\", \"in_range\": false}", "ok"},
      {"notify 1", "error: no service window of this registry's scope took it"},
      {"frob", "error: unknown command 'frob'"},
  };
  for (const auto& row : rows) EXPECT_EQ(m_Sim->Command(row.command), row.answer) << row.command;
  const json status = m_Sim->Status();
  EXPECT_EQ(status["scan_time_ms"], 2000);
  EXPECT_EQ(status["devices"][1]["faults"], json::array());
  EXPECT_EQ(status["devices"][1]["in_range"], false);
}

// The caller may close its window before the stack is done with it; after
// BtCloseAPI and dlclose no thread of the library is left.
TEST_F(BtSim, TheLibraryIgnoresAClosedWindowAndLeavesNoThreadBehind) {
  const size_t threads = ThreadCount();
  Start({{"scan_time_ms", 0}, {"reply_time_ms", 0}, {"devices", kDevices}});
  ASSERT_TRUE(Open());
  HWND gone = CreateWindowEx(0, "BtSimTest", "", 0, 0, 0, 10, 10, 0, 0, nullptr, nullptr);
  BTDEVINFOLIST* list = nullptr;
  ASSERT_TRUE(Bt<PFN_BtDiscoverRemoteDevice2>("BtDiscoverRemoteDevice2")(&list, TOSBT_DISCOVER_ALL, &m_Status, gone,
                                                                          WM_DISCOVER_REMOTE_DEVICE2, 0));
  DestroyWindow(gone);
  // Timed no later than the inquiry's END, the name's notifications come after it.
  char name[TOSBT_NAME_BUFFER_SIZE];
  uint8_t address[6];
  Bytes(kVci, address);
  ASSERT_TRUE(Bt<PFN_BtDiscoverRemoteName>("BtDiscoverRemoteName")(address, name, &m_Status, m_Window,
                                                                    WM_DISCOVER_REMOTE_NAME, 0));
  EXPECT_EQ(Until(TOSBTAPI_NM_DISCOVERNAME_END),
            Codes({TOSBTAPI_NM_DISCOVERNAME_START, TOSBTAPI_NM_DISCOVERNAME_FOUND, TOSBTAPI_NM_DISCOVERNAME_END}));
  EXPECT_STREQ(name, kVciName);
  Bt<PFN_BtMemFree>("BtMemFree")(list);
  EXPECT_TRUE(Bt<PFN_BtCloseAPI>("BtCloseAPI")());
  EXPECT_GT(ThreadCount(), threads);
  EXPECT_EQ(dlclose(m_Library), 0);
  m_Library = nullptr;
  EXPECT_EQ(ThreadCount(), threads);
}

}  // namespace
