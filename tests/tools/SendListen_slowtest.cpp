#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "common/TestEnv.h"
#include "common/SocketPeers.h"

namespace {

TEST(SendCommandSlow, SilentPeerEndsWith9251AfterTenSeconds) {
  testenv::ScratchDir dir;
  testenv::WriteFile(dir.File("request.bin"), std::string("\xF2\x07\x00\x00", 4));
  // A listener that never accepts: the connect succeeds, no reply comes.
  sockettest::RawPeer peer(nullptr);
  auto t0 = std::chrono::steady_clock::now();
  const int rc = testenv::Shell(std::string(VCI_BIN_DIR) + "/vci-ident-tool send 127.0.0.1 " +
                                std::to_string(peer.Port()) + " " + dir.File("request.bin") + " >" +
                                dir.File("out") + " 2>" + dir.File("err"));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(rc, 1);
  EXPECT_GE(ms, 9900);
  EXPECT_NE(testenv::ReadFile(dir.File("err")).find("error code = 9251"), std::string::npos);
  EXPECT_NE(testenv::ReadFile(dir.File("out")).find("CliSkt::WaitForDataInd Timeout waiting for receive data: timeout = 10000"),
            std::string::npos);
}

}  // namespace
