// vci-ident-tool send against a server socket on loopback. (listen is what
// the vci-sim tests receive the announcements with; the client socket's
// refusals and timeouts have tests of their own.)
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "ToolRun.h"
#include "common/SocketPeers.h"

namespace {

// The server replies with the request's id word + 1 and its other words.
TEST(SendCommand, PrintsTheReplyOfAServiceAsJson) {
  testenv::ScratchDir dir;
  const std::string request = tooltest::FromHex("F2070000FECA0000");
  testenv::WriteFile(dir.File("request.bin"), request);
  sockettest::Server<> server;
  ASSERT_EQ(server.Start(), 0);
  const std::string to = "send 127.0.0.1 " + std::to_string(server.Port());
  // A file; standard input and a kept connection; hexadecimal text, as a
  // support engineer types it.
  const std::pair<std::string, std::string> ways[] = {
      {to + " --local 127.0.0.1 " + dir.File("request.bin"), ""},
      {to + " --keep -", request},
      {to, "F2070000 FECA0000\n"},
  };
  for (const auto& way : ways) {
    tooltest::ExpectFields(tooltest::Json(way.first, way.second), {{"result", 0}, {"reply", {{"id", 2035},
                           {"length", 8}, {"hex", "F3070000FECA0000"}, {"enciphered", false}}}});
  }
}

}  // namespace
