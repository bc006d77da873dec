// The Bluetooth discovery manager: its reading of friendly names, and its
// discovery thread against the simulated stack (vci-btsim and its
// libTosBtApi.so), observed through the listener and the trace lines. Every
// wait is for a listener call or a trace line.
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "bluetooth/BluetoothMgr.h"
#include "common/ChildProcess.h"
#include "host/IniFile.h"
#include "host/TraceCapture.h"

extern "C" {
void FakeBtSetScenario(const char* text);
void FakeBtWaitFor(const char* prefix);
}
std::string FakeBtCalls();

namespace {

using nlohmann::json;

::testing::Environment* const g_Namespace = ::testing::AddGlobalTestEnvironment(new testenv::NetNamespaceEnvironment);

const std::string kVci = "00:1b:dc:00:47:11", kHeadset = "00:1b:dc:00:00:02", kQuiet = "00:1b:dc:00:00:04",
                  kBroken = "00:1b:dc:00:00:05";
const json kDevices = {{{"address", kVci}, {"name", "VTX5-00345678:2.1.7:R0"}},
                       {{"address", kHeadset}, {"name", "Headset"}},
                       {{"address", kQuiet}, {"name", "Quiet"}, {"faults", {"name-empty"}}},
                       {{"address", kBroken}, {"name", "Broken"}, {"faults", {"name-error"}}}};

// "address/type/firmware/state/misses" of a record.
std::string Record(const BtVciInfo& i) {
  char t[80];
  snprintf(t, sizeof t, "%s/%u/%08x/%u/%u", i.BDADDR.c_str(), i.ModuleType, i.FW_Version, i.ModuleState, i.misses);
  return t;
}

// The listener's calls as texts, which wake the waiters: "error <code>",
// or "map" and then "map:" with a " serial/record" per detected VCI.
class Observer : public IBluetoothEvent {
 public:
  int32_t OnVciBtDetect(const BtVciInfoMap* pDetected) override {
    std::string text = "map:";
    for (const auto& e : *pDetected) text += " " + e.first + "/" + Record(e.second);
    return Add("map") + Add(text);
  }
  int32_t OnVciBtError(int32_t iError) override { return Add("error " + std::to_string(iError)); }
  int32_t Add(const std::string& text) {  // "" forgets the calls and the trace lines so far
    std::lock_guard<std::mutex> g(m_Lock);
    text.empty() ? m_Calls.clear() : m_Calls.push_back(text);
    if (text.empty()) tracetest::TraceCapture::Clear();
    m_Changed.notify_all();
    return 0;
  }
  // Until n calls were what; false after a minute, which only a broken
  // manager takes.
  bool Until(const std::string& what, size_t n = 1) {
    std::unique_lock<std::mutex> lock(m_Lock);
    return m_Changed.wait_for(lock, std::chrono::minutes(1),
                              [&] { return size_t(std::count(m_Calls.begin(), m_Calls.end(), what)) >= n; });
  }
  // How often each trace line (with before and after) was written, as a
  // string of digits.
  static std::string Logged(const std::vector<std::string>& lines, const std::string& before = "",
                            const std::string& after = "") {
    const std::vector<std::string> logged = tracetest::TraceCapture::Messages();
    std::string digits;
    for (const std::string& l : lines)
      digits += std::to_string(std::count(logged.begin(), logged.end(), before + l + after));
    return digits;
  }

 private:
  std::mutex m_Lock;
  std::condition_variable m_Changed;
  std::vector<std::string> m_Calls;  // Guarded by m_Lock.
};

std::string g_Switched;  // what the network-connection seam was asked

// A manager on the simulated stack of kDevices, and the simulator's commands.
class BluetoothMgrTest : public ::testing::Test {
 protected:
  void Run(json world, const BtVciInfoMap& cached = BtVciInfoMap(), uint32_t defaultDevice = 0) {
    if (!m_pSim) {
      world.update({{"devices", kDevices}, {"scan_time_ms", 0}, {"reply_time_ms", 0}});
      testenv::WriteFile(m_Capture.Dir().File("world.json"), world.dump());
      m_pSim.reset(new testenv::ChildProcess("vci-btsim", {"--world", m_Capture.Dir().File("world.json")}, "ready"));
      ASSERT_TRUE(m_pSim->Ready());
    }
    g_Switched.clear();
    m_pMgr.reset(new CBluetoothMgr(VCI_BIN_DIR "/btstack/libTosBtApi.so"));
    m_pMgr->SetEnableConnection(
        [](const std::string& device, bool on) { return !(g_Switched += device + (on ? " on;" : " off;")).empty(); });
    ASSERT_EQ(0, m_pMgr->Initialize(&m_Observer, cached, defaultDevice));
  }
  std::string Sim(const std::string& command) {
    return m_pSim->Write(command + "\n") ? m_pSim->ReadLineContaining("ok") : "";
  }

  tracetest::TraceCapture m_Capture{
      "[Log]\nLevel = info\n[Mode]\nShowWindow = true\n[timeouts]\nDISCOVERY_TIMEOUT = 600000\n"
      "NUM_TIMES_NO_DETECT = 2\nBT_NUM_FALSE_DETECTS = 2\n"};
  Observer m_Observer;
  std::unique_ptr<testenv::ChildProcess> m_pSim;
  std::unique_ptr<CBluetoothMgr> m_pMgr;  // goes first, with its thread
};

TEST(CBluetoothMgr, AFriendlyNameOfEitherFormGivesTheSerialAndTheRecordAnyOtherNone) {
  const std::pair<const char*, const char*> vcis[] = {
      {"VTX5-00345678:2.1.7:R0", "00345678 a/5/02010700/1/0"},
      {"VTX5-00345678:2.1.7:R1", "00345678 a/5/02010700/2/0"},
      {"My VTX3_42:10.0.255:R2x", "42 a/3/0a00ff00/1/0"},
      {"ABCD-00345678-0A:1B:2C", "00345678 a/4/00280000/1/0"},
  };
  const char* const others[] = {
      "VTX5-00345678",          "VTX5-00345678:2.1.7",     "VTX5-00345678:2.1:R0",   "VTX5-00345678:2.1.7:0",
      "VTXa-00345678:2.1.7:R0", "VTX5",                    "ABCD-00345678-0A:1B:2",  "ABCD-00345678-0A:1B:2CD",
      "ABC-D00345678-0A:1B:2C", "ABCD-1234567-80A:1B:2C",  "ABCD-00345678-0A1:B:2C", "Headset", "",
  };
  auto parse = [](const std::string& name) {
    std::string serial = "stale";
    BtVciInfo info;
    info.BDADDR = "a";
    info.misses = 3;
    return CBluetoothMgr::ParseFriendlyName(name, serial, info) ? serial + " " + Record(info)
                                                                : serial + "/" + std::to_string(info.misses);
  };
  for (const auto& row : vcis) EXPECT_EQ(row.second, parse(row.first)) << row.first;
  for (const char* name : others) EXPECT_EQ("/0", parse(name)) << name;
}

// A stop that cuts a name query short judges nothing from it: on the
// scripted stack, whose first name request never ends, the device is neither
// filed nor asked again.
TEST(CBluetoothMgr, AStopDuringANameQueryJudgesNothing) {
  tracetest::TraceCapture capture("[timeouts]\nDISCOVERY_TIMEOUT = 600000\nBT_NUM_FALSE_DETECTS = 2\n");
  FakeBtSetScenario("name-hang");
  CBluetoothMgr mgr(VCI_FAKE_STACK_DIR "/libTosBtApi.so");
  ASSERT_EQ(0, mgr.Initialize(nullptr, BtVciInfoMap(), 0));
  FakeBtWaitFor("BtDiscoverRemoteName 00:11:22:33:44:55");
  EXPECT_EQ(0, mgr.Uninitialize());
  const std::string calls = FakeBtCalls();
  const std::regex query("BtDiscoverRemoteName");
  EXPECT_EQ(1, std::distance(std::sregex_iterator(calls.begin(), calls.end(), query), std::sregex_iterator())) << calls;
  EXPECT_NE(0, access(capture.Dir().File("non-vci-bt.txt").c_str(), F_OK));
}

// A VCI is reported after every scan until it has been missed
// NUM_TIMES_NO_DETECT times. Other devices are asked for their names once
// and written to non-vci-bt.txt, which the next run reads; a device whose
// name cannot be read, or stays empty, stays unjudged and is asked again. The
// next run also knows the VCI from the engine's cached map.
TEST_F(BluetoothMgrTest, VcisAreReportedUntilMissedOtherDevicesAreJudgedOnceAcrossRunsAndTheDefaultVciEndsDiscovery) {
  Run(json::object());
  const std::string vci = "00345678/" + kVci + "/5/02010700/1/";
  ASSERT_TRUE(m_Observer.Until("map: " + vci + "0", 2));
  const std::vector<std::string> devices = {kHeadset, kQuiet, kBroken, kVci};
  EXPECT_EQ("1421", m_Observer.Logged(devices, "New Device: ", " Retrieving friendly name"))
      << "the broken one once per scan, the empty one BT_NUM_FALSE_DETECTS times per scan";

  ASSERT_EQ("ok", Sim("device {\"address\": \"" + kVci + "\", \"in_range\": false}"));
  ASSERT_TRUE(m_Observer.Until("map: " + vci + "1"));
  ASSERT_TRUE(m_Observer.Until("map:"));
  EXPECT_EQ("11", m_Observer.Logged({"VCI SN 00345678 Num Times not detected = 2", "Erasing 00345678 from Map"}));
  EXPECT_EQ(0, m_pMgr->Uninitialize());

  CIniFile file;
  ASSERT_TRUE(file.Load(m_Capture.Dir().File("non-vci-bt.txt")));
  std::string entries;
  for (const char* key : {"NumDevices", "bt_dev_1", "bt_FN_1", "bt_TS_1", "bt_dev_2", "bt_FN_2", "bt_TS_2"})
    entries += file.GetString((std::string("Non_VCI_BT_Devices:") + key).c_str(), "-") + "|";
  const std::string ctime = "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 123][0-9] [0-9:]{8} [0-9]{4}\\|";
  EXPECT_TRUE(
      std::regex_match(entries, std::regex("1\\|" + kHeadset + "\\|Headset\\|" + ctime + "-\\|-\\|-\\|")))
      << entries;

  m_Observer.Add("");
  ASSERT_EQ("ok", Sim("device {\"address\": \"" + kVci + "\", \"in_range\": true}"));
  Run(json::object(), {{"00345678", {kVci, 0, 0, 0, {}, 0}}});
  ASSERT_TRUE(m_Observer.Until("map: " + vci + "0", 2));
  EXPECT_EQ("0421", m_Observer.Logged(devices, "New Device: ", " Retrieving friendly name"));

  // The default VCI ends the thread, which counts as running until
  // StopDiscovery.
  EXPECT_EQ(0, m_pMgr->StopDiscovery());
  m_Observer.Add("");
  m_pMgr->SetDefaultVCI(345678);
  EXPECT_EQ(0, m_pMgr->StartDiscovery());
  ASSERT_TRUE(m_Observer.Until("map"));
  EXPECT_EQ(std::vector<int32_t>(3, 0),
            std::vector<int32_t>({m_pMgr->StartDiscovery(), m_pMgr->StopDiscovery(), m_pMgr->StartDiscovery()}));
  ASSERT_TRUE(m_Observer.Until("map", 2));
  EXPECT_EQ("2020", m_Observer.Logged({"Default VCI detected SN = 00345678", "Number of BT Scans = 2",
                                       "Discovery Started", "New VCI detected SN = 00345678"}));
}

// The 21st failed scan in a row is reported; the first successful scan
// after failures switches the network connection on and starts from an
// empty map.
TEST_F(BluetoothMgrTest, FailedScansAreReportedAtTheLimitAndTheFirstScanAfterThemResetsTheNetwork) {
  Run({{"faults", {"discovery-error"}}});
  ASSERT_TRUE(m_Observer.Until("error 4096"));
  ASSERT_EQ("ok", Sim("world {\"faults\": []}"));
  ASSERT_TRUE(m_Observer.Until("map"));
  EXPECT_EQ("1101",
            m_Observer.Logged({"Number of BT Scan Consecutive ERRORS = 20", "Notifying Upper",
                               "Number of BT Scan Consecutive ERRORS = 21", "First attempt at discovery after error"}));
  EXPECT_EQ("Bluetooth Personal on;", g_Switched);
}

}  // namespace
