// cache show / cache write through the built tool, on files stored by the
// service's own cache records; and the VCI table inside an event message
// through decode and encode.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "ToolRun.h"
#include "common/TestEnv.h"
#include "discovery/InvalidVCIList.h"
#include "discovery/VCICachedMap.h"
#include "service_clients/WireBytes.h"

using wire::Builder;
using wire::Bytes;
using wire::Hex;

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
    Result shown = Tool("cache show " + dir.File(name));
    ASSERT_EQ(shown.status, 0) << shown.err;
    Result written = Tool("cache write - " + dir.File("data_files/copy.bin"), shown.out);
    ASSERT_EQ(written.status, 0) << written.err;
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

  struct Case {
    const char* name;
    std::string file;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"cut at a block end", good.substr(0, 4 + 16), "CVCICachedMap: read failed at byte "},
      {"cut inside a block", good.substr(0, good.size() - 1), "not whole 8-byte blocks"},
      {"clear", std::string("\x73\x08\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00", 12), "not enciphered"},
      {"no id word", "ab", "no object id word"},
      {"other record", std::string("\x08\x08\x00\x00", 4), "neither a detail cache"},
  };
  for (const auto& c : cases) {
    testenv::WriteFile(dir.File("bad.bin"), c.file);
    Result r = Tool("cache show " + dir.File("bad.bin"));
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_TRUE(r.out.empty()) << c.name;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
  }
  Result missing = Tool("cache show " + dir.File("nothing.bin"));
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("cannot read"), std::string::npos) << missing.err;
}

// The table-changed event carries a whole VCI table; decode shows every
// status and encode gives the same bytes back.
TEST(StatusRecordsJson, TableChangedEventDecodesItsTableFully) {
  Builder status;
  status.u32(2108).u32(3).u32(42).u32(2);
  status.u32(2114).i32(0).u32(1).u32(0);
  status.u32(2118).i32(0).u8(1).u8(1).u32(2117).u32(1).u32(7).str("t1").str("t2").str("10.0.0.5").u32(1).u32(1);
  status.u32(2154).i32(0).u32(1).u32(0).u32(2154).i32(0).u32(1).u32(0);
  status.u32(2123).i32(0).u32(1).str("").u32(1).u32(2122).u32(1).str("ProductVersion").str("7");
  status.u32(5).u8(1).u8(0).u32(2).u32(1).str("10.0.0.5").u32(4).str("192.168.1.9");
  status.u32(2123).i32(0).u32(1).str("wl").u32(1).u32(2122).u32(1).str("IFEnable").str("False");
  status.u32(0x1234);
  Bytes table = Builder().u32(2121).u32(1).u32(1).raw(status);
  Bytes event = Builder().u32(2075).u32(1).u32(0x8002).u32(0).raw(table);

  for (const Bytes& image : {table, event}) {
    Result r = Tool("decode", Hex(image));
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json j = nlohmann::json::parse(r.out);
    tooltest::ExpectFields(j["class"] == "CIdentEvent_Send" ? j["payload"] : j, nlohmann::json::parse(R"({
        "class": "CVCIStatusMap", "statuses": [{"serial": 42, "moduleState": 2, "kinds": 5, "legacy": true,
            "addresses": [{}, {"kind": 4, "address": "192.168.1.9"}],
            "sessions": {"sessions": [{"session": 7, "flag": true}]}, "deviceInfo": {"args": [{"value": "7"}]},
            "wireless": {"listName": "wl"}, "moduleType": 4660}]})"));
    Result back = Tool("encode --hex", r.out);
    EXPECT_EQ(back.out, Hex(image) + "\n");
  }

  Bytes bindings = Builder().u32(2164).u32(1).u32(1).u32(1).str("10.0.0.5").u32(100).u32(0).u32(5).u32(0)
                       .str("10.0.0.1");
  Result b = Tool("decode", Hex(bindings));
  ASSERT_EQ(b.status, 0) << b.err;
  tooltest::ExpectFields(nlohmann::json::parse(b.out),
                         nlohmann::json::parse(R"({"foreign": [{"bindings": [{"seconds": 100, "local": "10.0.0.1"}]}]})"));
  EXPECT_EQ(Tool("encode --hex", b.out).out, Hex(bindings) + "\n");
}

TEST(StatusRecordsJson, SessionListBeyondOneByteCountIsRefused) {
  nlohmann::json session = {{"class", "CSessionList::CSession"}, {"version", 1}, {"session", 1}, {"text1", ""},
                            {"text2", ""}, {"address", ""}, {"kind", 1}, {"flag", false}};
  nlohmann::json list = {{"class", "CSessionList"}, {"result", 0}, {"version", 1},
                         {"sessions", nlohmann::json::array()}};
  for (int i = 0; i < 255; ++i) list["sessions"].push_back(session);
  Result full = Tool("encode --hex", list.dump());
  ASSERT_EQ(full.status, 0) << full.err;
  EXPECT_EQ(full.out.substr(0, 20), "460800000000000001FF");  // id, result, version 1, count 255

  list["sessions"].push_back(session);
  Result over = Tool("encode --hex", list.dump());
  EXPECT_EQ(over.status, 1);
  EXPECT_NE(over.err.find("255"), std::string::npos) << over.err;
}

}  // namespace
