// vci-ident-tool interfaces, run in a network namespace of its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "common/TestEnv.h"

namespace {

const std::string kTool = std::string(VCI_BIN_DIR) + "/vci-ident-tool";

// Output and exit status of a shell script run under unshare.
std::string RunInNamespace(const std::string& script, int& status) {
  std::string unshare = geteuid() == 0 ? "unshare -n" : "unshare -rn";
  std::string cmd = unshare + " sh -c '" + script + "' 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while (p && (n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int rc = p ? pclose(p) : -1;
  status = rc == -1 ? -1 : WEXITSTATUS(rc);
  return out;
}

bool NamespacesAvailable() {
  int status;
  RunInNamespace("true", status);
  return status == 0;
}

TEST(InterfacesCommand, AFreshNamespaceListsTheLoopbackEntryAlone) {
  if (!NamespacesAvailable()) GTEST_SKIP() << "network namespaces are not available";
  int status;
  std::string out = RunInNamespace("ip link set lo up && " + kTool + " interfaces --json", status);
  ASSERT_EQ(0, status) << out;
  auto j = nlohmann::json::parse(out);
  ASSERT_EQ(1u, j["interfaces"].size());
  const auto& lo = j["interfaces"][0];
  EXPECT_EQ("127.0.0.1", lo["address"]);
  EXPECT_EQ("255.0.0.0", lo["mask"]);
  EXPECT_EQ("255.0.0.0", lo["broadcast"]);
  EXPECT_EQ("00:01:02:03:04:05", lo["hwAddr"]);
  EXPECT_EQ(8, lo["kind"]);
  EXPECT_EQ("", lo["name"]);
}

TEST(InterfacesCommand, WatchPrintsTheNewUsbAdapterWithinASecondAndEndsCleanlyOnSigint) {
  if (!NamespacesAvailable()) GTEST_SKIP() << "network namespaces are not available";
  int status;
  std::string out = RunInNamespace(
      "ip link set lo up; ip link add dev vciUsbA type veth peer name vciUsbB;"
      " ip link set vciUsbA alias \"KIVO VCI USB RNDIS Device\"; ip link set vciUsbA up; ip link set vciUsbB up;"
      " " + kTool + " interfaces --watch --json & pid=$!; sleep 0.4;"
      " ip addr add 10.77.0.1/24 dev vciUsbA; sleep 1; kill -INT $pid; wait $pid; echo exit=$?",
      status);
  ASSERT_EQ(0, status) << out;
  EXPECT_NE(std::string::npos, out.find("exit=0")) << out;
  bool seen = false;
  size_t pos = 0, end;
  while ((end = out.find('\n', pos)) != std::string::npos) {
    std::string line = out.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty() || line[0] != '{') continue;
    auto j = nlohmann::json::parse(line);
    EXPECT_TRUE(j.contains("time"));
    for (const auto& i : j["interfaces"])
      if (i["address"] == "10.77.0.1") {
        EXPECT_EQ("USB", i["kindName"]);
        EXPECT_EQ("vciUsbA", i["name"]);
        EXPECT_EQ("127.0.0.1", j["interfaces"].back()["address"]);
        seen = true;
      }
  }
  EXPECT_TRUE(seen) << out;
}

TEST(InterfacesCommand, UnknownArgumentsAreUsageErrors) {
  EXPECT_EQ(2, testenv::Shell(kTool + " interfaces --bogus 2>/dev/null"));
  EXPECT_EQ(0, testenv::Shell(kTool + " interfaces --help >/dev/null"));
}

}  // namespace
