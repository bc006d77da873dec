// The stack binding against a scripted stack (fakestack/FakeStack.cpp, linked
// in, so the binding's load of it finds it loaded): the stack calls each
// operation makes, in order, its outcome and its log lines.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "bluetooth/BtApiSync.h"
#include "host/TraceCapture.h"
#include "platform/Shell.h"
#include "tools/ToolRun.h"

extern "C" {
void FakeBtSetScenario(const char* text);
void FakeBtWaitFor(const char* prefix);
void FakeBtRelease();
}
std::string FakeBtCalls();

namespace {

using tracetest::TraceCapture;

const std::string kStack = std::string(VCI_FAKE_STACK_DIR) + "/libTosBtApi.so";
const uint8_t kVci[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const uint8_t kOtherAddress[6] = {0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
const std::string kVciText = "00:11:22:33:44:55", kOther = "0a:0b:0c:0d:0e:0f";
const DWORD kNever = 600000;  // a limit that only a hang reaches

std::string Ini(bool skipPair = false, DWORD limit = kNever) {
  const std::string l = std::to_string(limit);
  return "[Log]\nLevel = info\n[Mode]\nShowWindow = true\nSkipPair = " + std::string(skipPair ? "true" : "false") +
         "\n[timeouts]\nDISCOVERY_TIMEOUT = " + l + "\nPAIR_TIMEOUT = " + l + "\nCHECK_CONNECT_TIMEOUT = " + l + "\n";
}

bool Logged(const std::string& line) {
  auto lines = TraceCapture::Messages();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

void Scenario(const std::string& text) {
  FakeBtSetScenario(text.c_str());
  TraceCapture::Clear();
}

std::string Bool(bool b) { return b ? "true" : "false"; }

class BtApiSyncTest : public ::testing::Test {
 protected:
  TraceCapture m_Capture{Ini()};
  CBtApiSync m_Bt{kStack.c_str()};
};

// Every blocking operation with the line it logs when no worker starts.
const std::pair<std::function<bool(CBtApiSync&)>, const char*> kOperations[] = {
    {[](CBtApiSync& bt) { return bt.DiscoverRemoteDevice(); }, "DiscoverRemoteDevice: Unable to start processing thread"},
    {[](CBtApiSync& bt) { std::string name; return bt.DiscoverRemoteName(kVci, name); },
     "DiscoverRemoteName: Unable to start processing thread"},
    {[](CBtApiSync& bt) { uint16_t c; int32_t status; return bt.CheckConnectState(kVci, c, status) || status != -1; },
     "CheckConnectState: Unable to start processing thread"},
    {[](CBtApiSync& bt) { return bt.Pair(kVci, "9062"); }, "Pair: Unable to start processing thread"},
    {[](CBtApiSync& bt) { return bt.Disconnect(65); }, "Disconnect: Unable to start processing thread"},
    {[](CBtApiSync& bt) { return bt.DisconnectAll(); }, "DisconnectAll: Unable to start processing thread"},
};

TEST(CBtApiSync, WithoutTheLibraryEveryOperationFailsAtOnceAndTheWrappersAnswerZero) {
  TraceCapture capture(Ini());
  CBtApiSync bt("libTosBtApiNowhere.so");
  EXPECT_FALSE(bt.IsInitialized());
  EXPECT_TRUE(Logged("Cannot Load the Toshiba Bluetooth DLL"));
  for (const auto& op : kOperations) EXPECT_TRUE(!op.first(bt) && Logged(op.second)) << op.second;
  int32_t status;
  uint16_t cid;
  uint8_t out[32];
  EXPECT_EQ(0, bt.BtOpenAPI(1, "x", &status) | bt.BtConnect(kVci, 1, 0, &cid, out, 1, &status, 1, 1, 0, 0, 0, 0));
}

// A failed stack call ends the worker without an error flag, so only the
// error notifications, a failed pairing and a missing link or channel fail.
TEST_F(BtApiSyncTest, EachOperationMakesItsStackCallsInOrderAndReadsTheirOutcome) {
  using Op = std::function<std::string()>;  // an operation's outcome as text
  auto discover = [&] {
    std::string s = Bool(m_Bt.DiscoverRemoteDevice());
    for (const std::string& a : m_Bt.GetDeviceList()) s += " " + a;
    return s;
  };
  auto name = [&](const uint8_t* address) {
    std::string n = "-";
    const bool ok = m_Bt.DiscoverRemoteName(address, n);
    return Bool(ok) + " " + n;
  };
  const Op vciName = [&] { return name(kVci); }, otherName = [&] { return name(kOtherAddress); };
  auto pair = [&] { return Bool(m_Bt.Pair(kVci, "1234")); };
  auto state = [&] {
    uint16_t cid = 0;
    int32_t status = -1;
    const bool ok = m_Bt.CheckConnectState(kVci, cid, status);
    return Bool(ok) + " " + std::to_string(cid) + " " + std::to_string(status);
  };
  const Op one = [&] { return Bool(m_Bt.Disconnect(65)); }, all = [&] { return Bool(m_Bt.DisconnectAll()); };
  const std::string both = " " + kVciText + " " + kOther;
  const std::string open = "BtOpenAPI\nBtGetRemoteDeviceList2\n", key = "BtDeleteLinkKey " + kVciText + "\n";
  const std::string connect =
      "BtSetAutoReplyPinCode " + kVciText + " 1234\nBtSetIOCapabilityResponse 0 0 4\nBtConnect " + kVciText + "\n";
  const std::string ended = connect + "BtClearAutoReplyPinCode\n";
  const std::string cids = "BtOpenAPI\nBtGetCIDList2\n";
  const struct {
    std::string scenario;  // "skip" (not the fake's) sets Mode:SkipPair
    Op op;
    std::string outcome;
    const char* line;
    std::string calls = "";  // compared when not empty
  } cases[] = {
      {"", discover, "true" + both, "TOSBTAPI_NM_DISCOVERDEVICE_END"},
      {"discover-error", discover, "false" + both, "TOSBTAPI_NM_DISCOVERDEVICE_ERROR"},
      {"discover-fail", discover, "true", "BtDiscoverRemoteDevice2: Status = -4"},
      {"open-fail", discover, "true", "Unable to open Bluetooth API: Status = -3"},
      {"", vciName, "true VCI-1", "TOSBTAPI_NM_DISCOVERNAME_FOUND"},
      {"", otherName, "true ", "TOSBTAPI_NM_DISCOVERNAME_END"},
      {"name-error", vciName, "false -", "TOSBTAPI_NM_DISCOVERNAME_ERROR"},
      {"name-fail", vciName, "true ", "BtDiscoverRemoteName: Status = -5"},
      {"", pair, "true", "PAIRing was successfully", open + ended + "BtDisconnect 65\nBtCloseAPI\n"},
      {"connect-error", pair, "false", "Error! BtConnect() = -7", open + ended + "BtCloseAPI\n"},
      {"connect-fail", pair, "true", "BtConnect", open + connect},
      {"skip paired", pair, "true", "Device already paired. Skip pairing", open},
      {"paired", pair, "true", "Device already paired. Deleting Link Key",
       open + key + ended + "BtDisconnect 65\nBtCloseAPI\n"},
      {"paired deletekey-fail", pair, "true", "BtDeleteLinkKey: lStatus = -8", open + key},
      {"skip other-paired", pair, "true", "EnableSPPAutoResponse(00:11:22:33:44:55)"},
      {"link cid", state, "true 65 0", "", "BtOpenAPI\nBtGetConnectedDeviceList2\nBtGetCIDList2\nBtCloseAPI\n"},
      {"link wrong-cid", state, "false 0 0", ""},
      {"link no-cid-list", state, "true 7 0", ""},  // no list: the link's handle
      {"other-link cid", state, "false 0 0", ""},
      {"two-cids", one, "true", "", cids + "BtDisconnect 65\nBtCloseAPI\n"},
      {"disconnect-fail", one, "true", "BtDisconnect: Status = -6", cids + "BtDisconnect 65\n"},
      {"two-cids", all, "true", "", cids + "BtDisconnect 65\nBtDisconnect 66\nBtCloseAPI\n"},
      {"two-cids disconnect-fail", all, "true", "BtDisconnect: Status = -6", cids + "BtDisconnect 65\nBtCloseAPI\n"},
  };
  for (const auto& c : cases) {
    m_Capture.Reconfigure(Ini(c.scenario.find("skip") == 0));
    Scenario(c.scenario);
    EXPECT_EQ(c.outcome, c.op()) << c.scenario;
    EXPECT_TRUE(!*c.line || Logged(c.line)) << c.scenario << ": " << c.line;
    EXPECT_TRUE(c.calls.empty() || c.calls == FakeBtCalls()) << c.scenario << ":\n" << FakeBtCalls();
  }
  EXPECT_FALSE(m_Bt.Pair(kVci, nullptr));
}

// One operation at a time; a running discovery ends when cancelled, at once
// when forced.
TEST_F(BtApiSyncTest, ARunningDiscoveryRefusesOtherOperationsAndEndsWhenCancelled) {
  for (bool force : {true, false}) {
    Scenario("discover-never");
    bool ok = false;
    std::thread discovery([&] { ok = m_Bt.DiscoverRemoteDevice(); });
    FakeBtWaitFor("BtDiscoverRemoteDevice2");
    for (const auto& op : kOperations) EXPECT_TRUE(!op.first(m_Bt) && Logged(op.second)) << op.second;
    EXPECT_TRUE(m_Bt.CancelDiscovery(force));
    discovery.join();
    EXPECT_TRUE(ok) << force;
    EXPECT_EQ(force, Logged("Forcing the cancelation of the discovery process"));
  }
  EXPECT_FALSE(m_Bt.CancelDiscovery(false)) << "nothing runs";
  EXPECT_TRUE(Logged("Cancel Discovery failed lStatus = -9"));
}

// A late worker is left behind with its own state; the next operations run,
// and the object's end waits until the stack lets the worker go, so every
// session opened was closed by then.
TEST_F(BtApiSyncTest, ALateWorkerIsAbandonedAndLaterOperationsRun) {
  Scenario("discover-never connect-block link cid");
  {
    CBtApiSync bt(kStack.c_str());
    m_Capture.Reconfigure(Ini(false, 50));
    EXPECT_FALSE(bt.DiscoverRemoteDevice());
    EXPECT_TRUE(Logged("BT:Timed out waiting for BT API 50"));
    EXPECT_FALSE(bt.Pair(kVci, "9062")) << "stuck in BtConnect";
    m_Capture.Reconfigure(Ini());
    std::string name;
    uint16_t cid = 0;
    int32_t status;
    EXPECT_TRUE(bt.DiscoverRemoteName(kVci, name) && bt.CheckConnectState(kVci, cid, status));
    EXPECT_EQ("VCI-1 65", name + " " + std::to_string(cid));
    FakeBtRelease();
  }
  std::istringstream calls(FakeBtCalls());
  std::map<std::string, int> count;
  for (std::string call; calls >> call;) ++count[call];
  EXPECT_EQ(4, count["BtOpenAPI"]);
  EXPECT_EQ(4, count["BtCloseAPI"]);
  EXPECT_EQ(1, count["BtConnect"]) << "the stuck call returned before the object went";
}

// The companion program starts from the stack's folder with the parameters
// split at blanks, and is nobody's zombie: this process has no child left.
// The first line a writer of the fifo gives within 60 s, without its ends
// of lines and leading blanks; empty when none came (a companion that did
// not start must fail the test, not hang it).
std::string LineFromFifo(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  std::string text;
  const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (char c; fd >= 0 && text.find('\n') == std::string::npos;) {
    const ssize_t n = read(fd, &c, 1);
    if (n == 1) {
      if (!text.empty() || (c != ' ' && c != '\n')) text += c;
      continue;
    }
    if (n == 0 && !text.empty()) break;  // the writer closed
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(guard - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 100))) < 0) break;
  }
  if (fd >= 0) close(fd);
  return text.substr(0, text.find('\n'));
}

TEST_F(BtApiSyncTest, PersonalAreaNetworkCommandsStartTheCompanionFromTheInstallPath) {
  testenv::ScratchDir stack;
  testenv::WriteFile(stack.File("TosBtPcs"), "#!/bin/sh\necho \"$PWD|$#|$*\" > fifo\n");
  ASSERT_EQ(0, chmod(stack.File("TosBtPcs").c_str(), 0755));
  ASSERT_EQ(0, mkfifo(stack.File("fifo").c_str(), 0600));
  const std::string registry = testenv::ReadFile(m_Capture.RegistryPath());
  testenv::WriteFile(m_Capture.RegistryPath(), registry + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\TOSHIBA\\BluetoothStack\\V1.0]\n"
                                                           "\"InstallPath\"=\"" + stack.Path() + "\"\n");
  const std::pair<std::function<int32_t()>, std::string> cases[] = {
      {[&] { return m_Bt.ConnectPAN(kVciText.c_str()); }, "2|00:11:22:33:44:55 /TARGET_GN"},
      {[&] { return m_Bt.ResetPAN(); }, "2|-00:00:00:00:00:00 /TARGET_GN"}};
  for (const auto& c : cases) {
    EXPECT_EQ(0, c.first());
    EXPECT_EQ(stack.Path() + "|" + c.second, LineFromFifo(stack.File("fifo")));
    EXPECT_TRUE(waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD) << "a child is left";
  }
  EXPECT_LE(reinterpret_cast<intptr_t>(ShellExecuteA(0, "open", stack.File("none").c_str(), "", "", 1)), 32);
  testenv::WriteFile(m_Capture.RegistryPath(), registry);
  EXPECT_EQ(-1, m_Bt.ConnectPAN(kVciText.c_str())) << "no install path";
  EXPECT_EQ(0, m_Bt.ResetPAN());
}

// The tool finds the stack through the loader's search path.
TEST(BtCommand, TheToolListsTheDevicesWithTheirNamesOrSaysThatTheLibraryIsMissing) {
  setenv("LD_LIBRARY_PATH", VCI_FAKE_STACK_DIR, 1);
  tooltest::Result r = tooltest::Tool("bt discover");
  EXPECT_EQ("0 " + kVciText + " VCI-1\n" + kOther + " \n", std::to_string(r.status) + " " + r.out) << r.err;
  setenv("LD_LIBRARY_PATH", "/nonexistent", 1);
  r = tooltest::Tool("bt discover");
  EXPECT_TRUE(r.status == 1 && r.err.find("libTosBtApi.so cannot be loaded") != std::string::npos) << r.err;
  unsetenv("LD_LIBRARY_PATH");
}

}  // namespace
