// vci-identd started over broken files: a cache file, ident.ini or the
// registry file truncated, garbled or replaced by a folder, or a data folder
// it cannot write. A bad cache file goes and the service serves; a bad
// ident.ini leaves the defaults; a registry without a readable brand ends
// the start in order with exit code 1; and nothing else is lost.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "client_service/ClientApp.h"
#include "common/ServiceProcess.h"
#include "records/InvalidVCIList.h"
#include "records/VCICachedMap.h"
#include "tools/SimProcess.h"

namespace {

::testing::Environment* const g_Namespace =
    ::testing::AddGlobalTestEnvironment(new testenv::NetNamespaceEnvironment);

TEST(FileFaults, ABrokenFileCostsItselfAtMostAndNeverTheService) {
  VCI_REQUIRE_NET_NAMESPACE();
  enum Fault { TRUNCATED, GARBLED, FOLDER };
  enum File { DETAIL_CACHE, INVALID_LIST, IDENT_INI, REGISTRY };
  struct Case {
    File file;
    Fault fault;
    bool serves, fileGoes;  // else the start fails in order, exit code 1; the broken file is deleted
  };
  const Case cases[] = {
      {DETAIL_CACHE, TRUNCATED, true, true}, {DETAIL_CACHE, GARBLED, true, true}, {DETAIL_CACHE, FOLDER, true, false},
      {INVALID_LIST, TRUNCATED, true, true}, {INVALID_LIST, GARBLED, true, true}, {IDENT_INI, TRUNCATED, true, false},
      {IDENT_INI, GARBLED, true, false},     {IDENT_INI, FOLDER, true, false},    {REGISTRY, TRUNCATED, false, false},
      {REGISTRY, GARBLED, false, false},     {REGISTRY, FOLDER, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "file " << c.file << " fault " << c.fault);
    testenv::ServiceHome home;
    const std::string dir = apptest::BrandHome();
    ASSERT_EQ(platform::RegistrySetString("HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI", "Keep", "this value"), 0);
    const std::string paths[] = {dir + "/data_files/valid-module_1.bin", dir + "/data_files/invalid-module_1.bin",
                                 dir + "/ident.ini", getenv("VCI_IDENT_REGISTRY")};
    CVCICachedMap cache;
    cache.FindOrAdd(4711);
    ASSERT_EQ(cache.Store(paths[DETAIL_CACHE]), 0);
    CInvalidVCIList invalid;
    invalid.m_Serials = {815};
    ASSERT_EQ(invalid.Store(paths[INVALID_LIST]), 0);
    std::string before[4];
    for (int f = 0; f < 4; ++f) before[f] = testenv::ReadFile(paths[f]);

    const std::string& path = paths[c.file];
    std::string broken = before[c.file];
    if (c.fault == TRUNCATED) broken.resize(broken.size() / 2 + 1);
    if (c.fault == GARBLED)
      for (size_t i = 4; i < broken.size(); i += 3) broken[i] = static_cast<char>(broken[i] ^ 0xA5);
    if (c.fault == FOLDER) {
      ASSERT_EQ(unlink(path.c_str()), 0);
      ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    } else {
      testenv::WriteFile(path, broken);
    }

    testenv::ChildProcess service(std::string(VCI_BIN_DIR) + "/vci-identd", {});
    if (c.serves) {
      EXPECT_TRUE(service.WaitReady());
      service.Signal(SIGTERM);
    } else {
      // The message box of a failed initialisation (the trace file's place
      // is in the registry that failed).
      EXPECT_NE(service.ReadLineContaining("Error: Identification Service Initialization failed"), "");
    }
    EXPECT_EQ(service.Wait(), c.serves ? 0 : 1);
    EXPECT_TRUE(c.fault == FOLDER || (access(path.c_str(), F_OK) == 0) == !c.fileGoes);
    for (int f = 0; f < 4; ++f) {
      if (f == c.file) continue;
      EXPECT_EQ(testenv::ReadFile(paths[f]), before[f]) << "file " << f << " is kept";
    }
    if (c.file == REGISTRY) unlink(path.c_str()), rmdir(path.c_str());
  }
}

// The data folder on a read-only mount of the service's own (which binds
// root too): a fetched VCI is listed all the same, the fetch counts as failed
// with its log line, the cache file there keeps its text, and the service
// stops in order.
TEST(FileFaults, AnUnwritableDataFolderCostsTheCacheAndNeverTheService) {
  VCI_REQUIRE_NET_NAMESPACE();
  testenv::ServiceHome home;
  const std::string dir = apptest::BrandHome();
  const std::string data = dir + "/data_files", cacheFile = data + "/valid-module_1.bin";
  CVCICachedMap cache;
  cache.FindOrAdd(815);
  ASSERT_EQ(cache.Store(cacheFile), 0);
  const std::string before = testenv::ReadFile(cacheFile);

  testenv::SimProcess sim({"--serial", "4711", "--interval", "50"});
  ASSERT_TRUE(sim.Ready());
  // unshare -m makes the mounts private to the service.
  testenv::ChildProcess service("/usr/bin/unshare",
                                {"-m", "/bin/sh", "-c",
                                 "mount --bind '" + data + "' '" + data + "' && mount -o remount,bind,ro '" + data +
                                     "' && exec '" VCI_BIN_DIR "/vci-identd'"});
  ASSERT_TRUE(service.WaitReady());
  ASSERT_TRUE(apptest::WaitUntil([&] {
    return testenv::ReadFile(dir + "/ident/ident_log.txt").find("CAcquireDeviceStats::Run m_VCICachedMap.Store") !=
           std::string::npos;
  }));
  apptest::App app;
  CIdentConnect_Recv reply = app.Register("app", 0, true);
  EXPECT_EQ(reply.GetResult(), 0);
  EXPECT_EQ(reply.m_VCIStatusMap.m_Map.count(4711), 1u);
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(), 0);
  EXPECT_EQ(testenv::ReadFile(cacheFile), before);
}

}  // namespace
