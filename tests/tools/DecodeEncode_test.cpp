// decode and encode through the built tool: hand-written archive images go
// in as hexadecimal text, come out as JSON, and encode back to the same bytes
// (to the newest layout, for any other valid form); the announcements among
// them as the tool shows them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "ToolRun.h"
#include "common/TestEnv.h"
#include "discovery/RecordImages.h"

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

Bytes CompList() {
  return Builder().u32(2154).i32(3).u32(1).u32(2).u32(2155).u32(1).raw(AppVersion("a", "1.0"))
      .u32(2155).u32(1).raw(AppVersion("b", "2.0"));
}

Bytes AppList() {
  return Builder().u32(2114).i32(0).u32(1).u32(2)
      .u32(2113).u32(1).raw(AppVersion("one", "1")).b(true).str("s").u32(1).b(false).u32(2).i32(-1)
      .u32(2113).u32(1).raw(AppVersion("two", "2")).b(false).str("").u32(0).b(true).u32(0).i32(7);
}

Bytes EmptyApp() {
  Builder b;
  b.u32(2113).u32(1).u32(2143).u32(2);
  for (int i = 0; i < 9; ++i) b.str("");
  return b.u32(0).u32(0).b(false).str("").u32(0).b(false).u32(0).i32(-1);
}

// Serial 42 whose component lists carry results of their own.
Bytes Status() {
  using namespace images;
  return Builder()
      .u32(2108).u32(3).u32(42).u32(1).raw(EmptyList(2114)).raw(Sessions({Session(1)})).raw(EmptyList(2154, -1))
      .raw(EmptyList(2154, 7)).raw(Args("", {Arg(1, "ProductVersion", "7")})).u32(1).u8(0).u8(0).u32(1).u32(1)
      .str("10.0.0.5").raw(Args("", {})).u32(12);
}

// A cached announcement with the given sequence byte.
Bytes Announcement(uint32_t serial, uint8_t sequence) {
  return Builder().u32(2157).u8(3).u32(serial).u32(1).u32(2).u8(1).u8(0).raw(images::Sessions({})).u8(sequence)
      .u8(0).u8(12);
}

Bytes OneSession() {
  return Builder().u32(2118).i32(0).u8(1).u8(1).u32(2117).u32(1).u32(7).str("diag").str("tester").str("10.0.0.5")
      .u32(4).u32(0);
}

// Serial 4711 on Wireless, sequence 0x2A; from version 2 on ap 1, raw link
// quality 55, signal -75, noise -90, then module type 7.
Bytes CurrentAnnouncement(uint8_t version) {
  Builder b;
  b.u32(2157).u8(version).u32(4711).u32(0xCAFE).u32(0xBEEF).u8(4).u8(0).raw(OneSession()).u8(0x2A);
  return version == 1 ? b : b.u8(1).u8(1).u8(55).u8(0xB5).u8(0xA6).u8(7);
}

// Per record: the bytes that go into decode and the bytes that encode gives
// back: the same for a record in its newest layout, the newest layout for
// any other valid form.
struct Golden {
  const char* cls;
  Bytes in;
  Bytes out;
};

std::vector<Golden> Goldens() {
  const Bytes noWireless = Builder().u32(2157).u8(3).u32(9).u32(0).u32(0).u8(2).u8(2).raw(OneSession()).u8(0)
                               .u8(0).u8(0);
  const Bytes v1 = Builder().u32(2157).u8(1).u32(9).u32(0).u32(0).u8(2).u8(2).raw(OneSession()).u8(0);
  const std::vector<std::pair<const char*, Bytes>> newest = {
      {"CGetApplications_Send", Builder().u32(2094).u32(1)},
      {"CGetAppComps_Send", Builder().u32(2156).u32(1)},
      {"CGetSysComps_Send", Builder().u32(2189).u32(1)},
      {"CGetConfigNEW_Send", Builder().u32(2021).u32(1).u32(16)},
      {"CAppVersion", AppVersion("diag", "1.2")},
      {"CAppList", AppList()},
      {"CCompList", CompList()},
      {"CIdentDisconnect_Send", Builder().u32(2043).u32(9)},
      {"CIdentDisconnect_Recv", Builder().u32(2044).i32(-1)},
      {"CBluetoothReq_Send", Builder().u32(2145).u32(1).u32(3).u32(4711).u32(4)},
      {"CBluetoothReq_Recv", Builder().u32(2146).i32(20533)},
      {"CLogFile_Send", Builder().u32(2215).u32(1).u32(1).str("ident_log.txt")},
      {"CLogFiles_Recv", Builder().u32(2217).i32(0).u32(1).u32(1)
                             .str("f").u32(2216).i32(0).u32(1).str("f").u32(3).u8(1).u8(0).u8(2)},
      {"CIdentEvent_Recv", Builder().u32(2076).i32(0)},
      {"CVCIStatus", Status()},
      {"CVCIStatusMap", Builder().u32(2121).u32(1).u32(1).raw(Status())},
      // The service numbers the announcements of a cache one after another.
      {"CVCICachedMap", Builder().u32(2163).u32(1).u32(2).u32(5).u32(2162).u32(1).raw(Status()).raw(Announcement(5, 254))
                            .u32(42).u32(2162).u32(1).raw(Status()).raw(Announcement(42, 255))},
      {"CVCIIdentMsg", CurrentAnnouncement(3)},
      {"CVCIIdentMsg", noWireless},
      {"CRecoveryStatus", Builder().u32(2070).u32(2).u32(4711).u32(1).u32(2).u32(3).str("rescue").u32(2)
                              .u32(5).u8('b').u8('o').u8('o').u8('t').u8(0)},
      {"CRecoveryStatus", Builder().u32(2070).u32(2).u32(1).u32(0).u32(0).u32(0).str("").u32(2).u32(3).u8(0).u8(1).u8(2)},
      {"CRecoveryStatus", Builder().u32(2070).u32(2).u32(1).u32(0).u32(0).u32(0).str("").u32(2).u32(0)},
  };
  std::vector<Golden> goldens;
  for (const auto& n : newest) goldens.push_back({n.first, n.second, n.second});
  const std::vector<Golden> other = {
      {"CAppList", Builder().u32(2114).i32(0).u32(1).u32(2).u32(2113).u32(0).u32(2113).u32(0),
       Builder().u32(2114).i32(0).u32(1).u32(2).raw(EmptyApp()).raw(EmptyApp())},
      {"CGetConfigNEW_Send", Builder().u32(2021).u32(0), Builder().u32(2021).u32(1).u32(0)},
      {"CIdentEvent_Send", Builder().u32(2075).u32(1).u32(0x8004).u32(0),
       Builder().u32(2075).u32(1).u32(0x8004).u32(0).u32(2121).u32(1).u32(0)},
      {"CVCIIdentMsg", v1, noWireless},
  };
  goldens.insert(goldens.end(), other.begin(), other.end());
  return goldens;
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

TEST(DecodeEncode, EveryRecordComesBackInItsNewestLayout) {
  for (const Golden& g : Goldens()) {
    SCOPED_TRACE(std::string(g.cls) + " " + Hex(g.in));
    Result r = Tool("decode", Hex(g.in));
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_FALSE(j.is_discarded());
    EXPECT_EQ(j["class"], g.cls);
    Result back = Tool("encode --hex", r.out);
    ASSERT_EQ(back.status, 0) << back.err;
    EXPECT_EQ(back.out, Hex(g.out) + "\n") << r.out;
  }
  // Raw bytes out: the same archive as the hex text (one record serves; each
  // golden costs two tool runs already, which a sanitizer build feels).
  const Golden g = Goldens().front();
  EXPECT_EQ(Tool("encode", Tool("decode", Hex(g.in)).out).out, std::string(g.out.begin(), g.out.end()));
}

TEST(DecodeEncode, NestedRecordsAppearNested) {
  Result r = Tool("decode", Hex(CompList()));
  ASSERT_EQ(r.status, 0) << r.err;
  tooltest::ExpectFields(nlohmann::json::parse(r.out), nlohmann::json::parse(R"({"result": 3, "comps": [{},
      {"class": "CCompList::CComp", "appVersion": {"name": "b", "versionText": "2.0", "textList1": ["x", "y"]}}]})"));
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
  Bytes list = AppList();
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
// being read as archive bytes.
TEST(DecodeEncode, GarbledHexFailsWithOneLineNamingTheSlip) {
  Result slip = Tool("decode", "E5070000 0100000G 10000000\n");
  EXPECT_EQ(slip.status, 1);
  EXPECT_EQ(slip.err, "vci-ident-tool: the input is neither archive bytes nor hexadecimal text: 'G' at character 17\n");
}

// Every field in wire order, the zone beside the raw link quality; encode
// checks the one-byte fields and takes the link byte from linkQualityRaw, the
// zone being derived on reading.
TEST(AnnouncementJson, CurrentAnnouncementShowsTheZoneAndTheRawLinkQuality) {
  Result r = Tool("decode", Hex(CurrentAnnouncement(3)));
  ASSERT_EQ(r.status, 0) << r.err;
  nlohmann::ordered_json j = nlohmann::ordered_json::parse(r.out);
  std::vector<std::string> keys;
  for (auto it = j.begin(); it != j.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"class", "id", "version", "serial", "tokenLow", "tokenHigh", "kind",
                                            "moduleState", "sessions", "sequence", "wireless", "apState",
                                            "linkQuality", "linkQualityRaw", "signalLevel", "noiseLevel",
                                            "moduleType"}));
  tooltest::ExpectFields(nlohmann::json::parse(r.out), nlohmann::json::parse(R"({"class": "CVCIIdentMsg",
      "version": 3, "serial": 4711, "kind": 4, "sessions": {"sessions": [{"text1": "diag"}]}, "sequence": 42,
      "wireless": true, "linkQuality": 2, "linkQualityRaw": 55, "signalLevel": -75, "noiseLevel": -90,
      "moduleType": 7})"));

  for (auto bad : {std::make_pair("kind", 256), std::make_pair("signalLevel", 128)}) {
    nlohmann::ordered_json copy = j;
    copy[bad.first] = bad.second;
    Result e = Tool("encode --hex", copy.dump());
    EXPECT_EQ(e.status, 1) << bad.first;
    EXPECT_NE(e.err.find(bad.first), std::string::npos) << e.err;
  }
  j.erase("linkQuality");
  j["linkQualityRaw"] = 90;
  Result e = Tool("encode --hex", j.dump());
  ASSERT_EQ(e.status, 0) << e.err;
  tooltest::ExpectFields(nlohmann::json::parse(Tool("decode", e.out).out), {{"linkQualityRaw", 90}, {"linkQuality", 3}});
}

TEST(AnnouncementJson, LegacyStatusMessageDecodesButCannotBeEncoded) {
  Bytes legacy = Builder()
                     .u32(2026).u32(2).str("").str("192.168.1.9").str("169.254.10.2").str("10.0.0.5")
                     .u32(77).u32(0x0203).u32(0x20091231).u32(0).u32(0).u32(0).u32(0).u32(0x1F)
                     .u32(1).u32(0).u32(1).u32(0)
                     .u32(1).u32(2025).u8(1).u32(3).str("Ethernet").str("app").str("pc")
                     .u32(2);
  Result r = Tool("decode", Hex(legacy));
  ASSERT_EQ(r.status, 0) << r.err;
  tooltest::ExpectFields(nlohmann::json::parse(r.out), nlohmann::json::parse(R"({"class": "CVCIStatusMsg",
      "serial": 77, "ethernetFlag": 1, "usbFlag": 1, "clients": [{"interface": "Ethernet"}], "moduleState": 2})"));

  Result back = Tool("encode --hex", r.out);
  EXPECT_EQ(back.status, 1);
  EXPECT_TRUE(back.out.empty());
  EXPECT_NE(back.err.find("cannot be encoded"), std::string::npos) << back.err;

  // A legacy datagram cut inside its client list names where it stopped.
  Result cut = Tool("decode", Hex(Bytes(legacy.begin(), legacy.end() - 10)));
  EXPECT_EQ(cut.status, 1);
  EXPECT_NE(cut.err.find("CVCIStatusMsg"), std::string::npos) << cut.err;
}

}  // namespace
