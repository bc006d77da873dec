// vci-identd's host, run with a counting core: replacing a running instance,
// stopping in order, the Bluetooth-stack start mode, and what systemd sees.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "ToolRun.h"
#include "common/ServiceProcess.h"
#include "platform/StackNotification.h"
#include "platform/WinUser.h"

namespace {

typedef std::vector<std::string> Lines;

const std::string kService = std::string(VCI_BIN_DIR) + "/vci-identd-fakecore";
const Lines kStart = {"Stopping VCI Identification Service", "VCI Identification Service not found",
                      "Starting VCI Identification Service"};
const Lines kStop = {"WM_CLOSE", "FakeCore::Uninitialize", "FakeCore::DisconnectClients", "WM_DESTROY"};
const std::string kByDll = "VCI Identification Service started by DLL";
const std::string kByStack = "VCI Identification Service started by Bluetooth stack";

Lines Join(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(IdentService, ANewInstanceReplacesTheRunningOneWhichStopsInOrderAsOnSigterm) {
  testenv::ServiceHome home;
  testenv::ChildProcess first(kService, {});
  ASSERT_TRUE(first.WaitReady());
  testenv::ChildProcess second(kService, {});
  ASSERT_TRUE(second.WaitReady());
  EXPECT_EQ(first.Wait(), 0);
  EXPECT_EQ(second.Stop(SIGTERM), 0);
  EXPECT_EQ(home.Messages(first.Pid()), Join({kStart, {kByDll, "FakeCore::Initialize 0"}, kStop}));
  EXPECT_EQ(home.Messages(second.Pid()),
            Join({{"Stopping VCI Identification Service", "Signalling shutdown to existing instance",
                   "VCI Identification Service has stopped.", "Starting VCI Identification Service", kByDll,
                   "FakeCore::Initialize 0"},
                  kStop}));
}

TEST(IdentService, AnInstanceThatOutlivesWmCloseKeepsRunningAndTheNewOneGivesUp) {
  testenv::ServiceHome home;
  testenv::ChildProcess stuck(kService, {"--survive-close"});
  ASSERT_TRUE(stuck.WaitReady());
  testenv::ChildProcess second(kService, {});
  EXPECT_EQ(second.Wait(), 1);
  EXPECT_EQ(home.Messages(second.Pid()),
            Lines({"Stopping VCI Identification Service", "Signalling shutdown to existing instance",
                   "VCI Identification Service is still running. Panic!!!",
                   "Cannot start the VCI Identification Service"}));
  EXPECT_NE(FindWindow(platform::SERVICE_WINDOW_CLASS, nullptr), 0u);
  stuck.Stop(SIGKILL);  // it outlives SIGTERM's WM_CLOSE too
}

TEST(IdentService, StartedByTheStackTheCoreFollowsTheStackNotifications) {
  testenv::ServiceHome home;
  testenv::ChildProcess service(kService, {"-t"});
  ASSERT_TRUE(service.WaitReady());
  for (const char* code : {"7", "1", "7", "10", "7", "20", "99"})
    EXPECT_EQ(tooltest::Tool(std::string("notify-stack ") + code).status, 0) << code;
  EXPECT_EQ(service.Stop(SIGTERM), 0);
  EXPECT_EQ(tooltest::Tool("notify-stack 1").status, 1) << "no service runs";
  EXPECT_NE(service.ReadLineContaining("Bluetooth Message received 99"), "") << "shown on standard output";

  const std::string rfcomm = "Bluetooth Message TOSBTAPI_NS_ENABLE_RFCOMM", disable = "Bluetooth Message TOSBTAPI_NS_PRE_DISABLE";
  EXPECT_EQ(home.Messages(service.Pid()),
            Join({kStart,
                  {kByStack,
                   "Bluetooth Message received 7", rfcomm,
                   "Bluetooth Message received 1", "Bluetooth Message TOSBTAPI_NS_BTMNG_INIT_END", "FakeCore::Initialize 0",
                   "Bluetooth Message received 7", rfcomm, "FakeCore::Initialize -1", "Identification Initialization failed",
                   "Bluetooth Message received 10", disable, "FakeCore::Uninitialize",
                   "Bluetooth Message received 7", rfcomm, "FakeCore::Initialize 0",
                   "Bluetooth Message received 20", disable, "FakeCore::Uninitialize",
                   "Bluetooth Message received 99"},
                  kStop}));
}

TEST(IdentService, OnlyExactlyDashTIsTheStackModeAndAFailedStartStopsInOrder) {
  const struct {
    Lines args;
    bool coreFails;
    Lines expected;
  } rows[] = {
      {{" -t"}, false, Join({kStart, {kByStack}, kStop})},
      {{"-T"}, false, Join({kStart, {kByDll, "FakeCore::Initialize 0"}, kStop})},
      {{"-t", "x"}, false, Join({kStart, {kByDll, "FakeCore::Initialize 0"}, kStop})},
      {{}, true, Join({kStart, {kByDll, "FakeCore::Initialize -1", "Identification Initialization failed"}, kStop})},
  };
  for (const auto& row : rows) {
    testenv::ServiceHome home;
    if (row.coreFails) setenv("VCI_FAKE_CORE_FAILS", "1", 1);
    testenv::ChildProcess service(kService, row.args);
    unsetenv("VCI_FAKE_CORE_FAILS");
    if (!row.coreFails) {
      ASSERT_TRUE(service.WaitReady());
      service.Signal(SIGTERM);
    }
    EXPECT_EQ(service.Wait(), row.coreFails ? 1 : 0);
    EXPECT_EQ(home.Messages(service.Pid()), row.expected) << row.args.size();
    if (row.coreFails) {
      EXPECT_NE(service.ReadLineContaining("vci-identd: the service did not start"), "");
    }
  }
}

// The output list keeps the newest lines, as many as ident.ini says.
TEST(IdentService, TheOutputListKeepsTheNewestLinesOnly) {
  testenv::ServiceHome home;
  testenv::WriteFile(home.File("ident.ini"), "[Log]\nLevel = info\n[Mode]\nShowWindow = true\nOutputLines = 2\n");
  testenv::ChildProcess service(kService, {"-t"});
  ASSERT_TRUE(service.WaitReady());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(tooltest::Tool("notify-stack 99").status, 0);
  service.Signal(SIGHUP);
  EXPECT_NE(service.ReadLineContaining("FakeCore::Reload, 2 lines in the output list"), "");
  EXPECT_EQ(service.Stop(SIGTERM), 0);
}

// Under systemd (standard error is the journal stream) every line carries
// its priority, a finding in ident.ini is a warning, the window's lines are
// not written a second time, SIGHUP reloads instead of ending the service,
// and the service manager hears of each step.
TEST(IdentService, UnderSystemdLinesCarryTheirPriorityAndSighupReloads) {
  testenv::ServiceHome home;
  testenv::WriteFile(home.File("ident.ini"), "[Log]\nLevel = info\n[Mode]\nShowWindow = true\nFrobnicate = 1\n");
  testenv::ChildProcess service(kService, {}, "", {"JOURNAL_STREAM"});
  ASSERT_TRUE(service.WaitReady());
  service.Signal(SIGHUP);
  EXPECT_EQ(service.ReadNotify(), "RELOADING=1");
  EXPECT_EQ(service.ReadNotify(), "READY=1");
  EXPECT_EQ(service.Stop(SIGTERM), 0);
  EXPECT_EQ(service.ReadNotify(), "STOPPING=1");
  Lines lines;
  for (std::string l; !(l = service.ReadLine([](const std::string&) { return true; })).empty();) lines.push_back(l);
  const std::pair<std::string, std::string> expected[] = {
      {"<4>CIdentConfig::Load ", "ident.ini: [mode] frobnicate = 1: unknown key; ignored"},
      {"<6>", "FakeCore::Initialize 0"},
      {"<5>VCI Identification Service ", " started by DLL: a fake core; trace: journal from INFO"},
      {"<6>", "FakeCore::Reload"},
      {"<6>", "WM_CLOSE"},
      {"<5>VCI Identification Service ", " stopped, exit status 0"}};
  auto at = lines.begin();
  for (const auto& e : expected) {
    at = std::find_if(at, lines.end(), [&e](const std::string& l) {
      return l.find(e.first) == 0 && l.find(e.second) != std::string::npos;
    });
    EXPECT_NE(at, lines.end()) << e.first << "..." << e.second;
  }
  // The window's lines are not printed beside the journal's.
  for (const std::string& l : lines) EXPECT_TRUE(l.size() > 3 && l[0] == '<' && l[2] == '>') << l;
}

}  // namespace
