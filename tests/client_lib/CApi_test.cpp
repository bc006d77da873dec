// The C interface against the real service and simulated VCIs: in the
// application's loop (a descriptor to poll, callbacks on the caller's thread)
// and on the library's thread; the README's C program and the Python
// package's tests (vci_ident_test.py); the loop's bounded queue.
#include <gtest/gtest.h>
#include <poll.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "ClientWorld.h"
#include "DispatchQueue.h"
#include "vci-ident/vci_ident.h"

using namespace vciident;
using namespace clienttest;

namespace {

::testing::Environment* const g_Namespace =
    ::testing::AddGlobalTestEnvironment(new testenv::NetNamespaceEnvironment);

// What one client's table callbacks saw: the serial numbers of each table,
// and whether every call came on the test's thread.
struct Seen {
  const std::thread::id test = std::this_thread::get_id();
  bool allOnTestThread = true, noneOnTestThread = true;
  std::vector<std::string> tables;
  std::mutex lock;
  std::condition_variable cond;
  bool Saw(const std::string& serials) {
    std::unique_lock<std::mutex> hold(lock);
    return cond.wait_for(hold, std::chrono::milliseconds(sockettest::kGuardMs),
                         [&] { return !tables.empty() && tables.back() == serials; });
  }
};

void OnTable(vci_ident_client*, const vci_ident_table* table, void* userdata) {
  Seen& seen = *static_cast<Seen*>(userdata);
  std::string serials;
  for (size_t i = 0; i < vci_ident_table_count(table); ++i)
    serials += " " + std::to_string(vci_ident_vci_serial(vci_ident_table_at(table, i)));
  std::lock_guard<std::mutex> lock(seen.lock);
  const bool onTestThread = std::this_thread::get_id() == seen.test;
  seen.allOnTestThread = seen.allOnTestThread && onTestThread;
  seen.noneOnTestThread = seen.noneOnTestThread && !onTestThread;
  seen.tables.push_back(serials);
  seen.cond.notify_all();
}

void OnLost(vci_ident_client*, int reason, void* userdata) {
  static_cast<Seen*>(userdata)->tables.push_back("lost " + std::to_string(reason));
}

// Disconnects its client from inside the dispatch: the table of the new
// registration, which may wait already, must not come.
void OnBack(vci_ident_client* client, const vci_ident_service*, void* userdata) {
  static_cast<Seen*>(userdata)->tables.push_back("back " + std::to_string(vci_ident_disconnect(client)));
}

bool Readable(int fd, int ms) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

// A vci_ident_client that vci_ident_free ends.
std::unique_ptr<vci_ident_client, void (*)(vci_ident_client*)> NewClient(int runMode, Seen* seen) {
  vci_ident_options* options = vci_ident_options_new();
  EXPECT_EQ(vci_ident_options_set_run_mode(options, runMode), 0);
  EXPECT_EQ(vci_ident_options_on_table(options, OnTable, seen), 0);
  EXPECT_EQ(vci_ident_options_on_service_lost(options, OnLost, seen), 0);
  EXPECT_EQ(vci_ident_options_on_service_back(options, OnBack, seen), 0);
  EXPECT_EQ(vci_ident_options_set_connect_pause_ms(options, 1), 0);
  EXPECT_EQ(vci_ident_options_set_retry_ms(options, 20, 100), 0);
  vci_ident_client* client = nullptr;
  EXPECT_EQ(vci_ident_new(&client, options), 0);
  vci_ident_options_free(options);
  return {client, vci_ident_free};
}

// The service lists 4711 with its details, so that the next table change is
// the one a test makes.
void AwaitDetails(ClientWorld& world) {
  ASSERT_TRUE(world.StartSim({"--serial", "4711", "--address", "127.0.0.2", "--app", "Diagnosis=4.2.1",
                              "--product-version", "5.1.2", "--interval", "100"}));
  ASSERT_TRUE(world.StartService());
  Recorder recorder;
  CIdentClient client(QuickOptions(&recorder));
  ASSERT_EQ(client.Connect(), 0);
  for (int after = -1; Find(client, 4711).productVersion.empty();) ASSERT_GE(after = recorder.WaitFor("table 4711", after), 0);
  EXPECT_EQ(client.Disconnect(), 0);
}

TEST(IdentClientC, InTheLoopCallbacksRunOnTheCallersThreadOtherwiseOnTheLibrarysWithTheirUserdata) {
  ClientWorld world;
  AwaitDetails(world);
  Seen inLoop, onLibraryThread;
  auto loop = NewClient(VCI_IDENT_RUN_IN_LOOP, &inLoop);
  auto threaded = NewClient(VCI_IDENT_RUN_ON_LIBRARY_THREAD, &onLibraryThread);
  EXPECT_EQ(vci_ident_fd(threaded.get()), -1);
  EXPECT_EQ(vci_ident_dispatch(threaded.get()), RESULT_BAD_ARGUMENT);
  ASSERT_EQ(vci_ident_connect(loop.get()), 0);
  ASSERT_EQ(vci_ident_connect(threaded.get()), 0);
  EXPECT_EQ(vci_ident_connect(loop.get()), RESULT_ALREADY_REGISTERED);

  vci_ident_table* table = nullptr;
  ASSERT_EQ(vci_ident_get_table(loop.get(), &table), 0);
  const vci_ident_vci* vci = vci_ident_table_find(table, 4711);
  ASSERT_NE(vci, nullptr);
  EXPECT_EQ(std::make_tuple(std::string(vci_ident_vci_address(vci, 0)), vci_ident_vci_address_kind(vci, 0),
                            std::string(vci_ident_vci_product_version(vci)),
                            std::string(vci_ident_vci_software_name(vci, VCI_IDENT_APPLICATIONS, 0)),
                            std::string(vci_ident_vci_software_version(vci, VCI_IDENT_APPLICATIONS, 0)),
                            std::string(vci_ident_vci_address(vci, 1))),
            std::make_tuple(std::string("127.0.0.2"), 1u, std::string("5.1.2"), std::string("Diagnosis"),
                            std::string("4.2.1"), std::string()));
  vci_ident_table_free(table);

  // The README's program lists the table, then prints the change.
  auto program = std::make_unique<testenv::ChildProcess>(VCI_README_PROGRAM, std::vector<std::string>{});
  EXPECT_NE(program->ReadLineContaining("4711 Ethernet 127.0.0.2 version 5.1.2"), "");
  EXPECT_NE(program->ReadLineContaining("waiting for a change"), "");

  ASSERT_TRUE(world.StartSim({"--serial", "4712", "--address", "127.0.0.3", "--interval", "100"}));
  while (inLoop.tables.empty() || inLoop.tables.back() != " 4711 4712") {
    ASSERT_TRUE(Readable(vci_ident_fd(loop.get()), sockettest::kGuardMs));
    ASSERT_EQ(vci_ident_dispatch(loop.get()), 0);
  }
  EXPECT_TRUE(inLoop.allOnTestThread);
  EXPECT_NE(program->ReadLineContaining("4712 Ethernet 127.0.0.3"), "");
  EXPECT_EQ(program->Wait(), 0);

  EXPECT_TRUE(onLibraryThread.Saw(" 4711 4712"));
  EXPECT_EQ(vci_ident_disconnect(threaded.get()), 0);
  EXPECT_TRUE(onLibraryThread.noneOnTestThread);

  // The service goes and comes back; the loop hears both, and the callback
  // that disconnects leaves nothing due.
  ASSERT_EQ(world.StopService(), 0);
  ASSERT_TRUE(world.StartService());
  while (inLoop.tables.back().compare(0, 4, "back") != 0) {
    ASSERT_TRUE(Readable(vci_ident_fd(loop.get()), sockettest::kGuardMs)) << inLoop.tables.back();
    ASSERT_EQ(vci_ident_dispatch(loop.get()), 0);
  }
  EXPECT_EQ(inLoop.tables.back(), "back 0");
  EXPECT_EQ(inLoop.tables.at(inLoop.tables.size() - 2), "lost " + std::to_string(RESULT_EVENTS_CLOSED));
  EXPECT_FALSE(Readable(vci_ident_fd(loop.get()), 0));
  EXPECT_EQ(vci_ident_is_registered(loop.get()), 0);
}

// The requests and the words for the codes, as the C++ interface gives them.
TEST(IdentClientC, RequestsAndTextsAreTheLibrarysOwn) {
  ClientWorld world;
  testenv::WriteFile(world.Home() + "/data_files/a.bin", std::string("\x01\x00\xff", 3));
  ASSERT_TRUE(world.StartService());
  auto client = NewClient(VCI_IDENT_RUN_IN_LOOP, nullptr);
  ASSERT_EQ(vci_ident_connect(client.get()), 0);
  vci_ident_service* service = nullptr;
  ASSERT_EQ(vci_ident_get_service(client.get(), &service), 0);
  EXPECT_EQ(std::string(vci_ident_service_product_name(service)), "Identification Service");
  vci_ident_service_free(service);
  EXPECT_EQ(vci_ident_bluetooth_command(client.get(), VCI_IDENT_BT_CHECK_CONNECT_STATE, 4711), -1);
  EXPECT_EQ(vci_ident_bluetooth_command(client.get(), 5, 4711), RESULT_BAD_ARGUMENT);
  vci_ident_files* files = nullptr;
  ASSERT_EQ(vci_ident_fetch_data_files(client.get(), &files, nullptr), 0);
  ASSERT_EQ(vci_ident_files_count(files), 1u);
  EXPECT_EQ(std::string(vci_ident_files_name(files, 0)) + " " +
                std::string(reinterpret_cast<const char*>(vci_ident_files_data(files, 0)), vci_ident_files_size(files, 0)),
            std::string("a.bin \x01\x00\xff", 9));
  vci_ident_files_free(files);

  char text[VCI_IDENT_TEXT_MAX];
  const std::string refused = ResultText(RESULT_REFUSED);
  EXPECT_EQ(vci_ident_result_text(RESULT_REFUSED, text, 12), refused.size());
  EXPECT_EQ(text, refused.substr(0, 11)) << "cut to fit, terminated";
  EXPECT_EQ(vci_ident_result_text(RESULT_NO_RESOURCES, text, sizeof text), 24u);
  EXPECT_EQ(vci_ident_bluetooth_result_text(BT_SCAN, 0, text, sizeof text), BluetoothResultText(BT_SCAN, 0).size());
  EXPECT_EQ(text, BluetoothResultText(BT_SCAN, 0));
  EXPECT_LT(vci_ident_kinds_text(0xffffffffu, nullptr, 0), size_t{VCI_IDENT_TEXT_MAX}) << "the longest text fits";
}

// A loop that does not dispatch holds the newest table and bindings and at
// most kMaxWaitingNotices other calls; what it hears stays in order.
TEST(IdentClientC, TheLoopsQueueKeepsTheNewestStateInOrderAndBoundsTheRest) {
  typedef CDispatchQueue::Call Call;
  CDispatchQueue queue;
  ASSERT_EQ(queue.Open(), 0);
  auto push = [&](Call::Kind kind, uint32_t code) {
    Call call{kind};
    call.code = code;
    queue.Push(std::move(call));
  };
  auto popAll = [&] {
    std::string order;
    for (Call call; queue.Pop(call);) order += " " + std::to_string(call.kind) + ":" + std::to_string(call.code);
    return order;
  };
  EXPECT_FALSE(Readable(queue.Fd(), 0));
  push(Call::TABLE, 1), push(Call::ERROR, 2), push(Call::BINDINGS, 3), push(Call::TABLE, 4), push(Call::LOST, 5);
  push(Call::BINDINGS, 6);
  EXPECT_TRUE(Readable(queue.Fd(), 0));
  EXPECT_EQ(popAll(), " 2:2 0:4 3:5 1:6");
  EXPECT_FALSE(Readable(queue.Fd(), 0));

  push(Call::TABLE, 0);
  for (uint32_t code = 1; code <= CDispatchQueue::kMaxWaitingNotices + 2; ++code) push(Call::ERROR, code);
  Call call;
  ASSERT_TRUE(queue.Pop(call));
  EXPECT_EQ(call.kind, Call::TABLE);
  ASSERT_TRUE(queue.Pop(call));
  EXPECT_EQ(call.code, 3u) << "the oldest notices went";
  EXPECT_EQ(queue.Size(), CDispatchQueue::kMaxWaitingNotices - 1);
  queue.Clear();
  EXPECT_FALSE(Readable(queue.Fd(), 0));
}

// The package's unit tests (tests/client_lib/vci_ident_test.py) with the
// system's Python, against this world.
TEST(IdentClientPython, ThePackageListsWatchesAndSaysItsResults) {
#if VCI_SANITIZED
  GTEST_SKIP() << "the system's Python cannot load a sanitized library";
#endif
  ClientWorld world;
  testenv::WriteFile(world.Home() + "/data_files/notes.txt", "4711\n");
  AwaitDetails(world);
  const std::string log = world.Home() + "/python.log";
  testenv::ChildProcess python(
      "/bin/sh", {"-c", "exec /usr/bin/python3 -m unittest -v vci_ident_test >" + log + " 2>&1"}, "",
      {"VCI_IDENT_LIBRARY=" VCI_CLIENT_LIBRARY, "PYTHONPATH=" VCI_PYTHON_SOURCE ":" VCI_TEST_SOURCE,
       "PYTHONDONTWRITEBYTECODE=1", "VCI_README=" VCI_README_FILE, "VCI_BIN_DIR=" + kBin});
  EXPECT_EQ(python.Wait(), 0) << testenv::ReadFile(log);
}

}  // namespace
