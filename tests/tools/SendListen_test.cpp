// vci-ident-tool send and listen against real sockets on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "common/TestEnv.h"
#include "serialize/ArchiveBuffer.h"
#include "transport/ServerSocket.h"
#include "common/SocketPeers.h"

namespace {

using sockettest::UnusedPort;

const std::string kTool = std::string(VCI_BIN_DIR) + "/vci-ident-tool";

std::string Words(std::initializer_list<uint32_t> words) {
  std::string out;
  for (uint32_t w : words)
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((w >> (8 * i)) & 0xFF));
  return out;
}

// Answers every request with the id word + 1 and the request's second word.
class CEcho : public IServerEvent {
 public:
  int OnDataReceived(CArchiveBuffer& request, CArchiveBuffer& reply, const std::string&, const std::string&) override {
    request.Rewind(CArchiveBuffer::LOADING);
    uint32_t id = 0, field = 0;
    request.Read(id);
    request.Read(field);
    reply.Write(id + 1);
    reply.Write(field);
    return 0;
  }
  bool OnErrorDetected(int) override { return false; }
};

TEST(SendCommand, PrintsTheReplyOfAServiceAsJson) {
  testenv::ScratchDir dir;
  testenv::WriteFile(dir.File("request.bin"), Words({2034, 0xCAFE}));
  CEcho echo;
  CServerSocket server(&echo);
  server.SetLocalAddress("127.0.0.1");
  ASSERT_EQ(server.Initialize(SOCKTYPE_TCP, 0, false), 0);
  const std::string port = std::to_string(server.GetPort());

  ASSERT_EQ(testenv::Shell(kTool + " send 127.0.0.1 " + port + " --local 127.0.0.1 " + dir.File("request.bin") +
                           " >" + dir.File("out") + " 2>" + dir.File("err")),
            0)
      << testenv::ReadFile(dir.File("err"));
  nlohmann::json out = nlohmann::json::parse(testenv::ReadFile(dir.File("out")));
  EXPECT_EQ(out["result"], 0);
  EXPECT_EQ(out["reply"]["id"], 2035);
  EXPECT_EQ(out["reply"]["length"], 8);
  EXPECT_EQ(out["reply"]["hex"], "F3070000FECA0000");
  EXPECT_EQ(out["reply"]["enciphered"], false);

  // Standard input, and a kept connection.
  ASSERT_EQ(testenv::Shell(kTool + " send 127.0.0.1 " + port + " --keep - <" + dir.File("request.bin") + " >" +
                           dir.File("out2") + " 2>&1"),
            0)
      << testenv::ReadFile(dir.File("out2"));
  EXPECT_EQ(nlohmann::json::parse(testenv::ReadFile(dir.File("out2")))["reply"]["id"], 2035);

  // The request as hexadecimal text, as a support engineer types it.
  ASSERT_EQ(testenv::Shell("echo 'F2070000 FECA0000' | " + kTool + " send 127.0.0.1 " + port + " >" +
                           dir.File("out3") + " 2>&1"),
            0)
      << testenv::ReadFile(dir.File("out3"));
  EXPECT_EQ(nlohmann::json::parse(testenv::ReadFile(dir.File("out3")))["reply"]["hex"], "F3070000FECA0000");
  server.Shutdown();
}

TEST(SendCommand, RefusedConnectionEndsWith9237AndTheReportLines) {
  testenv::ScratchDir dir;
  testenv::WriteFile(dir.File("request.bin"), Words({2034}));
  const int rc = testenv::Shell(kTool + " send 127.0.0.1 " + std::to_string(UnusedPort()) + " " +
                                dir.File("request.bin") + " >" + dir.File("out") + " 2>" + dir.File("err"));
  EXPECT_EQ(rc, 1);
  EXPECT_NE(testenv::ReadFile(dir.File("err")).find("error code = 9237"), std::string::npos);
  EXPECT_NE(testenv::ReadFile(dir.File("out")).find("CliSkt::Connect Max connect Attempts Exceeded: error code = 10061"),
            std::string::npos)
      << testenv::ReadFile(dir.File("out"));
}

TEST(SendCommand, UsageErrorsExitWithTwoAndBadInputWithOne) {
  testenv::ScratchDir dir;
  testenv::WriteFile(dir.File("short.bin"), "ab");
  testenv::WriteFile(dir.File("odd.txt"), "F2070 000");
  const std::string quiet = " >/dev/null 2>&1";
  EXPECT_EQ(testenv::Shell(kTool + " send 127.0.0.1" + quiet), 2);
  EXPECT_EQ(testenv::Shell(kTool + " send 127.0.0.1 70000 x" + quiet), 2);
  EXPECT_EQ(testenv::Shell(kTool + " send 127.0.0.1 9 --local nowhere x" + quiet), 2);
  EXPECT_EQ(testenv::Shell(kTool + " send 127.0.0.1 9 --bogus x" + quiet), 2);
  EXPECT_EQ(testenv::Shell(kTool + " send 127.0.0.1 9 " + dir.File("missing.bin") + quiet), 1);
  EXPECT_EQ(testenv::Shell(kTool + " send 127.0.0.1 9 " + dir.File("short.bin") + quiet), 1);
  EXPECT_EQ(testenv::Shell(kTool + " send 127.0.0.1 9 " + dir.File("odd.txt") + " 2>" + dir.File("err")), 1);
  EXPECT_NE(testenv::ReadFile(dir.File("err")).find("not whole hexadecimal bytes"), std::string::npos);
  EXPECT_EQ(testenv::Shell(kTool + " send --help" + quiet), 0);
  EXPECT_EQ(testenv::Shell(kTool + " listen --port 0" + quiet), 2);
  EXPECT_EQ(testenv::Shell(kTool + " listen --interface 1.2.3" + quiet), 2);
  // No datagram count would never end: a usage error, not a wait for ever.
  EXPECT_EQ(testenv::Shell("timeout 5 " + kTool + " listen --count 0" + quiet), 2);
}

TEST(ListenCommand, PrintsEachAnnouncementWithSenderAndLocalAddress) {
  VCI_REQUIRE_NET_NAMESPACE();
  testenv::ScratchDir dir;
  std::thread listener([&] {
    testenv::Shell("timeout 10 " + kTool + " listen --interface 127.0.0.1 --count 2 >" + dir.File("out") + " 2>" +
                   dir.File("err"));
  });
  for (int i = 0; i < 100 && testenv::ReadFile(dir.File("err")).find("listening") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

  int s = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in from {};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.2", &from.sin_addr);
  ASSERT_EQ(bind(s, reinterpret_cast<struct sockaddr*>(&from), sizeof from), 0);
  struct in_addr out;
  inet_pton(AF_INET, "127.0.0.1", &out);
  setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out);
  struct sockaddr_in to {};
  to.sin_family = AF_INET;
  to.sin_port = htons(8194);
  inet_pton(AF_INET, "225.1.1.1", &to.sin_addr);
  const std::string first = Words({12, 2157, 5});
  const std::string second = Words({8, 2026});
  sendto(s, first.data(), first.size(), 0, reinterpret_cast<struct sockaddr*>(&to), sizeof to);
  sendto(s, second.data(), second.size(), 0, reinterpret_cast<struct sockaddr*>(&to), sizeof to);
  close(s);
  listener.join();

  const std::string text = testenv::ReadFile(dir.File("out"));
  const size_t newline = text.find('\n');
  ASSERT_NE(newline, std::string::npos) << text << testenv::ReadFile(dir.File("err"));
  nlohmann::json line = nlohmann::json::parse(text.substr(0, newline));
  EXPECT_EQ(line["sender"], "127.0.0.2");
  EXPECT_EQ(line["local"], "127.0.0.1");
  EXPECT_EQ(line["id"], 2157);
  EXPECT_EQ(line["length"], 8);
  EXPECT_TRUE(line["time"].is_string());
  nlohmann::json next = nlohmann::json::parse(text.substr(newline + 1));
  EXPECT_EQ(next["id"], 2026);
}

}  // namespace
