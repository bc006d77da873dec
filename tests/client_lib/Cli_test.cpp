// vci-ident as an engineer runs it: its exit codes and one-line errors, and
// the JSON of list and watch against simulated VCIs.
#include <gtest/gtest.h>

#include <set>

#include <nlohmann/json.hpp>

#include "ClientWorld.h"

using nlohmann::json;
using namespace clienttest;

namespace {

::testing::Environment* const g_Namespace =
    ::testing::AddGlobalTestEnvironment(new testenv::NetNamespaceEnvironment);

// vci-ident with the words of command, its standard error on its standard
// output.
std::unique_ptr<testenv::ChildProcess> VciIdent(const std::string& command) {
  return std::unique_ptr<testenv::ChildProcess>(
      new testenv::ChildProcess("/bin/sh", {"-c", "exec " + kBin + "/vci-ident " + command + " 2>&1"}));
}

std::set<std::string> SerialsAndAddresses(const json& vcis) {
  std::set<std::string> out;
  for (const json& vci : vcis)
    out.insert(std::to_string(vci["serial"].get<int>()) + " " + vci["addresses"][0]["address"].get<std::string>() +
               " " + vci["kinds"].dump());
  return out;
}

TEST(VciIdentCommand, ExitCodesAndTheLineThatSaysWhy) {
  // A mistake or a failure is one line and nothing else (the sockets'
  // own reports stay out of the command's output); rows not alone begin so.
  const struct {
    const char* command;
    int status;
    const char* first;
    bool alone;
  } rows[] = {
      {"", 2, "usage: vci-ident [--service ADDR]", false},
      {"--help", 0, "usage: vci-ident [--service ADDR]", false},
      {"watch --help", 0, "usage: vci-ident watch [--json]", false},
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
    if (row.alone) {
      EXPECT_EQ(run->ReadLineContaining(""), "") << row.command;
    }
    EXPECT_EQ(run->Wait(), row.status) << row.command;
  }
}

TEST(VciIdentCommand, ListAndWatchPrintTheSimulatedVcisAsJson) {
  ClientWorld world;
  ASSERT_TRUE(world.StartSim({"--count", "3", "--interval", "100"}));
  ASSERT_TRUE(world.StartService());
  {
    // Once the service has heard all three.
    Recorder recorder;
    vciident::CIdentClient client(QuickOptions(&recorder));
    ASSERT_EQ(client.Connect(), 0);
    if (client.GetTable().size() < 3) {
    ASSERT_GE(recorder.WaitFor("table 1000 1001 1002"), 0);
  }
  }
  const std::set<std::string> three = {"1000 127.0.0.2 [\"Ethernet\"]", "1001 127.0.0.3 [\"Ethernet\"]",
                                       "1002 127.0.0.4 [\"Ethernet\"]"};
  auto list = VciIdent("list --json");
  std::string text;
  for (std::string line; !(line = list->ReadLineContaining("")).empty();) text += line + "\n";
  EXPECT_EQ(list->Wait(), 0);
  const json listed = json::parse(text);
  EXPECT_EQ(listed["service"]["productName"], "Identification Service");
  EXPECT_EQ(SerialsAndAddresses(listed["vcis"]), three);

  auto watch = VciIdent("watch --json");
  json first = json::parse(watch->ReadLineContaining("\"event\":\"table\""));
  EXPECT_EQ(SerialsAndAddresses(first["vcis"]), three);
  ASSERT_TRUE(world.StartSim({"--serial", "4711", "--address", "127.0.0.9", "--interval", "100"}));
  json next = json::parse(watch->ReadLineContaining("4711"));
  EXPECT_EQ(next["event"], "table");
  EXPECT_EQ(next["vcis"].size(), 4u);
  watch->Signal(SIGINT);
  EXPECT_EQ(watch->Wait(), 0);
}

}  // namespace
