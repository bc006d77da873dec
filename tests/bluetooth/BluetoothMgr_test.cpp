// The Bluetooth discovery manager: its reading of friendly names, and its
// discovery thread against the simulated stack (vci-btsim and its
// libTosBtApi.so), observed through the listener and the trace lines. Every
// wait is for a listener call or a trace line.
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "bluetooth/BluetoothMgr.h"
#include "common/ChildProcess.h"
#include "host/IniFile.h"
#include "host/TraceCapture.h"

namespace {

using nlohmann::json;

::testing::Environment* const g_Namespace =
    ::testing::AddGlobalTestEnvironment(new testenv::NetNamespaceEnvironment);

const std::string kSimStack = std::string(VCI_BIN_DIR) + "/btstack/libTosBtApi.so";
const char kVci[] = "00:1b:dc:00:47:11", kHeadset[] = "00:1b:dc:00:00:02", kQuiet[] = "00:1b:dc:00:00:04",
           kBroken[] = "00:1b:dc:00:00:05";
const char kSerial[] = "12345678";
const auto kGuard = std::chrono::minutes(1);  // only a broken manager takes that long

const json kDevices = {{{"address", kVci}, {"name", "VTX5-12345678:2.1.7:R0"}},
                       {{"address", kHeadset}, {"name", "Headset"}},
                       {{"address", kQuiet}, {"name", "Quiet"}, {"faults", {"name-empty"}}},
                       {{"address", kBroken}, {"name", "Broken"}, {"faults", {"name-error"}}}};

// What the manager says: its trace lines and its listener calls, each of
// which wakes the waiters.
class Observer : public IBluetoothEvent {
 public:
  Observer() {
    s_Self = this;
    SetLogWindowPoster(&Observer::Post);
  }
  ~Observer() override {
    SetLogWindowPoster(nullptr);
    s_Self = nullptr;
  }
  int32_t OnVciBtDetect(const BtVciInfoMap* pDetected) override {
    std::lock_guard<std::mutex> g(m_Lock);
    m_Maps.push_back(*pDetected);
    m_Changed.notify_all();
    return 0;
  }
  int32_t OnVciBtError(int32_t iError) override {
    std::lock_guard<std::mutex> g(m_Lock);
    m_Errors.push_back(iError);
    m_Changed.notify_all();
    return 0;
  }

  template <typename Pred>
  bool Until(Pred pred) {
    std::unique_lock<std::mutex> lock(m_Lock);
    return m_Changed.wait_for(lock, kGuard, [&] { return pred(); });
  }
  bool UntilLogged(const std::string& line) {
    return Until([&] { return Count(line) > 0; });
  }
  // Requires m_Lock held when called from a predicate; locks otherwise.
  size_t Count(const std::string& line) const { return std::count(m_Lines.begin(), m_Lines.end(), line); }
  size_t Logged(const std::string& line) {
    std::lock_guard<std::mutex> g(m_Lock);
    return Count(line);
  }
  void Forget() {
    std::lock_guard<std::mutex> g(m_Lock);
    m_Lines.clear();
    m_Maps.clear();
  }

  std::mutex m_Lock;
  std::condition_variable m_Changed;
  std::vector<std::string> m_Lines;   // Guarded by m_Lock; the message parts.
  std::vector<BtVciInfoMap> m_Maps;   // Guarded by m_Lock.
  std::vector<int32_t> m_Errors;      // Guarded by m_Lock.

 private:
  static bool Post(char* block) {
    std::string line(block);
    free(block);
    Observer* self = s_Self;
    std::lock_guard<std::mutex> g(self->m_Lock);
    self->m_Lines.push_back(line.substr(line.find(':', 13) + 7));
    self->m_Changed.notify_all();
    return true;
  }
  static inline Observer* s_Self = nullptr;
};

std::vector<std::pair<std::string, bool>> g_Switched;  // what the seam was asked
bool Switch(const std::string& device, bool enable) {
  g_Switched.emplace_back(device, enable);
  return true;
}

class BluetoothMgrTest : public ::testing::Test {
 protected:
  void SetUp() override { g_Switched.clear(); }
  void TearDown() override {
    m_Mgr.reset();
    m_Sim.reset();
  }
  void Start(json world) {
    world["devices"] = kDevices;
    world.emplace("scan_time_ms", 0);
    world["reply_time_ms"] = 0;
    testenv::WriteFile(m_Capture.Dir().File("world.json"), world.dump());
    m_Sim.reset(new testenv::ChildProcess("vci-btsim", {"--world", m_Capture.Dir().File("world.json")},
                                          "vci-btsim: ready"));
    ASSERT_TRUE(m_Sim->Ready());
  }
  std::string Sim(const std::string& command) {
    m_Sim->Write(command + "\n");
    return m_Sim->ReadLine([](const std::string& l) { return l == "ok" || l.compare(0, 7, "error: ") == 0; });
  }
  void Initialize(const BtVciInfoMap& cached = BtVciInfoMap(), uint32_t defaultDevice = 0) {
    m_Mgr.reset(new CBluetoothMgr(kSimStack.c_str()));
    m_Mgr->SetEnableConnection(&Switch);
    ASSERT_EQ(0, m_Mgr->Initialize(&m_Observer, cached, defaultDevice));
  }
  // Until the listener has been called n more times.
  bool Scans(size_t n) {
    size_t from;
    {
      std::lock_guard<std::mutex> g(m_Observer.m_Lock);
      from = m_Observer.m_Maps.size();
    }
    return m_Observer.Until([&] { return m_Observer.m_Maps.size() >= from + n; });
  }
  std::string NameQuery(const char* address) { return std::string("New Device: ") + address + " Retrieving friendly name"; }

  tracetest::TraceCapture m_Capture{
      "[Log]\nLevel = info\n[Mode]\nShowWindow = true\n[timeouts]\nDISCOVERY_TIMEOUT = 600000\n"
      "NUM_TIMES_NO_DETECT = 2\nBT_NUM_FALSE_DETECTS = 2\n"};
  Observer m_Observer;
  std::unique_ptr<testenv::ChildProcess> m_Sim;
  std::unique_ptr<CBluetoothMgr> m_Mgr;
};

TEST(CBluetoothMgr, AFriendlyNameOfEitherFormGivesTheSerialAndTheRecordAnyOtherNone) {
  const struct {
    const char* name;
    const char* serial;
    uint32_t type, fw, state;
  } vcis[] = {
      {"VTX5-12345678:2.1.7:R0", "12345678", 5, 0x02010700, 1},
      {"VTX5-12345678:2.1.7:R1", "12345678", 5, 0x02010700, 2},
      {"My VTX3_42:10.0.255:R2x", "42", 3, 0x0a00ff00, 1},
      {"ABCD-12345678-0A:1B:2C", "12345678", 4, 0x280000, 1},
  };
  const char* const others[] = {
      "VTX5-12345678",         "VTX5-12345678:2.1.7",    "VTX5-12345678:2.1:R0",   "VTX5-12345678:2.1.7:0",
      "VTXa-12345678:2.1.7:R0", "VTX5",                   "ABCD-12345678-0A:1B:2",  "ABCD-12345678-0A:1B:2CD",
      "ABC-D12345678-0A:1B:2C", "ABCD-1234567-80A:1B:2C", "ABCD-12345678-0A1:B:2C", "Headset",
      "",
  };
  auto parse = [](const std::string& name, std::string& serial, BtVciInfo& info) {
    serial = "stale";
    info.BDADDR = kVci;
    info.misses = 3;
    const bool vci = CBluetoothMgr::ParseFriendlyName(name, serial, info);
    EXPECT_EQ(0u, info.misses) << name;
    EXPECT_EQ(kVci, info.BDADDR) << name;
    return vci;
  };
  for (const auto& row : vcis) {
    std::string serial;
    BtVciInfo info;
    EXPECT_TRUE(parse(row.name, serial, info)) << row.name;
    EXPECT_EQ(row.serial, serial) << row.name;
    EXPECT_EQ(std::vector<uint32_t>({row.type, row.fw, row.state}),
              std::vector<uint32_t>({info.ModuleType, info.FW_Version, info.ModuleState})) << row.name;
  }
  for (const char* name : others) {
    std::string serial;
    BtVciInfo info;
    EXPECT_FALSE(parse(name, serial, info)) << name;
    EXPECT_EQ("", serial) << name;
  }
}

TEST(CBluetoothMgr, AddressTextsReadAsBytesWithOrWithoutColons) {
  const struct {
    const char* text;
    uint8_t bytes[6];
  } rows[] = {
      {"00:1B:dc:00:47:11", {0x00, 0x1b, 0xdc, 0x00, 0x47, 0x11}},
      {"001bdc004711", {0x00, 0x1b, 0xdc, 0xee, 0xee, 0xee}},  // (12 - 5) / 2 bytes
      {"", {0xee, 0xee, 0xee, 0xee, 0xee, 0xee}},
  };
  for (const auto& row : rows) {
    uint8_t out[6];
    std::fill(out, out + 6, 0xee);
    CBluetoothMgr::ParseAddress(row.text, out);
    EXPECT_TRUE(std::equal(out, out + 6, row.bytes)) << row.text;
  }
}

TEST(CBluetoothMgr, WithoutTheStackLibraryNothingWorks) {
  tracetest::TraceCapture capture("[Log]\nLevel = info\n");
  CBluetoothMgr mgr("libTosBtApiNowhere.so");
  Observer observer;
  EXPECT_EQ(CBluetoothMgr::BT_STACK_NOT_LOADED, mgr.Initialize(&observer, BtVciInfoMap(), 0));
  EXPECT_FALSE(mgr.IsLibraryPresent());
  uint16_t cid = 0;
  int32_t status = 0;
  EXPECT_EQ(std::vector<int32_t>({-1, -1, CBluetoothMgr::BT_PAIR_FAILED, 0, 0, 0, -1, -1}),
            std::vector<int32_t>({mgr.StartDiscovery(), mgr.ConnectPAN(kVci), mgr.Pair(kVci, "9062"),
                                  mgr.CheckConnectState(kVci, cid, status), mgr.Disconnect(65), mgr.DisconnectAll(),
                                  mgr.ResetPAN(), status}));
}

// A VCI is reported after every scan until it has been missed
// NUM_TIMES_NO_DETECT times; other devices are asked for their names once,
// and go into non-vci-bt.txt, which the next run reads: it asks them no
// more. A device whose name cannot be read stays unjudged.
TEST_F(BluetoothMgrTest, VcisAreReportedUntilMissedAndOtherDevicesAreJudgedOnceAcrossRuns) {
  Start(json::object());
  Initialize();
  ASSERT_TRUE(m_Observer.Until([&] { return !m_Observer.m_Maps.empty() && m_Observer.m_Maps.back().count(kSerial); }));
  {
    std::lock_guard<std::mutex> g(m_Observer.m_Lock);
    const BtVciInfo& info = m_Observer.m_Maps.back().at(kSerial);
    EXPECT_EQ(std::vector<std::string>({kVci, "5", "33621760", "1"}),
              std::vector<std::string>({info.BDADDR, std::to_string(info.ModuleType),
                                        std::to_string(info.FW_Version), std::to_string(info.ModuleState)}));
  }
  ASSERT_TRUE(Scans(2));
  EXPECT_EQ(1u, m_Observer.Logged(NameQuery(kHeadset)));
  EXPECT_EQ(2u, m_Observer.Logged(NameQuery(kQuiet))) << "empty names are asked BT_NUM_FALSE_DETECTS times";
  EXPECT_EQ(1u, m_Observer.Logged("Friendly Name is empty iCount = 1"));
  EXPECT_LE(2u, m_Observer.Logged(NameQuery(kBroken)));
  EXPECT_EQ(1u, m_Observer.Logged(NameQuery(kVci)));

  ASSERT_EQ("ok", Sim(std::string("device {\"address\": \"") + kVci + "\", \"in_range\": false}"));
  ASSERT_TRUE(m_Observer.Until([&] { return !m_Observer.m_Maps.back().count(kSerial); }));
  EXPECT_EQ(1u, m_Observer.Logged("VCI SN 12345678 Num Times not detected = 1"));
  EXPECT_EQ(1u, m_Observer.Logged("Erasing 12345678 from Map"));
  EXPECT_EQ(0, m_Mgr->Uninitialize());

  CIniFile file;
  ASSERT_TRUE(file.Load(m_Capture.Dir().File("non-vci-bt.txt")));
  EXPECT_EQ(std::vector<std::string>({"non_vci_bt_devices"}), file.GetSections());
  std::string entries = file.GetString("non_vci_bt_devices:NumDevices", "-");
  for (int n = 1; n <= 2; ++n) {
    const std::string k = "non_vci_bt_devices:bt_";
    entries += " " + file.GetString((k + "dev_" + std::to_string(n)).c_str(), "-") + "/" +
               file.GetString((k + "FN_" + std::to_string(n)).c_str(), "-");
    EXPECT_EQ(24u, file.GetString((k + "TS_" + std::to_string(n)).c_str(), "").size()) << "a ctime text";
  }
  EXPECT_EQ(std::string("2 ") + kHeadset + "/Headset " + kQuiet + "/", entries);

  m_Observer.Forget();
  ASSERT_EQ("ok", Sim(std::string("device {\"address\": \"") + kVci + "\", \"in_range\": true}"));
  Initialize();
  ASSERT_TRUE(Scans(2));
  EXPECT_EQ(0u, m_Observer.Logged(NameQuery(kHeadset)) + m_Observer.Logged(NameQuery(kQuiet)));
  EXPECT_LE(2u, m_Observer.Logged(NameQuery(kBroken)));
  EXPECT_EQ(1u, m_Observer.Logged(NameQuery(kVci)));
}

// Known VCIs are recognised through the engine's cached map; the default
// VCI ends the thread, which stays "running" until StopDiscovery.
TEST_F(BluetoothMgrTest, TheDefaultVciEndsDiscoveryUntilItIsStoppedAndStartedAgain) {
  Start(json::object());
  BtVciInfoMap cached;
  cached[kSerial].BDADDR = kVci;
  cached[kSerial].FW_Version = 1;
  Initialize(cached, 12345678);
  ASSERT_TRUE(m_Observer.UntilLogged("Found default device. Exiting BluetoothMgr"));
  EXPECT_EQ(0, m_Mgr->StartDiscovery());
  EXPECT_EQ(0, m_Mgr->StopDiscovery());
  EXPECT_EQ(0u, m_Observer.Logged("Number of BT Scans = 2"));
  EXPECT_EQ(1u, m_Observer.Logged("Discovery Started"));
  {
    std::lock_guard<std::mutex> g(m_Observer.m_Lock);
    ASSERT_EQ(1u, m_Observer.m_Maps.size());
    EXPECT_EQ(0x02010700u, m_Observer.m_Maps[0].at(kSerial).FW_Version);
    EXPECT_EQ(1u, m_Observer.Count("Default VCI detected SN = 12345678"));
  }

  m_Mgr->SetDefaultVCI(0);
  m_Observer.Forget();
  EXPECT_EQ(0, m_Mgr->StartDiscovery());
  ASSERT_TRUE(Scans(2));
  EXPECT_EQ(1u, m_Observer.Logged("Cached VCI detected SN = 12345678"));
  EXPECT_EQ(0u, m_Observer.Logged("New VCI detected SN = 12345678"));
}

// 21 failed scans in a row are reported; a successful scan after failures
// switches the network connection on and starts from an empty map.
TEST_F(BluetoothMgrTest, FailedScansAreReportedAtTheLimitAndRecoveryResetsTheNetwork) {
  Start({{"faults", {"discovery-error"}}});
  Initialize();
  ASSERT_TRUE(m_Observer.Until([&] { return !m_Observer.m_Errors.empty(); }));
  {
    std::lock_guard<std::mutex> g(m_Observer.m_Lock);
    EXPECT_EQ(std::vector<int32_t>({4096}), m_Observer.m_Errors);
  }
  EXPECT_EQ(1u, m_Observer.Logged("Number of BT Scan Consecutive ERRORS = 20"));
  EXPECT_EQ(0u, m_Observer.Logged("Number of BT Scan Consecutive ERRORS = 21"));
  EXPECT_EQ(1u, m_Observer.Logged("Notifying Upper"));
  EXPECT_EQ(0, m_Mgr->Uninitialize()) << "the pause of 5000 ms ends with the stop";

  m_Observer.Forget();
  Initialize();
  ASSERT_TRUE(m_Observer.UntilLogged("Number of BT Scan Consecutive ERRORS = 1"));
  ASSERT_EQ("ok", Sim("world {\"faults\": []}"));
  ASSERT_TRUE(m_Observer.Until([&] { return !m_Observer.m_Maps.empty(); }));
  EXPECT_EQ(1u, m_Observer.Logged("First attempt at discovery after error"));
  EXPECT_EQ(1u, g_Switched.size());
  EXPECT_EQ(std::make_pair(std::string("Bluetooth Personal"), true), g_Switched.at(0));
}

// A scan that never ends is cut short by Uninitialize; nothing reaches the
// listener afterwards.
TEST_F(BluetoothMgrTest, UninitializeEndsARunningScanAtOnce) {
  Start({{"faults", {"discovery-endless"}}});
  Initialize();
  ASSERT_TRUE(m_Observer.UntilLogged("TOSBTAPI_NM_DISCOVERDEVICE_FOUND"));
  EXPECT_EQ(0, m_Mgr->Uninitialize());
  EXPECT_EQ(1u, m_Observer.Logged("Forcing the cancelation of the discovery process"));
  EXPECT_TRUE(m_Observer.m_Maps.empty());
}

}  // namespace
