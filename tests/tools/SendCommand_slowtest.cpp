// vci-ident-tool send to a peer that takes the connection and never answers.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "ToolRun.h"
#include "common/SocketPeers.h"

namespace {

TEST(SendCommandSlow, SilentPeerEndsWith9251AfterTenSeconds) {
  // A listener that never accepts: the connect succeeds, no reply comes.
  sockettest::RawPeer peer(nullptr);
  auto t0 = sockettest::Clock::now();
  tooltest::Result r = tooltest::Tool("send 127.0.0.1 " + std::to_string(peer.Port()), "F2070000");
  EXPECT_EQ(r.status, 1);
  EXPECT_GE(sockettest::MsSince(t0), 9900);
  EXPECT_NE(r.err.find("error code = 9251"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("CliSkt::WaitForDataInd Timeout waiting for receive data: timeout = 10000"), std::string::npos)
      << r.out;
}

}  // namespace
