// The client library and vci-ident against the real service and simulated
// VCIs: the registration and its first table, events, the service going
// away and coming back, the requests; vci-ident's exit codes; and the
// library's words for its values.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <thread>
#include <tuple>

#include <nlohmann/json.hpp>

#include "BuildVersion.h"
#include "ClientWorld.h"
#include "EventListener.h"
#include "RecordView.h"
#include "platform/StackNotification.h"
#include "platform/WinUser.h"
#include "records/IdentEvent.h"
#include "records/VCIStatus.h"
#include "transport/ClientSocket.h"

using namespace vciident;
using namespace clienttest;

namespace {

::testing::Environment* const g_Namespace =
    ::testing::AddGlobalTestEnvironment(new testenv::NetNamespaceEnvironment);

TEST(IdentClient, ConnectGivesTheServiceAnswerAndTheFirstTableInPlainValues) {
  ClientWorld world;
  testenv::ChildProcess* sim = world.StartSim({"--serial", "4711", "--address", "127.0.0.2", "--app", "Diagnosis=4.2.1",
                                               "--product-version", "5.1.2", "--module-type", "7", "--interval", "100"});
  ASSERT_NE(sim, nullptr);
  // A session text that is not UTF-8, as any host of the LAN may announce.
  ASSERT_TRUE(world.StartSim({"--serial", "4712", "--address", "127.0.0.3", "--interval", "100", "--session",
                              "3:1:bench \xA3:tester"}));
  ASSERT_TRUE(world.StartSim({"--serial", "4713", "--address", "127.0.0.4", "--format", "legacy",
                              "--product-version", "2.4.1", "--interval", "100"}));
  ASSERT_TRUE(world.StartService());
  Recorder recorder;
  // This application wants the trace file, which the looks of vci-ident
  // below leave on.
  ClientOptions options = QuickOptions(&recorder);
  options.persistLog = true;
  CIdentClient client(options);
  ServiceInfo service;
  ASSERT_EQ(client.Connect(&service), 0);
  EXPECT_EQ(std::make_tuple(service.productName, VersionText(service.versionNumber), service.sessionId),
            std::make_tuple(std::string("Identification Service"), std::string(VCI_PRODUCT_VERSION), 0x4D2u));
  EXPECT_TRUE(client.IsRegistered());
  EXPECT_NE(client.GetEventPort(), 0);
  // The VCIs are in the first table unless the service had not heard one of
  // them yet; then an event brings it.
  ASSERT_TRUE(client.GetTable().size() >= 3 || recorder.WaitFor("table 4711 4712 4713") >= 0);

  const VciInfo vci = Find(client, 4711);
  ASSERT_TRUE(vci.serial == 4711 && vci.addresses.size() == 1 && vci.applications.size() == 1);
  const VciSoftware& app = vci.applications[0];
  EXPECT_EQ(std::make_tuple(vci.kinds, vci.addresses[0].address, vci.moduleType, vci.productVersion, app.name,
                            app.version),
            std::make_tuple(KIND_ETHERNET, std::string("127.0.0.2"), 7u, std::string("5.1.2"), std::string("Diagnosis"),
                            std::string("4.2.1")));
  ASSERT_TRUE(client.GetBindings().size() >= 2 || recorder.WaitFor("bindings 127.0.0.2 127.0.0.3") >= 0);
  EXPECT_EQ(client.GetBindings()[0].localAddresses, std::vector<std::string>{"127.0.0.1"});

  // vci-ident list prints the same table, and show the one VCI; the byte
  // that is not UTF-8 shows as U+FFFD.
  auto textOf = [](const std::string& command) {
    auto vciIdent = VciIdent(command);
    std::string text;
    for (std::string line; !(line = vciIdent->ReadLineContaining("")).empty();) text += line + "\n";
    EXPECT_EQ(vciIdent->Wait(), 0) << command << "\n" << text;
    return text;
  };
  auto jsonOf = [&](const std::string& command) { return nlohmann::json::parse(textOf(command), nullptr, false); };
  const nlohmann::json listed = jsonOf("list --json");
  EXPECT_EQ(listed["service"]["productName"], "Identification Service");
  std::set<std::string> vcis;
  for (const nlohmann::json& v : listed["vcis"])
    vcis.insert(v["serial"].dump() + " " + v["addresses"][0]["address"].get<std::string>() + " " + v["kinds"].dump() +
                (v["sessions"].empty() ? "" : " " + v["sessions"][0]["text1"].get<std::string>()));
  EXPECT_EQ(vcis,
            std::set<std::string>({"4711 127.0.0.2 [\"Ethernet\"]", "4712 127.0.0.3 [\"Ethernet\"] bench \uFFFD",
                                   "4713 127.0.0.4 [\"Ethernet\"]"}));
  EXPECT_EQ(jsonOf("show 4712 --json")["sessions"][0]["text1"], "bench \uFFFD");
  EXPECT_EQ(listed["vcis"][0]["moduleTypeName"].dump() + listed["vcis"][0]["moduleStateName"].dump(),
            "\"Velomoto Powersports\"\"free\"");
  // States and types in words, the legacy VCI's version number dotted too.
  std::string rows = std::regex_replace(textOf("list"), std::regex("  +"), "|");
  EXPECT_NE(rows.find("4711|free|Velomoto Powersports|Ethernet 127.0.0.2|5.1.2|1|no\n"), std::string::npos) << rows;
  EXPECT_NE(rows.find("4713|free|KIVO VCI|Ethernet 127.0.0.4|2.4.1|0|no\n"), std::string::npos) << rows;
  // The three looks stated no wish for the trace file: it stayed on.
  const std::string trace = testenv::ReadFile(world.Home() + "/ident/ident_log.txt");
  size_t looks = 0;
  for (size_t at = 0; (at = trace.find("vci-ident connected", at)) != std::string::npos; ++at) ++looks;
  EXPECT_EQ(looks, 3u);

  // watch into a pipe: a line per VCI, then one per change.
  auto watch = VciIdent("watch");
  EXPECT_EQ(watch->ReadLineContaining("+ 4711"), "+ 4711 Ethernet 127.0.0.2; state free; type Velomoto Powersports; "
                                                  "version 5.1.2; applications Diagnosis 4.2.1; Bluetooth no");
  ASSERT_TRUE(sim->Write("state 1\n"));
  EXPECT_EQ(watch->ReadLineContaining("= 4711"), "= 4711 state in use");
  watch->Signal(SIGTERM);
  EXPECT_EQ(watch->Wait(), 0);

  EXPECT_EQ(client.Connect(), RESULT_ALREADY_REGISTERED);
  EXPECT_EQ(client.Disconnect(), 0);
  EXPECT_EQ(client.Disconnect(), RESULT_NOT_REGISTERED);
  EXPECT_TRUE(client.GetTable().empty());
}

// The service's count of registrations, as the last line of its trace file
// that states one has it (-1 before any; npos + 1 is 0).
int Registrations(const ClientWorld& world) {
  const std::string trace = testenv::ReadFile(world.Home() + "/ident/ident_log.txt");
  const size_t at = std::max(trace.rfind("connected clients = ") + 1, trace.rfind("Clients remaining = ") + 1);
  return at == 0 ? -1 : std::atoi(trace.c_str() + trace.find("= ", at) + 2);
}

// The library registers again with a reply wait below the 2 s after which a
// fresh service answers its first registration: the registrations that time
// out are carried out all the same, and are gone again when it is back.
TEST(IdentClient, TheServiceRestartedUnderTheLibraryIsToldAndEventsFlowAgainWithoutTheApplication) {
  ClientWorld world;
  ASSERT_TRUE(world.StartService());
  ASSERT_EQ(CIdentClient(QuickOptions(nullptr)).Connect(), 0) << "the service's first registration";
  Recorder recorder;
  ClientOptions options = QuickOptions(&recorder);
  options.replyWaitMs = 500;
  options.persistLog = true;  // the trace file tells the service's registrations
  CIdentClient client(options);
  ASSERT_EQ(client.Connect(), 0);
  EXPECT_EQ(world.StopService(), 0);
  ASSERT_GE(recorder.WaitFor("lost " + std::to_string(RESULT_EVENTS_CLOSED)), 0);
  EXPECT_FALSE(client.IsRegistered());
  EXPECT_EQ(client.BluetoothCommand(BT_SCAN, 0), RESULT_NOT_REGISTERED);

  ASSERT_TRUE(world.StartService());
  const int back = recorder.WaitFor("back ");
  ASSERT_GE(back, 0);
  EXPECT_EQ(recorder.WaitFor("table", back), back + 1) << "the new registration's table follows";
  const auto t0 = sockettest::Clock::now();
  while (Registrations(world) != 1 && sockettest::MsSince(t0) < sockettest::kGuardMs)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(Registrations(world), 1);
  ASSERT_TRUE(world.StartSim({"--serial", "4711", "--interval", "100"}));
  EXPECT_GT(recorder.WaitFor("table 4711"), back);
  EXPECT_TRUE(client.IsRegistered());
  EXPECT_EQ(client.Disconnect(), 0);
}

// Without a service the library answers with its own codes, a refusing
// control port at once, whatever the pauses of the connects made in the
// background (with the hour's pauses here, ctest's time limit ends a wait);
// a refusing control port starts the configured service program, which
// then answers the requests and runs on its own.
TEST(IdentClient, RequestsGiveTheLibraryCodeOrTheResultOfTheServiceThatARefusedConnectStarted) {
  ClientWorld world;
  ClientOptions options = QuickOptions(nullptr);
  options.connectPauseMs = 3600000;
  CIdentClient idle(options);
  EXPECT_EQ(idle.BluetoothCommand(BT_SCAN, 0), RESULT_NOT_REGISTERED);
  std::map<std::string, std::vector<uint8_t>> files;
  EXPECT_EQ(idle.FetchDataFiles(files), RESULT_REFUSED) << "no service yet";
  EXPECT_EQ(idle.Connect(), RESULT_REFUSED);
  EXPECT_EQ(idle.Query(nullptr, nullptr, nullptr), RESULT_REFUSED);
  options.serviceProgram = kBin + "/no-such-service";
  EXPECT_EQ(CIdentClient(options).Connect(), RESULT_START_FAILED);

  const std::string data = world.Home() + "/data_files/";
  testenv::WriteFile(data + "a.bin", std::string("\x01\x00\xff\x80", 4));
  testenv::WriteFile(data + "empty.txt", "");
  testenv::WriteFile(data + "notes.txt", "[4711]\nBDADDR = 00:11:22:33:44:55\n");
  options.serviceProgram = kBin + "/vci-identd";
  CIdentClient client(options);
  ASSERT_EQ(client.Connect(), 0);
  const struct {
    uint32_t command;
    int result;
  } rows[] = {{BT_CONNECT, -1}, {BT_CHECK_CONNECT_STATE, -1}, {0, RESULT_BAD_ARGUMENT}, {5, RESULT_BAD_ARGUMENT}};
  for (const auto& row : rows) EXPECT_EQ(client.BluetoothCommand(row.command, 4711), row.result) << row.command;

  uint32_t unreadable = 7;
  ASSERT_EQ(client.FetchDataFiles(files, &unreadable), 0);
  EXPECT_EQ(unreadable, 0u);
  const std::string notes = testenv::ReadFile(data + "notes.txt");
  const std::map<std::string, std::vector<uint8_t>> expected = {
      {"a.bin", {1, 0, 0xff, 0x80}}, {"empty.txt", {}}, {"notes.txt", std::vector<uint8_t>(notes.begin(), notes.end())}};
  EXPECT_EQ(files, expected);
  // The service's Bluetooth is off; vci-ident says so, and what a scan does.
  auto scan = VciIdent("bt scan");
  EXPECT_EQ(scan->ReadLineContaining("bt scan"), "bt scan drops every Bluetooth connection, of every application, "
                                                 "then scans anew");
  EXPECT_EQ(scan->ReadLineContaining("bt scan"), "bt scan: Bluetooth is disabled (code -1)");
  EXPECT_EQ(scan->Wait(), 1);
  EXPECT_EQ(client.Disconnect(), 0);
  // The service runs on its own; closing its window stops it in order.
  const HWND service = FindWindow(platform::SERVICE_WINDOW_CLASS, nullptr);
  ASSERT_NE(service, 0u);
  SendMessage(service, WM_CLOSE, 0, 0);
}

// The Bluetooth reply wait covers the service's connect as its ident.ini
// times it: the pairing attempts, the connect, the wait for the interface,
// and a margin.
TEST(IdentClient, TheBluetoothReplyWaitFollowsTheServiceTimeouts) {
  ClientWorld world;  // an installation without ident.ini timeouts
  EXPECT_EQ(CIdentClient().GetBluetoothReplyWaitMs(), 85000u);
  testenv::WriteFile(world.Home() + "/ident.ini", "[timeouts]\nPAIR_TIMEOUT = 30000\nNUM_PAIR_ATTEMPTS = 3\n");
  EXPECT_EQ(CIdentClient().GetBluetoothReplyWaitMs(), 135000u);
}

// vci-ident as an engineer runs it: a mistake or a failure is one line and
// nothing else (the sockets' own reports stay out of the command's output);
// rows not alone begin so.
TEST(VciIdentCommand, ExitCodesAndTheLineThatSaysWhy) {
  const struct {
    const char* command;
    int status;
    const char* first;
    bool alone;
  } rows[] = {
      {"", 2, "vci-ident: no command given (see vci-ident --help)", true},
      {"--help", 0, "NAME", false},
      {"watch --help", 0, "NAME", false},
      {"watch --json --lines", 2, "vci-ident: --json and --lines exclude each other (see vci-ident watch --help)", true},
      {"nope", 2, "vci-ident: unknown command 'nope' (see vci-ident --help)", true},
      {"--port x list", 2, "vci-ident: 'x' is not a port (see vci-ident --help)", true},
      {"list extra", 2, "vci-ident: no operands expected (see vci-ident list --help)", true},
      {"list --bogus", 2, "vci-ident: unknown option '--bogus' (see vci-ident list --help)", true},
      {"show x", 2, "vci-ident: 'x' is not a serial number (see vci-ident show --help)", true},
      {"bt fly 1", 2, "vci-ident: unknown Bluetooth command 'fly' (see vci-ident bt --help)", true},
      {"bt check 1 --hold", 2, "vci-ident: --hold goes with connect only (see vci-ident bt --help)", true},
      {"list", 1,
       "vci-ident: the service does not answer (its control port refuses the connection) [127.0.0.1:8098, code 9237]",
       true},
  };
  for (const auto& row : rows) {
    auto run = VciIdent(row.command);
    const std::string first = row.first;
    EXPECT_EQ(run->ReadLineContaining("").substr(0, first.size()), first) << row.command;
    EXPECT_EQ(row.alone ? run->ReadLineContaining("") : "", "") << row.command;
    EXPECT_EQ(run->Wait(), row.status) << row.command;
  }
}

TEST(IdentClientText, ValuesInWords) {
  // A build date as it travels: year, month and day from the high byte down.
  auto date = [](uint32_t year, uint32_t month, uint32_t day) { return (year << 24) + (month << 16) + (day << 8); };
  auto vci = [](uint32_t serial, const char* version, uint32_t kinds, bool bluetooth, bool legacy) {
    VciInfo v;
    std::tie(v.serial, v.productVersion, v.kinds, v.bluetooth, v.legacy) =
        std::make_tuple(serial, version, kinds, bluetooth, legacy);
    return v;
  };
  // What the service's -1 means, from the table held when asking: 4711 and
  // 815 known over Bluetooth, 900 on the LAN only; then 815 connected.
  const std::vector<VciInfo> seen = {vci(4711, "", 0, true, false), vci(815, "", 0, true, false),
                                     vci(900, "", KIND_ETHERNET, false, false)};
  const std::vector<VciInfo> connected = {vci(815, "", KIND_BLUETOOTH, true, false), vci(4711, "", 0, false, false)};
  const struct {
    std::string text, expected;
  } rows[] = {
      {VersionText(0x00010000), "1.0.0"}, {VersionText(0x0501020A), "5.1.2.10"}, {VersionText(0), "0"},
      {BuildDateText(date(2026, 12, 6), 2026), "2026-12-06"}, {BuildDateText(date(2025, 1, 31), 2026), "2025-01-31"},
      // Only the year's low byte travels: the nearest year with it.
      {BuildDateText(date(2026, 3, 1), 2154), "2026-03-01"}, {BuildDateText(date(2026, 3, 1), 2155), "2282-03-01"},
      {BuildDateText(date(2026, 3, 1), 1900), "2026-03-01"}, {BuildDateText(27071500, 2026), "unknown"},
      {KindsText(KIND_ETHERNET | KIND_USB | KIND_BLUETOOTH), "Ethernet+USB+Bluetooth"}, {KindsText(0), "none"},
      {ResultText(RESULT_REFUSED), "the service does not answer (its control port refuses the connection)"},
      {ResultText(9249), "connection to the service failed (socket error 9249)"},
      {ResultText(12345), "error 12345"},
      {EventErrorText(0x8005), "network interface monitor error 2"},
      {EventErrorText(20532), "Bluetooth error: pairing with the VCI failed"},
      {BluetoothResultText(BT_SCAN, 0), "scanning anew (every Bluetooth connection dropped)"},
      {BluetoothResultText(BT_CONNECT, 20532), "failed: pairing with the VCI failed"},
      {BluetoothResultText(BT_CHECK_CONNECT_STATE, -1),
       "not connected (or Bluetooth is disabled, or the VCI is not known to Bluetooth)"},
      {BluetoothResultText(BT_SCAN, -1, 0, seen), "Bluetooth is disabled"},
      {BluetoothResultText(BT_CONNECT, -1, 4711, {}),
       "Bluetooth is disabled, or no VCI has been found over Bluetooth yet (the service answers both alike)"},
      {BluetoothResultText(BT_CONNECT, -1, 900, seen), "no such VCI found over Bluetooth"},
      {BluetoothResultText(BT_CONNECT, -1, 4711, seen), "the connect failed"},
      {BluetoothResultText(BT_CONNECT, -1, 4711, connected), "another VCI is connected (815)"},
      {BluetoothResultText(BT_DISCONNECT, -1, 815, connected), "the connection belongs to another application"},
      {BluetoothResultText(BT_DISCONNECT, -1, 4711, seen),
       "not connected, or the connection belongs to another application"},
      {BluetoothResultText(BT_CHECK_CONNECT_STATE, -1, 4711, seen), "not connected"},
      {BluetoothResultText(BT_CONNECT, 20532, 4711, seen), "failed: pairing with the VCI failed"},
      {ModuleStateName(0) + ", " + ModuleStateName(1) + ", " + ModuleStateName(2) + ", " + ModuleStateName(9),
       "free, in use, recovery, 9"},
      {ModuleTypeName(1) + ", " + ModuleTypeName(7) + ", " + ModuleTypeName(0) + ", " + ModuleTypeName(16),
       "KIVO VCI, Velomoto Powersports, 0, 16"},
      // Every version dotted: the firmware word of a VCI known only over
      // Bluetooth, a legacy announcement's number (0: none), a VCI's text.
      {ProductVersionText(vci(4711, "33621760", 0, true, false)), "2.1.7"},
      {ProductVersionText(vci(815, "2621440", 0, true, false)), "0.40.0"},
      {ProductVersionText(vci(815, "132097", KIND_ETHERNET, false, true)), "2.4.1"},
      {ProductVersionText(vci(816, "0", KIND_USB, false, true)), ""},
      {ProductVersionText(vci(1000, "33621760", KIND_ETHERNET, true, false)), "33621760"},
      {ProductVersionText(vci(1000, "5.1.2", 0, true, false)), "5.1.2"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.text, row.expected);
}

// The event port takes a table event longer than the frames of any other
// conversation: a table of 4096 VCIs of 1.5 KB each, which the service sends.
TEST(IdentClientEvents, TheEventPortTakesTheTableEventsOfTheLargestTable) {
  struct Sink : IEventSink {
    void OnEventConnection() override {}
    void OnEvent(const CIdentEvent_Send& event) override { vcis = event.m_VCIStatusMap.Count(); }
    void OnEventConnectionClosed() override {}
    std::atomic<size_t> vcis{0};
  } sink;
  CEventListener events(sink);
  ASSERT_EQ(events.Start("127.0.0.1", 0), 0);
  CVCIStatusMap table;
  for (uint32_t serial = 1; serial <= 4096; ++serial) {
    table.FindOrAdd(serial).m_uiSerial = serial;
    table.FindOrAdd(serial).m_DeviceInfo.SetValue("Padding", std::string(1500, 'p'));
  }
  CIdentEvent_Send event(CIdentEvent_Send::EVENT_TABLE_CHANGED, 0, table);
  CArchiveBuffer frame(CArchiveBuffer::STORING), ack(CArchiveBuffer::LOADING);
  ASSERT_TRUE(event.Serialize(frame));
  ASSERT_GT(frame.GetDataLength(), MAX_FRAME_LENGTH);
  CClientSocket service(true);
  ASSERT_EQ(service.Initialize(nullptr, SOCKTYPE_TCP, "127.0.0.1", "127.0.0.1", events.GetPort(), false), 0);
  EXPECT_EQ(service.SendRecv_ArchiveBuffer(frame, ack, 0), 0);
  EXPECT_EQ(sink.vcis, 4096u);
}

TEST(IdentClientView, OnlyTheAddressesOfTheKindsHeardNowAreShown) {
  CVCIStatus status;
  status.m_uiKinds = VCI_KIND_ETHERNET | VCI_KIND_WIRELESS;
  status.m_Addresses = {{VCI_KIND_ETHERNET, "10.0.0.5"}, {VCI_KIND_USB, "169.254.1.2"}, {VCI_KIND_WIRELESS, "10.1.0.5"}};
  status.m_Wireless.SetValue("IFEnable", "True");
  status.m_Wireless.SetValue("signal-level", "-75");
  status.m_Wireless.SetValue("link-quality", "2");
  status.m_DeviceInfo.SetValue("ProductDate", "1F");
  const VciInfo vci = ViewOf(status);
  ASSERT_EQ(vci.addresses.size(), 2u);
  EXPECT_EQ(vci.addresses[0].address + " " + vci.addresses[1].address, "10.0.0.5 10.1.0.5");
  EXPECT_EQ(std::make_tuple(vci.wireless.reported, vci.wireless.enabled, vci.wireless.signalLevel,
                            vci.wireless.linkQuality, vci.productDate, vci.productVersion),
            std::make_tuple(true, true, -75, 2, std::string("1F"), std::string()));
  status.m_Wireless.SetValue("IFEnable", "False");
  EXPECT_FALSE(ViewOf(status).wireless.enabled);
  EXPECT_EQ(ViewOf(status).wireless.signalLevel, 0);
}

}  // namespace
