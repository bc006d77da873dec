// cache show / cache write through the built tool, on files stored by the
// service's own cache records.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "ToolRun.h"
#include "common/TestEnv.h"
#include "records/InvalidVCIList.h"
#include "records/VCICachedMap.h"

namespace {

using tooltest::Result;
using tooltest::Tool;

CVCICachedMap SampleCache() {
  CArgList deviceInfo;
  deviceInfo.SetValue("ProductVersion", "7");
  deviceInfo.SetValue("ProductDate", "1F");
  CSessionList sessions;
  sessions.m_Sessions.resize(1);
  sessions.m_Sessions[0].m_strAddress = "10.0.0.5";
  CVCIStatus status(4711, 1, CCompList(), CAppList(), CCompList(), deviceInfo, sessions, CArgList(), 12);
  CVCIIdentMsg announcement(4711, 1, 0xAABB, 0xCCDD, sessions, VCI_KIND_USB);
  CVCICachedMap map;
  map.Set(4711, CVCICachedItem(announcement, status));
  return map;
}

// Files stored by the service's own records: show prints them, and write
// stores what show printed back to the same bytes.
TEST(CacheCommand, ShowPrintsTheStoredRecordsAndWriteStoresThemBack) {
  testenv::ScratchDir dir;
  CVCICachedMap map = SampleCache();
  ASSERT_EQ(map.Store(dir.File("valid-module_1.bin")), 0);
  CInvalidVCIList list;
  list.m_Serials = {9, 8, 7};
  ASSERT_EQ(list.Store(dir.File("invalid-module_1.bin")), 0);

  for (const char* name : {"valid-module_1.bin", "invalid-module_1.bin"}) {
    tooltest::Out("cache write - " + dir.File("data_files/copy.bin"), tooltest::Out("cache show " + dir.File(name)));
    EXPECT_EQ(testenv::ReadFile(dir.File("data_files/copy.bin")), testenv::ReadFile(dir.File(name))) << name;
  }
  tooltest::ExpectFields(nlohmann::json::parse(Tool("cache show " + dir.File("invalid-module_1.bin")).out),
                         {{"class", "CInvalidVCIList"}, {"serials", {9, 8, 7}}});
  // ProductDate before ProductVersion: arguments in name order.
  tooltest::ExpectFields(nlohmann::json::parse(Tool("cache show " + dir.File("valid-module_1.bin")).out),
                         nlohmann::json::parse(R"({"class": "CVCICachedMap", "id": 2163, "enciphered": true,
      "entries": [{"serial": 4711, "item": {
          "status": {"moduleType": 12, "sessions": {"sessions": [{"address": "10.0.0.5"}]},
                     "deviceInfo": {"args": [{"value": "1F"}]}},
          "announcement": {"tokenLow": 43707, "tokenHigh": 52445, "kind": 2}}}]})"));

  // A record that is no cache file is refused.
  Result wrong = Tool("cache write - " + dir.File("c.bin"), R"({"class": "CVCIStatusMap", "version": 1, "statuses": []})");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.err.find("CVCIStatusMap"), std::string::npos) << wrong.err;
}

TEST(CacheCommand, BrokenFilesExitOneWithTheReason) {
  testenv::ScratchDir dir;
  CVCICachedMap map = SampleCache();
  ASSERT_EQ(map.Store(dir.File("good.bin")), 0);
  std::string good = testenv::ReadFile(dir.File("good.bin"));

  const struct {
    const char* name;
    std::string file;  // none: no file at all
    const char* message;
  } cases[] = {
      {"cut at a block end", good.substr(0, 4 + 16), "CVCICachedMap: read failed at byte "},
      {"cut inside a block", good.substr(0, good.size() - 1), "not whole 8-byte blocks"},
      {"clear", std::string("\x73\x08\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00", 12), "not enciphered"},
      {"no id word", "ab", "no object id word"},
      {"other record", std::string("\x08\x08\x00\x00", 4), "neither a detail cache"},
      {"missing", "", "cannot read"},
  };
  for (const auto& c : cases) {
    const std::string path = dir.File(c.file.empty() ? "nothing.bin" : "bad.bin");
    if (!c.file.empty()) testenv::WriteFile(path, c.file);
    Result r = Tool("cache show " + path);
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_TRUE(r.out.empty()) << c.name;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
  }
}

}  // namespace
