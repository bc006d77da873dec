// vci-ident-tool interfaces, in a network namespace of the test's own.
#include <signal.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include <nlohmann/json.hpp>

#include "ToolRun.h"
#include "common/TestEnv.h"
#include "common/ChildProcess.h"

namespace {

// A fresh namespace lists the loopback entry alone; --watch prints the list
// again once a VCI's USB adapter gets its address, and ends cleanly on
// SIGINT.
TEST(InterfacesCommand, ListsLoopbackAloneAndWatchPrintsTheNewUsbAdapter) {
  VCI_REQUIRE_NET_NAMESPACE();
  EXPECT_EQ(tooltest::Json("interfaces --json"), nlohmann::json::parse(R"({"interfaces": [{"address": "127.0.0.1",
      "mask": "255.0.0.0", "broadcast": "255.0.0.0", "hwAddr": "00:01:02:03:04:05", "kind": 8, "kindName": "Local",
      "name": ""}]})"));

  testenv::VethPair usb("vciUsbA", "vciUsbB");
  testenv::Sh("ip link set vciUsbA alias 'KIVO VCI USB RNDIS Device' && ip link set vciUsbA up && "
              "ip link set vciUsbB up");
  testenv::ChildProcess watch("vci-ident-tool", {"interfaces", "--watch", "--json"}, "\"interfaces\"");
  ASSERT_TRUE(watch.Ready());
  testenv::Sh("ip addr add 10.77.0.1/24 dev vciUsbA");
  nlohmann::json list = nlohmann::json::parse(watch.ReadLineContaining("\"10.77.0.1\""), nullptr, false);
  ASSERT_TRUE(list.is_object());
  // UTC in ISO 8601, as every JSON of the tools writes its times.
  EXPECT_TRUE(std::regex_match(list["time"].get<std::string>(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
  // In the list's order, by address as text.
  const nlohmann::json& ifs = list["interfaces"];
  ASSERT_GE(ifs.size(), 2u);
  tooltest::ExpectFields(ifs[ifs.size() - 2], {{"address", "10.77.0.1"}, {"kindName", "USB"}, {"name", "vciUsbA"}});
  EXPECT_EQ(ifs.back()["address"], "127.0.0.1");
  EXPECT_EQ(watch.Stop(SIGINT), 0);
}

}  // namespace
