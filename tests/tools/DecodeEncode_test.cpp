// decode and encode through the built tool: hand-written archive images go
// in as hexadecimal text, come out as JSON, and encode back to the same
// bytes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "ToolRun.h"
#include "common/TestEnv.h"
#include "service_clients/WireBytes.h"

using wire::Builder;
using wire::Bytes;
using wire::Hex;

namespace {

using tooltest::Result;
using tooltest::Tool;

Bytes AppVersion(const std::string& name, const std::string& versionText) {
  Builder b;
  b.u32(2143).u32(2).str(versionText).str("t2").str("").str("").str("fam").str(name).str("").str("").str("t9");
  return b.u32(2).str("x").str("y").u32(0);
}

// One record of each family in its newest layout.
std::vector<std::pair<std::string, Bytes>> Goldens() {
  return {
      {"CGetApplications_Send", Builder().u32(2094).u32(1)},
      {"CGetAppComps_Send", Builder().u32(2156).u32(1)},
      {"CGetSysComps_Send", Builder().u32(2189).u32(1)},
      {"CGetConfigNEW_Send", Builder().u32(2021).u32(1).u32(16)},
      {"CAppVersion", AppVersion("diag", "1.2")},
      {"CAppList", Builder().u32(2114).i32(0).u32(1).u32(2)
                       .u32(2113).u32(1).raw(AppVersion("one", "1")).b(true).str("s").u32(1).b(false).u32(2).i32(-1)
                       .u32(2113).u32(1).raw(AppVersion("two", "2")).b(false).str("").u32(0).b(true).u32(0).i32(7)},
      {"CCompList", Builder().u32(2154).i32(3).u32(1).u32(2)
                        .u32(2155).u32(1).raw(AppVersion("a", "1.0"))
                        .u32(2155).u32(1).raw(AppVersion("b", "2.0"))},
      {"CIdentDisconnect_Send", Builder().u32(2043).u32(9)},
      {"CIdentDisconnect_Recv", Builder().u32(2044).i32(-1)},
      {"CBluetoothReq_Send", Builder().u32(2145).u32(1).u32(3).u32(4711).u32(4)},
      {"CBluetoothReq_Recv", Builder().u32(2146).i32(20533)},
      {"CLogFile_Send", Builder().u32(2215).u32(1).u32(1).str("ident_log.txt")},
      {"CLogFiles_Recv", Builder().u32(2217).i32(0).u32(1).u32(1)
                             .str("f").u32(2216).i32(0).u32(1).str("f").u32(3).u8(1).u8(0).u8(2)},
  };
}

TEST(DecodeEncode, ApplicationsRequestFrameDecodesWithVersionOne) {
  Result r = Tool("decode --frame -", "0C 00 00 00 2E 08 00 00 01 00 00 00\n");
  ASSERT_EQ(r.status, 0) << r.err;
  nlohmann::json j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["class"], "CGetApplications_Send");
  EXPECT_EQ(j["id"], 2094);
  EXPECT_EQ(j["version"], 1);

  Result back = Tool("encode --frame --hex", r.out);
  ASSERT_EQ(back.status, 0) << back.err;
  EXPECT_EQ(back.out, "0C0000002E08000001000000\n");
}

TEST(DecodeEncode, EveryFamilyRoundTripsByteForByte) {
  for (const auto& g : Goldens()) {
    Result r = Tool("decode", Hex(g.second));
    ASSERT_EQ(r.status, 0) << g.first << ": " << r.err;
    nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << g.first;
    EXPECT_EQ(j["class"], g.first);
    Result back = Tool("encode --hex", r.out);
    ASSERT_EQ(back.status, 0) << g.first << ": " << back.err;
    EXPECT_EQ(back.out, Hex(g.second) + "\n") << g.first;

    // Raw bytes in, raw bytes out.
    Result binary = Tool("encode", r.out);
    EXPECT_EQ(binary.out, std::string(g.second.begin(), g.second.end())) << g.first;
  }
}

TEST(DecodeEncode, NestedRecordsAppearNested) {
  Result r = Tool("decode", Hex(Goldens()[6].second));
  ASSERT_EQ(r.status, 0) << r.err;
  nlohmann::json j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["result"], 3);
  ASSERT_EQ(j["comps"].size(), 2u);
  EXPECT_EQ(j["comps"][1]["class"], "CCompList::CComp");
  EXPECT_EQ(j["comps"][1]["appVersion"]["name"], "b");
  EXPECT_EQ(j["comps"][1]["appVersion"]["versionText"], "2.0");
  EXPECT_EQ(j["comps"][1]["appVersion"]["textList1"], nlohmann::json({"x", "y"}));
}

TEST(DecodeEncode, EncipheredArchivesAreDecipheredAndEncipheredAgain) {
  Result enc = Tool("encode --encrypt --frame --hex", R"({"class": "CGetConfigNEW_Send", "version": 1, "key": 16})");
  ASSERT_EQ(enc.status, 0) << enc.err;
  // Frame of 16 bytes: length, id with the flag 0x8000, one enciphered block.
  ASSERT_EQ(enc.out.size(), 33u);
  EXPECT_EQ(enc.out.substr(0, 16), "10000000E5870000");

  Result dec = Tool("decode --frame", enc.out);
  ASSERT_EQ(dec.status, 0) << dec.err;
  nlohmann::json j = nlohmann::json::parse(dec.out);
  EXPECT_EQ(j["key"], 16);
  EXPECT_EQ(j["enciphered"], true);
  Result again = Tool("encode --frame --hex", dec.out);
  EXPECT_EQ(again.out, enc.out);
}

TEST(DecodeEncode, BadInputFailsWithAReasonAndExitOne) {
  Bytes list = Goldens()[5].second;
  Result truncated = Tool("decode", Hex(Bytes(list.begin(), list.begin() + 40)));
  EXPECT_EQ(truncated.status, 1);
  EXPECT_NE(truncated.err.find("CAppList"), std::string::npos) << truncated.err;
  EXPECT_NE(truncated.err.find("of 40"), std::string::npos) << truncated.err;

  Result forged = Tool("decode", Hex(Builder().u32(2114).i32(0).u32(1).u32(0x10000000)));
  EXPECT_EQ(forged.status, 1);
  EXPECT_NE(forged.err.find("CAppList: read failed at byte 16 of 16"), std::string::npos) << forged.err;

  for (const char* input : {"FFFFFF7F", "2E08", "zz not an archive", ""}) {
    Result r = Tool("decode", input);
    EXPECT_EQ(r.status, 1) << input;
    EXPECT_FALSE(r.err.empty()) << input;
    EXPECT_TRUE(r.out.empty()) << input;
  }
  Result badFrame = Tool("decode --frame", "10000000 2E080000 01000000");
  EXPECT_EQ(badFrame.status, 1);
  EXPECT_NE(badFrame.err.find("16"), std::string::npos) << badFrame.err;

  EXPECT_EQ(Tool("encode", "{not json").status, 1);
  EXPECT_EQ(Tool("encode", R"({"class": "CNoSuchThing"})").status, 1);
  Result missing = Tool("encode", R"({"class": "CBluetoothReq_Send", "version": 1})");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("sessionId"), std::string::npos) << missing.err;
  EXPECT_EQ(Tool("decode --bogus", "").status, 2);

  // An edited id or a misspelt flag is refused instead of dropped.
  Result otherId = Tool("encode", R"({"class": "CGetConfigNEW_Send", "id": 2094, "version": 1, "key": 16})");
  EXPECT_EQ(otherId.status, 1);
  EXPECT_NE(otherId.err.find("\"id\" 2094"), std::string::npos) << otherId.err;
  Result flag = Tool("encode", R"({"class": "CGetConfigNEW_Send", "version": 1, "key": 16, "enciphered": "yes"})");
  EXPECT_EQ(flag.status, 1);
  EXPECT_NE(flag.err.find("enciphered"), std::string::npos) << flag.err;
}

// Texts on the wire are bytes, not always UTF-8 (a VCI's names may be
// Latin-1): the JSON stays valid, with U+FFFD for each byte it cannot carry.
TEST(DecodeEncode, TextThatIsNotUtf8StillPrintsValidJson) {
  Result r = Tool("decode", Hex(Builder().u32(2215).u32(1).u32(1).str("M\xfcller")));
  ASSERT_EQ(r.status, 0) << r.err;
  nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_FALSE(j.is_discarded()) << r.out;
  EXPECT_EQ(j["names"][0], "M\xef\xbf\xbdller");
}

// A typing slip in hexadecimal text is named where it is, instead of the text
// being read as archive bytes; a folder is refused instead of aborting the tool.
TEST(DecodeEncode, GarbledHexAndFoldersFailWithOneLine) {
  Result slip = Tool("decode", "E5070000 0100000G 10000000\n");
  EXPECT_EQ(slip.status, 1);
  EXPECT_EQ(slip.err, "vci-ident-tool: the input is neither archive bytes nor hexadecimal text: 'G' at character 17\n");
  EXPECT_EQ(Tool("send 127.0.0.1 9", "2E08000Z").status, 1);

  testenv::ScratchDir dir;
  for (const char* command : {"decode %", "encode %", "cache write % out", "product-config decode %"}) {
    std::string args = command;
    args.replace(args.find('%'), 1, dir.Path());
    Result r = Tool(args);
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_EQ(r.err, "vci-ident-tool: cannot read " + dir.Path() + ": it is a folder\n") << args;
  }
}

// Runs once the VCI status records are in the tree.
#if __has_include("discovery/VCIStatusMap.h") && __has_include("discovery/BindMap.h")
TEST(DecodeEncode, InterfaceErrorEventCarriesAnEmptyTable) {
  Bytes event = Builder().u32(2075).u32(1).u32(0x8004).u32(0).u32(2121).u32(1).u32(0);
  Result r = Tool("decode", Hex(event));
  ASSERT_EQ(r.status, 0) << r.err;
  nlohmann::json j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["class"], "CIdentEvent_Send");
  EXPECT_EQ(j["eventCode"], 0x8004);
  EXPECT_EQ(j["reserved"], 0);
  EXPECT_EQ(j["payload"]["id"], 2121);
  Result back = Tool("encode --hex", r.out);
  EXPECT_EQ(back.out, Hex(event) + "\n");

  Bytes ack = Builder().u32(2076).i32(0);
  Result a = Tool("decode", Hex(ack));
  ASSERT_EQ(a.status, 0) << a.err;
  EXPECT_EQ(Tool("encode --hex", a.out).out, Hex(ack) + "\n");
}
#endif

}  // namespace
