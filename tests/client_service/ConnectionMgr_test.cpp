// The connection manager in process, in a private network namespace, driven
// over TCP as client applications drive it.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <future>
#include <tuple>

#include "client_service/ClientApp.h"
#include "client_service/RegisteredClient.h"
#include "platform/VersionInfo.h"
#include "records/BluetoothReq.h"
#include "records/IdentDisconnect.h"
#include "records/LogFile.h"
#include "tools/SimProcess.h"

using namespace apptest;

namespace {

::testing::Environment* const g_Namespace =
    ::testing::AddGlobalTestEnvironment(new testenv::NetNamespaceEnvironment);

std::atomic<int> g_ShownAs{-1};
void RecordShow(bool show) { g_ShownAs = show ? 1 : 0; }

int32_t Unregister(uint32_t sessionId) {
  CIdentDisconnect_Recv reply(99);
  Parse(Ask(FrameOf(CIdentDisconnect_Send(sessionId))), reply);
  return reply.GetResult();
}

TEST(ConnectionMgrVersion, VersionNumberAndBuildDateComeFromTheResourceStrings) {
  const struct {
    const char *version, *date;
    uint32_t number, built;
  } rows[] = {
      {"1.0.0", "2026dec06", 0x010000, (2026u << 24) + (12u << 16) + (6u << 8)},
      {"5, 1, 2, 10", "2025jan31", 0x0501020A, (2025u << 24) + (1u << 16) + (31u << 8)},
      {"2.b x", "2026Dec06", 0x020B00, (2026u << 24) + (6u << 8)},
      {"", "26dec6", 0, CClientConnectionMgr::UNKNOWN_BUILD_DATE},
  };
  for (const auto& row : rows) {
    platform::VersionResource resource = platform::BuildVersionResource();
    for (auto& s : resource.strings) {
      if (s.first == "ProductVersion") s.second = row.version;
      if (s.first == "CompileDate") s.second = row.date;
    }
    platform::SetVersionResource(&resource);
    uint32_t number = 1, built = 1;
    const bool read = CClientConnectionMgr::ReadVersionResource(number, built);
    EXPECT_EQ(std::make_tuple(read, number, built), std::make_tuple(true, row.number, row.built)) << row.version;
  }
  platform::SetNoVersionResource();
  uint32_t number = 1, built = 1;
  const bool read = CClientConnectionMgr::ReadVersionResource(number, built);
  EXPECT_EQ(std::make_tuple(read, number, built), std::make_tuple(false, 0u, 0u));
  platform::SetVersionResource(nullptr);
}

class RegistrationTest : public ManagerTest {
  // Registration forces INFO over this, and the last client's going puts it back.
  std::string Ini() override { return "[Log]\nLevel=error\n[Mode]\nShowWindow=true\n"; }
};

TEST_F(RegistrationTest, RepliesCarryTheServiceAndItsTablesIdsCountFrom0x4D2AndTheLastToGoRestoresTheTrace) {
  testenv::SimProcess sim({"--serial", "4711", "--module-state", "2", "--interval", "50"});
  ASSERT_TRUE(sim.Ready());
  ASSERT_TRUE(WaitUntil([&] { return Listed() == 1; }));
  CClientConnectionMgr::SetShowWindowHook(&RecordShow);

  // No event port: no client, no id used up; the reply still carries all.
  CIdentConnect_Recv failed;
  ASSERT_TRUE(Parse(Ask(FrameOf(CIdentConnect_Send(UnusedPort(), "nobody"))), failed));
  EXPECT_EQ(failed.GetResult(), CClientSocket::CS_ERR_CONNECT_ATTEMPTS);
  EXPECT_EQ(failed.m_uiSessionId, 0x4D2u);

  App a, b;
  auto t0 = Clock::now();
  CIdentConnect_Recv first = a.Register("A");
  EXPECT_GE(MsSince(t0), 2000);
  t0 = Clock::now();
  CIdentConnect_Recv second = b.Register("B");
  EXPECT_LT(MsSince(t0), 2000);
  uint32_t number, built;
  CClientConnectionMgr::ReadVersionResource(number, built);
  EXPECT_LT(failed.m_uiInstanceToken, 32768u);
  for (const CIdentConnect_Recv* r : {&failed, &first, &second})
    EXPECT_EQ(std::make_tuple(r->m_uiVersionNumber, r->m_uiBuildDate, r->m_uiInstanceToken, r->m_strProductName,
                              r->m_VCIStatusMap.m_Map.count(4711), r->m_BindMap.GetLocalAddr("127.0.0.2")),
              std::make_tuple(number, built, failed.m_uiInstanceToken, std::string("Identification Service"),
                              size_t{1}, std::string("127.0.0.1")));
  EXPECT_EQ(std::make_tuple(first.GetResult(), first.m_uiSessionId, second.GetResult(), second.m_uiSessionId),
            std::make_tuple(0, 0x4D2u, 0, 0x4D3u));
  EXPECT_EQ(CIdentConfig::GetInstance().GetTraceLevel(), TRACE_INFO);

  EXPECT_EQ(Unregister(0x4D4), -1);
  EXPECT_EQ(Unregister(0x4D2), 0);
  ASSERT_TRUE(WaitLogged("CClientConnectionMgr::Run A disconnected. Clients remaining = 1"));
  // A changed ident.ini is taken in when the last client has gone, also
  // when a reload was asked for meanwhile; without clients, a reload reads
  // it at once.
  tracetest::WriteIni(m_Trace->Dir().File("ident.ini"), "[Log]\nLevel=warn\n[Mode]\nShowWindow=false\n");
  mgr->Reload();
  EXPECT_TRUE(Logged("CClientConnectionMgr::Reload ident.ini is read again when the last of 1 registered applications "
                     "has gone"));
  EXPECT_EQ(CIdentConfig::GetInstance().GetTraceLevel(), TRACE_INFO);
  EXPECT_EQ(Unregister(0x4D3), 0);
  ASSERT_TRUE(WaitLogged("CClientConnectionMgr::Run B disconnected. Clients remaining = 0"));
  ASSERT_TRUE(WaitUntil([] { return g_ShownAs == 0; }));
  EXPECT_EQ(CIdentConfig::GetInstance().GetTraceLevel(), TRACE_WARN);
  tracetest::WriteIni(m_Trace->Dir().File("ident.ini"), "[Log]\nLevel=info\n[Mode]\nShowWindow=true\n");
  mgr->Reload();
  EXPECT_EQ(std::make_tuple(CIdentConfig::GetInstance().GetTraceLevel(), g_ShownAs.load()), std::make_tuple(0, 1));
  EXPECT_TRUE(Logged("CClientConnectionMgr::Reload ident.ini read again: trace level INFO, window on, trace file off"));
  EXPECT_FALSE(Logged("CClientConnectionMgr::Run Event = 2 SessionId = 1236"));
  CClientConnectionMgr::SetShowWindowHook(nullptr);
}

// A name beyond 256 bytes, and a registration beyond the caps (in all, from
// one address), fail as a registration fails: result -1, no client kept, no
// id used up; one line tells of each kind.
TEST_F(RegistrationTest, NamesAndRegistrationsBeyondTheirCapsAreRefusedAsFailedRegistrations) {
  mgr->SetRegistrationLimits({3, 2});
  const struct {
    size_t name;
    const char* from;
    int32_t result;
    uint32_t id;
  } rows[] = {{256, "127.0.0.1", 0, 0x4D2}, {257, "127.0.0.1", -1, 0x4D3}, {1, "127.0.0.1", 0, 0x4D3},
              {1, "127.0.0.1", -1, 0x4D4},  {1, "127.0.0.2", 0, 0x4D4},    {1, "127.0.0.2", -1, 0x4D5}};
  std::vector<std::unique_ptr<App>> apps;
  for (const auto& row : rows) {
    apps.emplace_back(new App(true, row.from));
    const CIdentConnect_Recv reply = apps.back()->Register(std::string(row.name, 'n'));
    EXPECT_EQ(std::make_tuple(reply.GetResult(), reply.m_uiSessionId), std::make_tuple(row.result, row.id))
        << row.name << " " << row.from;
  }
  EXPECT_FALSE(Logged("Number of connected clients = 4"));
  for (const char* refusal : {"refused: a client name of 257 bytes, at most 256 (0 more refused since the last line)",
                              "refused: 2 registrations, 2 of them from there, at most 3 and 2 (0 more refused"})
    EXPECT_EQ(Occurrences(refusal), 1) << refusal;
  EXPECT_FALSE(Logged("refused: 3 registrations"));
}

using EventTest = ManagerTest;

// A registration whose event port never completes the handshake (its
// listener's backlog is full) holds no other request: another application
// registers, and takes the first id, while it still connects; stopping the
// manager cuts that connect at once.
TEST_F(EventTest, AnEventPortThatNeverAnswersHoldsNoOtherRegistrationNorTheStop) {
  CClientSocket::Timeouts timeouts;
  timeouts.uiConnectWaitMs = 4 * kGuardMs;
  mgr->SetClientSocketTimeouts(timeouts);
  uint16_t port = 0;
  const int full = BoundSocket(&port);
  listen(full, 0);
  const int filler = ConnectTo("127.0.0.1", port);
  std::future<std::string> halfOpen =
      std::async(std::launch::async, [port] { return Ask(FrameOf(CIdentConnect_Send(port, "half-open"))); });
  ASSERT_TRUE(WaitLogged("CClientConnectionMgr::OnDataReceived Client connecting"));
  App app;
  EXPECT_EQ(std::make_tuple(app.Register("app").GetResult(), halfOpen.wait_for(std::chrono::seconds(0))),
            std::make_tuple(0, std::future_status::timeout));
  const auto t0 = Clock::now();
  mgr->Uninitialize();
  EXPECT_LT(MsSince(t0), kGuardMs);
  EXPECT_EQ(halfOpen.get(), "") << "no reply";
  close(filler);
  close(full);
}

TEST_F(EventTest, ChangesReachEveryClientInOrderAndAcknowledged) {
  App a, b;
  ASSERT_EQ(a.Register("A").GetResult() + b.Register("B").GetResult(), 0);
  testenv::SimProcess sim({"--serial", "4711", "--module-state", "2", "--interval", "50"});
  ASSERT_TRUE(sim.Ready());
  // A new VCI on a new binding: the table, then the bindings. Then an
  // interface monitor error and a Bluetooth error, each with an empty table.
  ASSERT_TRUE(WaitUntil([&] { return a.Events().size() >= 2 && b.Events().size() >= 2; }));
  mgr->OnIdentNotify(CConnMgrEvent::IF_ERROR_3, CConnMgrEvent::MASK_IF_ERROR_3);
  mgr->OnIdentNotify(CConnMgrEvent::BT_ERROR, 7);
  const std::vector<std::pair<uint32_t, size_t>> expected = {{0x8002, 1}, {0x8003, 0}, {0x8006, 0}, {7, 0}};
  ASSERT_TRUE(WaitUntil([&] { return a.Events().size() >= 4 && b.Events().size() >= 4; }));
  EXPECT_EQ(a.Events(), expected);
  EXPECT_EQ(b.Events(), expected);
  // Each acknowledgement is logged once it has come back, after the
  // application recorded the event.
  for (const char* line : {"Client Notified 1234", "Client Notified 1235"}) {
    const std::string text = std::string("CRegisteredClient::NotifyThread ") + line;
    EXPECT_TRUE(WaitUntil([&] { return Occurrences(text) >= 4; }));
    EXPECT_EQ(Occurrences(text), 4);
  }
}

TEST_F(EventTest, ClientsThatCloseOrNeverAcknowledgeGoWithoutHoldingUpTheOthers) {
  EXPECT_EQ(CRegisteredClient().GetEventTimeouts().uiReplyFloorMs, 10000u);
  // The first is notified first and waits for ever; the others still get
  // their events, the silent one with a time limit goes after the floor and
  // never closes its end: an orderly close would hold up everyone else.
  CClientSocket::Timeouts timeouts;
  timeouts.uiConnectPauseMs = 1;
  timeouts.uiReplyFloorMs = 300;
  timeouts.uiShutdownWaitMs = 4 * kGuardMs;
  mgr->SetClientSocketTimeouts(timeouts);
  App forever(false), silent(false, "127.0.0.1", App::NEVER), closing, acking;
  ASSERT_EQ(forever.Register("forever", 1).m_uiSessionId, 0x4D2u);
  ASSERT_EQ(silent.Register("silent").m_uiSessionId, 0x4D3u);
  ASSERT_EQ(closing.Register("closing").m_uiSessionId, 0x4D4u);
  ASSERT_EQ(acking.Register("acking").m_uiSessionId, 0x4D5u);

  closing.Close();
  ASSERT_TRUE(WaitLogged("CRegisteredClient::Run Client Connection Broken 1236"));
  ASSERT_TRUE(WaitLogged("CClientConnectionMgr::Run closing disconnected. Clients remaining = 3"));
  EXPECT_TRUE(closing.Events().empty());

  mgr->OnIdentNotify(CConnMgrEvent::VCI_STATUS, CConnMgrEvent::MASK_TABLE);
  ASSERT_TRUE(WaitUntil([&] { return acking.Events().size() == 1; }));
  ASSERT_TRUE(WaitLogged("CRegisteredClient::NotifyThread Client Connection Broken 1235"));
  ASSERT_TRUE(WaitLogged("CClientConnectionMgr::Run silent disconnected. Clients remaining = 2"));
  mgr->OnIdentNotify(CConnMgrEvent::IF_ERROR_3, CConnMgrEvent::MASK_IF_ERROR_3);
  ASSERT_TRUE(WaitUntil([&] { return acking.Events().size() == 2; }));
  ASSERT_TRUE(WaitUntil([&] { return forever.Events().size() == 1; }));
  // Kept until it unregisters; its endless wait does not hold up its removal.
  EXPECT_EQ(Unregister(0x4D2), 0);
  ASSERT_TRUE(WaitLogged("CClientConnectionMgr::Run forever disconnected. Clients remaining = 1"));
  ASSERT_TRUE(WaitLogged("CRegisteredClient::NotifyThread Leaving 1234"));
  EXPECT_FALSE(Logged("CRegisteredClient::NotifyThread Client Connection Broken 1234"));
}

// A storm of changes against a client that acknowledges slowly: the
// manager keeps one change report waiting, the slow client's queue one table
// and one bindings event (the newest) behind each other event, which stays
// where it is; the fast client keeps receiving. Unregistered, the slow
// client still gets what was queued for it.
TEST_F(EventTest, AStormOfChangesKeepsEveryQueueBoundedAndInOrder) {
  CClientSocket::Timeouts timeouts;
  timeouts.uiConnectPauseMs = 1;
  timeouts.uiReplyFloorMs = 4 * kGuardMs;
  mgr->SetClientSocketTimeouts(timeouts);
  App slow, fast;
  ASSERT_EQ(slow.Register("slow").GetResult() + fast.Register("fast").GetResult(), 0);
  slow.Hold(true);
  mgr->OnIdentNotify(CConnMgrEvent::VCI_STATUS, CConnMgrEvent::MASK_TABLE);
  ASSERT_TRUE(WaitUntil([&] { return slow.Events().size() == 1; }));
  const std::pair<uint32_t, uint32_t> errors[] = {{CConnMgrEvent::IF_ERROR_3, CConnMgrEvent::MASK_IF_ERROR_3},
                                                  {CConnMgrEvent::BT_ERROR, 7}};
  for (const auto& error : errors) {
    for (int i = 0; i < 5000; ++i)
      mgr->OnIdentNotify(CConnMgrEvent::VCI_STATUS, CConnMgrEvent::MASK_TABLE | CConnMgrEvent::MASK_BINDINGS);
    mgr->OnIdentNotify(error.first, error.second);
  }
  ASSERT_TRUE(WaitUntil([&] { return !fast.Events().empty() && fast.Events().back().first == 7; }));
  EXPECT_LT(fast.Events().size(), 2u * 5000);
  EXPECT_EQ(Unregister(0x4D2), 0);
  ASSERT_TRUE(WaitLogged("CClientConnectionMgr::Run slow disconnected. Clients remaining = 1"));
  slow.Hold(false);
  ASSERT_TRUE(WaitUntil([&] { return !slow.Events().empty() && slow.Events().back().first == 7; }));
  const std::vector<std::pair<uint32_t, size_t>> expected = {{0x8002, 0}, {0x8002, 0}, {0x8003, 0}, {0x8006, 0},
                                                             {0x8002, 0}, {0x8003, 0}, {7, 0}};
  EXPECT_EQ(slow.Events(), expected);
}

// A VCI table longer than an application takes leaves its largest records
// out of the registration's reply and of the events, with a line.
TEST_F(EventTest, ATableLongerThanAnApplicationTakesLeavesOutItsLargestRecords) {
  testenv::SimProcess small({"--serial", "4711", "--module-state", "2", "--interval", "50", "--address", "127.0.0.2"});
  testenv::SimProcess large({"--serial", "4712", "--module-state", "2", "--interval", "50", "--address", "127.0.0.3",
                             "--session", "3:1:" + std::string(1000, 'b') + ":tester"});
  ASSERT_TRUE(small.Ready() && large.Ready());
  ASSERT_TRUE(WaitUntil([&] { return Listed() == 2; }));
  App whole, fitted;
  const std::string frame = Ask(FrameOf(CIdentConnect_Send(whole.Port(), "whole")));
  // The event, without the bindings and the service's fields, is shorter.
  mgr->SetTableFrameLimit(static_cast<uint32_t>(frame.size()) - 200);
  const CIdentConnect_Recv reply = fitted.Register("fitted");
  mgr->OnIdentNotify(CConnMgrEvent::VCI_STATUS, CConnMgrEvent::MASK_TABLE);
  ASSERT_TRUE(WaitUntil([&] { return fitted.Events().size() == 1; }));
  EXPECT_EQ(std::make_tuple(reply.GetResult(), reply.m_VCIStatusMap.m_Map.count(4711),
                            reply.m_VCIStatusMap.m_Map.count(4712), fitted.Events()[0].second),
            std::make_tuple(0, size_t{1}, size_t{0}, size_t{1}));
  for (const char* where : {"OnDataReceived", "Run"})
    EXPECT_TRUE(Logged(std::string("CClientConnectionMgr::") + where + " VCI table of more than " +
                       std::to_string(frame.size() - 200) + " bytes: 1 VCIs with the largest records left out"));
}

// A client whose event connection closes at once is removed, also when its
// close was seen before the client was listed; and one whose connection
// breaks while the manager is stopped (the Bluetooth stack's stop and
// start), once it runs again.
TEST_F(EventTest, AClientWhoseConnectionClosesWhenNobodyCouldRemoveItIsRemovedAfterwards) {
  std::vector<std::unique_ptr<App>> apps;
  for (int i = 0; i < 20; ++i) {
    apps.emplace_back(new App(true, "127.0.0.1", App::AT_ONCE));
    ASSERT_EQ(apps.back()->Register("gone").GetResult(), 0);
  }
  EXPECT_TRUE(WaitUntil([&] { return Occurrences("CClientConnectionMgr::Run gone disconnected") == 20; }));

  App app;
  ASSERT_EQ(app.Register("app").GetResult(), 0);
  mgr->Uninitialize();
  app.Close();
  ASSERT_TRUE(WaitLogged("CRegisteredClient::Run Client Connection Broken 1254"));
  ASSERT_EQ(mgr->Initialize(), 0);
  EXPECT_TRUE(WaitLogged("CClientConnectionMgr::Run app disconnected. Clients remaining = 0"));
}

class RequestTest : public ManagerTest {
  std::string Ini() override {
    return "[Log]\nLevel=info\n[Mode]\nShowWindow=true\n[Network]\nControlAddress=127.0.0.1\n";
  }
};

TEST_F(RequestTest, RequestsAnswerAsDesignedAndABrokenOneEndsOnlyItsOwnConversation) {
  CBluetoothReq_Recv bt(0);
  ASSERT_TRUE(Parse(Ask(FrameOf(CBluetoothReq_Send(0x4D2, 4711, CBluetoothReq_Send::BT_SCAN))), bt));
  EXPECT_EQ(bt.GetResult(), -1);
  EXPECT_TRUE(Logged("Recd. BT Command but bluetooth not enabled"));
  EXPECT_FALSE(Logged("Time to execute BT Command"));

  // Every file of data_files, in name order; one that cannot be read comes
  // without a name, a store's leftover temporary not at all. No folder: an
  // empty list.
  const std::string folder = Home() + "/data_files";
  CLogFiles_Recv files;
  testenv::Shell("rm -rf " + folder);
  ASSERT_TRUE(Parse(Ask(FrameOf(CLogFile_Send())), files));
  EXPECT_TRUE(files.GetFiles().empty());
  // A file beyond what one reply frame holds is listed as unreadable; the
  // files after it still come.
  testenv::WriteFile(folder + "/b.bin", std::string("\0\1\2", 3));
  testenv::WriteFile(folder + "/a.txt", "");
  testenv::WriteFile(folder + "/big.bin", std::string(MAX_FRAME_LENGTH - 100, 'x'));
  testenv::WriteFile(folder + "/c.txt", "z");
  testenv::WriteFile(folder + "/valid-module_1.bin.abc123", "x");
  ASSERT_EQ(mkdir((folder + "/sub").c_str(), 0755), 0);
  const std::string frame = Ask(FrameOf(CLogFile_Send({"ignored"})));
  ASSERT_LE(frame.size(), MAX_FRAME_LENGTH);
  ASSERT_TRUE(Parse(frame, files));
  std::string listing;
  for (const auto& f : files.GetFiles())
    listing += "[" + f.first + " " + std::to_string(f.second.GetResult()) + " " +
               std::string(f.second.GetContents().begin(), f.second.GetContents().end()) + "]";
  static const char kListing[] = "[ -1 ][a.txt 0 ][b.bin 0 \0\1\2][c.txt 0 z]";
  EXPECT_EQ(listing, std::string(kListing, sizeof kListing - 1));
  EXPECT_TRUE(Logged("1 data files of 4194204 bytes do not fit in a reply of at most 4194304 bytes"));

  // Nothing for an unknown request but the empty frame.
  EXPECT_EQ(Ask(Frame({9999, 1})), Frame({}));
  EXPECT_EQ(Ask(Frame({2034})), Frame({}));
  EXPECT_EQ(Ask(Frame({}), "127.0.0.2"), "refused");

  // A request of 3 bytes: no reply; the server closes that connection and
  // goes on serving, on its address alone, without a replacement.
  int s = ConnectTo("127.0.0.1", CClientConnectionMgr::CONTROL_PORT);
  SendAll(s, std::string("\7\0\0\0\1\2\3", 7));
  EXPECT_EQ(ReadFor(s, kGuardMs), "");
  close(s);
  App app;
  EXPECT_EQ(app.Register("after").GetResult(), 0);
  EXPECT_EQ(Ask(Frame({}), "127.0.0.2"), "refused");
  EXPECT_TRUE(Logged("RecvFromRemote_7::bTerminate = 0"));
  EXPECT_FALSE(Logged("CClientConnectionMgr::OnErrorDetected"));
}

}  // namespace
