// What the sockets write to the transport log: every frame with its id and
// name, and the server socket's error reports.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <thread>

#include "SocketTestUtil.h"
#include "common/TestEnv.h"
#include "host/TransportLogger.h"
#include "serialize/ObjectId.h"
#include "transport/ClientSocket.h"
#include "transport/ServerSocket.h"

namespace {

using namespace sockettest;

TEST(SocketTransportLog, FramesAndServerErrorsAreLoggedWithIdsNamesAndTimeStamps) {
  testenv::ScratchDir dir;
  setenv("VCI_IDENT_TRANSPORT_LOG_DIR", (dir.Path() + "/").c_str(), 1);
  CTransportLogger::CloseTransportLog();
  {
    CRecorder recorder;
    CServerSocket server(&recorder);
    server.SetLocalAddress("127.0.0.1");
    ASSERT_EQ(server.Initialize(SOCKTYPE_TCP, 0, false), 0);
    CClientSocket client(false);
    ASSERT_EQ(client.Initialize(nullptr, SOCKTYPE_TCP, "127.0.0.1", "127.0.0.1", server.GetPort(), false), 0);
    CArchiveBuffer request(CArchiveBuffer::STORING), reply(CArchiveBuffer::STORING);
    request.Write(uint32_t{2034});
    ASSERT_EQ(client.SendRecv_ArchiveBuffer(request, reply, 0), 0);

    std::string bad;
    PutWord(bad, 2);
    testing::internal::CaptureStdout();
    int s = ConnectTo("127.0.0.1", server.GetPort());
    SendAll(s, bad);
    ASSERT_TRUE(recorder.WaitForErrors(1, 3000));
    close(s);
    testing::internal::GetCapturedStdout();
    server.Shutdown();
  }
  const std::string path = CTransportLogger::TransportLogPath();
  CTransportLogger::CloseTransportLog();
  unsetenv("VCI_IDENT_TRANSPORT_LOG_DIR");
  const std::string log = testenv::ReadFile(path);

  const std::string stamp = "[0-9]+\\.[0-9]{7} ";
  auto has = [&](const std::string& line) {
    return std::regex_search(log, std::regex("(^|\n)" + stamp + line + "\n"));
  };
  const std::string request = std::string("ID = 2034 \\[") + GetObjectName(2034) + "\\]";
  const std::string reply = std::string("ID = 2035 \\[") + GetObjectName(2035) + "\\]";
  EXPECT_TRUE(has("CS::Sending " + request)) << log;
  EXPECT_TRUE(has("SS::Receive " + request)) << log;
  EXPECT_TRUE(has("SS::Sending " + reply)) << log;
  EXPECT_TRUE(has("CS::Receive " + reply)) << log;
  EXPECT_TRUE(has("SS: [0-9]+\\.[0-9]+ - Recv Error: error code = 10040, error string = Message too long\n?")) << log;
}

}  // namespace
