// The configuration query and the bundled client against simulated VCIs and
// a hand-driven peer, inside a private network namespace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/TestEnv.h"
#include "serialize/ArchiveBuffer.h"
#include "service_clients/AppList.h"
#include "service_clients/CompList.h"
#include "service_clients/Config.h"
#include "service_clients/VCIServiceClient.h"
#include "tools/SimProcess.h"

using testenv::SimProcess;

namespace {

class RecordingCfgClient : public CCfgServiceClient {
 public:
  std::vector<std::string> lines;

 protected:
  void WriteErrorLog(const char* line) override { lines.push_back(line); }
};

bool HoldsPair(const CArgList& section, const std::string& name, const std::string& value) {
  std::string found;
  return section.GetValue(name, found) && found == value;
}

}  // namespace

TEST(CCfgServiceClient, ProductSectionHoldsTheThreeValuesInClearAndEnciphered) {
  VCI_REQUIRE_NET_NAMESPACE();
  const std::vector<std::string> product = {"--product-version", "5.1.2", "--product-date", "20260105",
                                            "--module-type", "7", "--interval", "60000"};
  std::vector<std::string> clearArgs = {"--address", "127.0.0.2"}, cipherArgs = {"--address", "127.0.0.3",
                                                                                  "--encrypt-replies"};
  clearArgs.insert(clearArgs.end(), product.begin(), product.end());
  cipherArgs.insert(cipherArgs.end(), product.begin(), product.end());
  SimProcess clearVci(clearArgs), cipherVci(cipherArgs);
  ASSERT_TRUE(clearVci.Ready() && cipherVci.Ready());

  for (const char* address : {"127.0.0.2", "127.0.0.3"}) {
    SCOPED_TRACE(address);
    RecordingCfgClient client;
    ASSERT_EQ(0, client.Initialize(address, "127.0.0.1", 0, 0));
    CConfig config;
    ASSERT_EQ(0, client.GetConfig(16, config));
    ASSERT_EQ(1u, config.GetSections().size());
    CArgList section;
    ASSERT_EQ(0, config.GetConfig(16, section));
    EXPECT_TRUE(HoldsPair(section, "ProductVersion", "5.1.2"));
    EXPECT_TRUE(HoldsPair(section, "ProductDate", "20260105"));
    EXPECT_TRUE(HoldsPair(section, "ModuleType", "7"));

    // A section the VCI does not have: an empty answer, and the earlier
    // contents are gone.
    EXPECT_EQ(0, client.GetConfig(17, config));
    EXPECT_TRUE(config.IsEmpty());
    EXPECT_TRUE(client.lines.empty());
  }
}

TEST(CCfgServiceClient, ReplyRepeatingItsKeyFailsToRead) {
  VCI_REQUIRE_NET_NAMESPACE();
  SimProcess vci({"--address", "127.0.0.2", "--fault", "duplicate-key", "--interval", "60000"});
  ASSERT_TRUE(vci.Ready());
  RecordingCfgClient client;
  ASSERT_EQ(0, client.Initialize("127.0.0.2", "127.0.0.1", 0, 0));
  CConfig config;
  EXPECT_EQ(-1, client.GetConfig(16, config));
  ASSERT_EQ(1u, client.lines.size());
  EXPECT_EQ("PltClt::SendRecv_ArchiveBuffer Error Serializing Object", client.lines[0]);
  EXPECT_FALSE(client.IsConnected());

  ASSERT_EQ("ok", vci.Command("fault duplicate-key off"));
  ASSERT_EQ("ok", vci.Command("result 7"));
  EXPECT_EQ(7, client.GetConfig(16, config));
  EXPECT_EQ(1u, config.GetSections().size());
}

TEST(CCfgServiceClient, SendsTheSixteenByteRequestForKey16) {
  VCI_REQUIRE_NET_NAMESPACE();
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(9004);
  inet_pton(AF_INET, "127.0.0.2", &a.sin_addr);
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a));
  ASSERT_EQ(0, listen(listener, 1));
  std::vector<uint8_t> request;
  std::thread peer([&] {
    int fd = accept(listener, nullptr, nullptr);
    uint8_t buf[64];
    while (request.size() < 16) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      request.insert(request.end(), buf, buf + n);
    }
    // An empty CConfig with result 3.
    const uint8_t reply[] = {20, 0, 0, 0, 0xE2, 0x07, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    send(fd, reply, sizeof reply, MSG_NOSIGNAL);
    while (recv(fd, buf, sizeof buf, 0) > 0) {
    }
    close(fd);
  });
  CCfgServiceClient client;
  ASSERT_EQ(0, client.Initialize("127.0.0.2", "127.0.0.1", 0, 0));
  CConfig config;
  EXPECT_EQ(3, client.GetConfig(16, config));
  peer.join();
  close(listener);
  EXPECT_EQ((std::vector<uint8_t>{0x10, 0, 0, 0, 0xE5, 0x07, 0, 0, 1, 0, 0, 0, 0x10, 0, 0, 0}), request);
}

TEST(CVCIServiceClient, FourQueriesInARowReturnTheVcisContentsExactly) {
  VCI_REQUIRE_NET_NAMESPACE();
  SimProcess vci({"--address", "127.0.0.2", "--serial", "4711", "--app", "Diagnosis=4.2.1", "--app", "Flash=1.0",
                  "--app-comp", "CanDriver=3.3", "--sys-comp", "Kernel=5.10.0", "--sys-comp", "Boot=1.1",
                  "--product-version", "5.1.2", "--product-date", "20260105", "--module-type", "7",
                  "--encrypt-replies", "--interval", "60000"});
  ASSERT_TRUE(vci.Ready());
  CVCIServiceClient client;
  ASSERT_EQ(0, client.Initialize("127.0.0.2", "127.0.0.1", 0, 0));
  EXPECT_EQ(-1, client.Initialize(nullptr, "127.0.0.1", 0, 0));
  ASSERT_EQ(0, client.SetTransportLogging(true));

  CAppList apps;
  CCompList appComps, sysComps;
  CConfig config;
  ASSERT_EQ(0, client.GetAppServiceClient().GetApplications(apps));
  ASSERT_EQ(0, client.GetAppServiceClient().GetAppComps(appComps));
  ASSERT_EQ(0, client.GetAppServiceClient().GetSysComps(sysComps));
  ASSERT_EQ(0, client.GetCfgServiceClient().GetConfig(16, config));

  CAppList expectedApps;
  expectedApps.Add(CAppList::CApp(CAppVersion("Diagnosis", "4.2.1")));
  expectedApps.Add(CAppList::CApp(CAppVersion("Flash", "1.0")));
  EXPECT_TRUE(expectedApps == apps);
  CCompList expectedAppComps, expectedSysComps;
  expectedAppComps.Add(CCompList::CComp(CAppVersion("CanDriver", "3.3")));
  expectedSysComps.Add(CCompList::CComp(CAppVersion("Kernel", "5.10.0")));
  expectedSysComps.Add(CCompList::CComp(CAppVersion("Boot", "1.1")));
  EXPECT_TRUE(expectedAppComps == appComps);
  EXPECT_TRUE(expectedSysComps == sysComps);
  CArgList section;
  ASSERT_EQ(0, config.GetConfig(16, section));
  EXPECT_EQ(3u, section.Count());
  EXPECT_TRUE(HoldsPair(section, "ProductVersion", "5.1.2"));
  EXPECT_TRUE(HoldsPair(section, "ProductDate", "20260105"));
  EXPECT_TRUE(HoldsPair(section, "ModuleType", "7"));
}
