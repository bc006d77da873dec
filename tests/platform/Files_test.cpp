#include "platform/Files.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>

#include "common/TestEnv.h"

namespace {

// Two writers replace the same file over and over (the service storing its
// cache while the provisioning tool writes it): a reader only ever finds one
// writer's content whole, and no temporary file is left behind.
TEST(ReplaceFileAtomically, ReadersSeeOneWholeContentWhileTwoWritersReplaceTheFile) {
  testenv::ScratchDir dir;
  const std::string path = dir.File("data_files/valid-module_1.bin");
  const std::string contents[] = {std::string(65536, 'a'), std::string(40000, 'b')};
  ASSERT_TRUE(platform::ReplaceFileAtomically(path, contents[0]));
  std::atomic<int> writing{2}, torn{0};
  std::vector<std::thread> writers;
  for (const std::string& content : contents)
    writers.emplace_back([&] {
      for (int i = 0; i < 40; ++i)
        if (!platform::ReplaceFileAtomically(path, content)) ++torn;
      --writing;
    });
  while (writing.load() > 0) {
    std::string seen = testenv::ReadFile(path);
    if (seen != contents[0] && seen != contents[1]) ++torn;
  }
  for (std::thread& t : writers) t.join();
  EXPECT_EQ(torn.load(), 0);
  std::vector<std::string> names;
  for (boost::filesystem::directory_iterator it(dir.File("data_files")), end; it != end; ++it)
    names.push_back(it->path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"valid-module_1.bin"});
}

TEST(ReplaceFileAtomically, KeepsThePermissionsAndLeavesTheFileAloneOnFailure) {
  testenv::ScratchDir dir;
  const std::string path = dir.File("registry.reg");
  testenv::WriteFile(path, "old");
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  ASSERT_TRUE(platform::ReplaceFileAtomically(path, "new"));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(testenv::ReadFile(path), "new");
  // A folder where the file should be: the rename fails, the temporary goes.
  ASSERT_TRUE(boost::filesystem::create_directory(dir.File("folder")));
  EXPECT_FALSE(platform::ReplaceFileAtomically(dir.File("folder"), "x"));
  EXPECT_FALSE(platform::ReplaceFileAtomically(path + "/below-a-file", "x"));
  EXPECT_EQ(std::distance(boost::filesystem::directory_iterator(dir.Path()), {}), 2);
  FILE* f = fopen(dir.File("folder").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_FALSE(platform::IsPlainFile(f));
  fclose(f);
}

// What the rest of the service reads, lists and creates through the seam.
TEST(Files, WholeReadsTakeOnlyPlainFilesWithinTheirLimitAndListingsSkipNothingButDots) {
  testenv::ScratchDir dir;
  testenv::WriteFile(dir.File("b"), "four");
  testenv::WriteFile(dir.File("empty"), "");
  ASSERT_TRUE(boost::filesystem::create_directory(dir.File("folder")));
  const struct {
    std::string path;
    uint64_t limit;
    bool read;
    std::string content;
  } cases[] = {
      {dir.File("b"), 4, true, "four"},          {dir.File("b"), 3, false, ""},
      {dir.File("empty"), 0, true, ""},          {dir.File("folder"), 1 << 20, false, ""},
      {dir.File("missing"), 9, false, ""},       {"/dev/zero", 1 << 20, false, ""},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> out{1, 2};
    EXPECT_EQ(platform::ReadWholeFile(c.path, out, c.limit), c.read) << c.path;
    EXPECT_EQ(std::string(out.begin(), out.end()), c.content) << c.path;
  }
  EXPECT_EQ(platform::PlainFileSize(dir.File("b")) + platform::PlainFileSize(dir.File("folder")), 4u);

  EXPECT_FALSE(platform::OpensForReading(dir.File("a")));
  ASSERT_TRUE(platform::CreateFileIfMissing(dir.File("a")));
  EXPECT_TRUE(platform::CreateFileIfMissing(dir.File("b")));  // Left as it is.
  EXPECT_EQ(testenv::ReadFile(dir.File("b")), "four");
  std::string names;
  for (const auto& e : platform::FolderEntries(dir.Path()))
    names += e.first + (e.second == dir.File(e.first) ? " " : "=" + e.second + " ");
  EXPECT_EQ(names, "a b empty folder ");
  EXPECT_TRUE(platform::RemoveFile(dir.File("folder")) && platform::RemoveFile(dir.File("a")));
  EXPECT_FALSE(platform::RemoveFile(dir.File("a")));
  EXPECT_TRUE(platform::FolderEntries(dir.File("missing")).empty());

  // An append file starts afresh only when told to.
  platform::CAppendFile log;
  EXPECT_FALSE(log.Open(dir.File("missing/log"), false));
  ASSERT_TRUE(log.Open(dir.File("b"), false));
  log.Write("+1");
  EXPECT_EQ(testenv::ReadFile(dir.File("b")), "four+1");  // Flushed at once.
  ASSERT_TRUE(log.Open(dir.File("b"), true));
  log.Write("new");
  log.Close();
  log.Write("dropped");
  EXPECT_EQ(testenv::ReadFile(dir.File("b")), "new");
}

}  // namespace
