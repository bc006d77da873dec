// decode and encode through the built tool: hand-written archive images go
// in as hexadecimal text, come out as JSON, and encode back to the same bytes
// (to the newest layout, for any other valid form); the announcements among
// them as the tool shows them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "ToolRun.h"
#include "common/TestEnv.h"
#include "records/RecordImages.h"

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

// A cached announcement with the given sequence byte; version 1 ends behind it.
Bytes Announcement(uint32_t serial, uint8_t sequence, uint8_t version = 3, uint8_t moduleType = 12) {
  Builder b;
  b.u32(2157).u8(version).u32(serial).u32(1).u32(2).u8(1).u8(0).raw(images::Sessions({})).u8(sequence);
  return version == 1 ? b : b.u8(0).u8(moduleType);
}

Bytes Entry(uint32_t serial, const Bytes& status, const Bytes& announcement) {
  return Builder().u32(serial).u32(2162).u32(1).raw(status).raw(announcement);
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

// A legacy status message of serial 77 with one client.
Bytes LegacyStatus() {
  return Builder().u32(2026).u32(2).str("").str("192.168.1.9").str("169.254.10.2").str("10.0.0.5")
      .u32(77).u32(0x0203).u32(0x20091231).u32(0).u32(0).u32(0).u32(0).u32(0x1F).u32(1).u32(0).u32(1).u32(0)
      .u32(1).u32(2025).u8(1).u32(3).str("Ethernet").str("app").str("pc").u32(2);
}

// A VCI table of serial 42, heard on Ethernet and by legacy message.
Bytes TableOfOne() {
  using namespace images;
  return Builder()
      .u32(2121).u32(1).u32(1).u32(2108).u32(3).u32(42).u32(2).raw(EmptyList(2114)).raw(Sessions({Session(1)}))
      .raw(EmptyList(2154)).raw(EmptyList(2154)).raw(Args("", {Arg(1, "ProductVersion", "7")})).u32(5).u8(1).u8(0)
      .u32(2).u32(1).str("10.0.0.5").u32(4).str("192.168.1.9").raw(Args("wl", {Arg(1, "IFEnable", "False")}))
      .u32(0x1234);
}

Bytes Bindings() {
  return Builder().u32(2164).u32(1).u32(1).u32(1).str("10.0.0.5").u32(100).u32(0).u32(5).u32(0).str("10.0.0.1");
}

// Per record: the bytes that go into decode and the bytes that encode gives
// back: the same for a record in its newest layout, the newest layout for
// any other valid form.
struct Golden {
  const char* cls;
  Bytes in;
  Bytes out = {};                // none: the same as in
  const char* fields = nullptr;  // some fields of its JSON, by name
};

std::vector<Golden> Goldens() {
  const Bytes noWireless = Builder().u32(2157).u8(3).u32(9).u32(0).u32(0).u8(2).u8(2).raw(OneSession()).u8(0)
                               .u8(0).u8(0);
  const Bytes v1 = Builder().u32(2157).u8(1).u32(9).u32(0).u32(0).u8(2).u8(2).raw(OneSession()).u8(0);
  std::vector<Golden> goldens = {
      {"CGetApplications_Send", Builder().u32(2094).u32(1)}, {"CGetAppComps_Send", Builder().u32(2156).u32(1)},
      {"CGetSysComps_Send", Builder().u32(2189).u32(1)}, {"CGetConfigNEW_Send", Builder().u32(2021).u32(1).u32(16)},
      {"CAppVersion", AppVersion("diag", "1.2")}, {"CAppList", AppList()}, {"CCompList", CompList()},
      {"CIdentDisconnect_Send", Builder().u32(2043).u32(9)}, {"CIdentDisconnect_Recv", Builder().u32(2044).i32(-1)},
      {"CBluetoothReq_Send", Builder().u32(2145).u32(1).u32(3).u32(4711).u32(4)},
      {"CBluetoothReq_Recv", Builder().u32(2146).i32(20533)}, {"CIdentEvent_Recv", Builder().u32(2076).i32(0)},
      {"CLogFile_Send", Builder().u32(2215).u32(1).u32(1).str("ident_log.txt")},
      {"CLogFiles_Recv", Builder().u32(2217).i32(0).u32(1).u32(1)
                             .str("f").u32(2216).i32(0).u32(1).str("f").u32(3).u8(1).u8(0).u8(2)},
      {"CVCIStatus", Status()},
      {"CVCIStatusMap", TableOfOne(), {}, R"({"statuses": [{"serial": 42, "moduleState": 2, "kinds": 5,
          "legacy": true, "addresses": [{}, {"kind": 4, "address": "192.168.1.9"}],
          "sessions": {"sessions": [{"session": 7, "flag": true}]}, "deviceInfo": {"args": [{"value": "7"}]},
          "wireless": {"listName": "wl"}, "moduleType": 4660}]})"},
      // The table-changed event carries a whole VCI table.
      {"CIdentEvent_Send", Builder().u32(2075).u32(1).u32(0x8002).u32(0).raw(TableOfOne())},
      {"CBindMap", Bindings(), {}, R"({"foreign": [{"bindings": [{"seconds": 100, "local": "10.0.0.1"}]}]})"},
      // The zone beside the raw link quality.
      {"CVCIIdentMsg", CurrentAnnouncement(3), {}, R"({"version": 3, "serial": 4711, "kind": 4,
          "sessions": {"sessions": [{"text1": "diag"}]}, "sequence": 42, "wireless": true, "linkQuality": 2,
          "linkQualityRaw": 55, "signalLevel": -75, "noiseLevel": -90, "moduleType": 7})"},
      {"CVCIIdentMsg", noWireless},
      {"CRecoveryStatus", Builder().u32(2070).u32(2).u32(4711).u32(1).u32(2).u32(3).str("rescue").u32(2)
                              .u32(5).u8('b').u8('o').u8('o').u8('t').u8(0)},
      {"CRecoveryStatus", Builder().u32(2070).u32(2).u32(1).u32(0).u32(0).u32(0).str("").u32(2).u32(3).u8(0).u8(1).u8(2)},
      {"CRecoveryStatus", Builder().u32(2070).u32(2).u32(1).u32(0).u32(0).u32(0).str("").u32(2).u32(0)},
      // Other valid forms.
      {"CAppList", Builder().u32(2114).i32(0).u32(1).u32(2).u32(2113).u32(0).u32(2113).u32(0),
       Builder().u32(2114).i32(0).u32(1).u32(2).raw(EmptyApp()).raw(EmptyApp())},
      {"CGetConfigNEW_Send", Builder().u32(2021).u32(0), Builder().u32(2021).u32(1).u32(0)},
      {"CIdentEvent_Send", Builder().u32(2075).u32(1).u32(0x8004).u32(0),
       Builder().u32(2075).u32(1).u32(0x8004).u32(0).u32(2121).u32(1).u32(0)},
      {"CVCIIdentMsg", v1, noWireless},
      // A rewrite numbers the announcements on from the last sequence byte read
      // (255; 0x10 then 7, a version 0 one carries none), each in the newest layout.
      {"CVCICachedMap", Builder().u32(2163).u32(1).u32(2).raw(Entry(5, Status(), Announcement(5, 254)))
                            .raw(Entry(42, Status(), Announcement(42, 255))),
       Builder().u32(2163).u32(1).u32(2).raw(Entry(5, Status(), Announcement(5, 255)))
           .raw(Entry(42, Status(), Announcement(42, 0)))},
      {"CVCICachedMap", Builder().u32(2163).u32(1).u32(3).raw(Entry(1, Status(), Announcement(1, 0x10, 1)))
                            .raw(Entry(2, Status(), Announcement(2, 7))).raw(Entry(3, Builder().u32(2108).u32(0),
                                                                                   Builder().u32(2157).u8(0))),
       Builder().u32(2163).u32(1).u32(3).raw(Entry(1, Status(), Announcement(1, 7, 3, 0)))
           .raw(Entry(2, Status(), Announcement(2, 8))).raw(Entry(3, images::EmptyStatus(), Builder().u32(2157).u8(3)
           .u32(0).u32(0).u32(0).u8(0).u8(0).raw(images::Sessions({})).u8(9).u8(0).u8(0))),
       R"({"entries": [{"item": {"announcement": {"sequence": 7}}}, {"item": {"announcement": {"sequence": 8}}},
          {"item": {"announcement": {"version": 0, "sequence": 9}}}]})"},
  };
  for (Golden& g : goldens)
    if (g.out.empty()) g.out = g.in;
  return goldens;
}

TEST(DecodeEncode, EveryRecordComesBackInItsNewestLayout) {
  for (const Golden& g : Goldens()) {
    SCOPED_TRACE(std::string(g.cls) + " " + Hex(g.in));
    const nlohmann::json j = tooltest::Json("decode", Hex(g.in));
    ASSERT_TRUE(j.is_object());
    EXPECT_EQ(j.value("class", ""), g.cls);
    if (g.fields) tooltest::ExpectFields(j, nlohmann::json::parse(g.fields));
    Result back = Tool("encode --hex", j.dump());
    ASSERT_EQ(back.status, 0) << back.err;
    EXPECT_EQ(back.out, Hex(g.out) + "\n") << j.dump();
  }
  // Raw bytes out: the same archive as the hex text (one record serves; each
  // golden costs two tool runs already, which a sanitizer build feels).
  const Golden g = Goldens().front();
  EXPECT_EQ(Tool("encode", Tool("decode", Hex(g.in)).out).out, std::string(g.out.begin(), g.out.end()));
}

TEST(DecodeEncode, EncipheredArchivesAreDecipheredAndEncipheredAgain) {
  const std::string enc =
      tooltest::Out("encode --encrypt --frame --hex", R"({"class": "CGetConfigNEW_Send", "version": 1, "key": 16})");
  // Frame of 16 bytes: length, id with the flag 0x8000, one enciphered block.
  ASSERT_EQ(enc.size(), 33u);
  EXPECT_EQ(enc.substr(0, 16), "10000000E5870000");

  const std::string dec = tooltest::Out("decode --frame", enc);
  tooltest::ExpectFields(nlohmann::json::parse(dec, nullptr, false), {{"key", 16}, {"enciphered", true}});
  EXPECT_EQ(Tool("encode --frame --hex", dec).out, enc);
}

// Bad input of every kind: exit status 1, nothing on standard output, and
// one line on standard error that names what is wrong and where.
TEST(DecodeEncode, BadInputFailsWithExitOneAndTheReason) {
  const Bytes list = AppList(), legacy = LegacyStatus();
  nlohmann::json sessions = {{"class", "CSessionList"}, {"result", 0}, {"version", 1},
                             {"sessions", nlohmann::json::array()}};
  for (int i = 0; i < 255; ++i)
    sessions["sessions"].push_back({{"class", "CSessionList::CSession"}, {"version", 1}, {"session", 1},
                                    {"text1", ""}, {"text2", ""}, {"address", ""}, {"kind", 1}, {"flag", false}});
  // A count of 255 still fits its byte: id, result, version 1, count 255.
  EXPECT_EQ(Tool("encode --hex", sessions.dump()).out.substr(0, 20), "460800000000000001FF");
  sessions["sessions"].push_back(sessions["sessions"][0]);
  const nlohmann::ordered_json announcement =
      nlohmann::ordered_json::parse(Tool("decode", Hex(CurrentAnnouncement(3))).out);
  auto with = [&announcement](const char* key, int value) {
    nlohmann::ordered_json j = announcement;
    j[key] = value;
    return j.dump();
  };
  const struct {
    std::string command, input, reason;
  } rows[] = {
      {"decode", Hex(Bytes(list.begin(), list.begin() + 40)), "CAppList: read failed at byte 37 of 40"},
      {"decode", Hex(Builder().u32(2114).i32(0).u32(1).u32(0x10000000)), "CAppList: read failed at byte 16 of 16"},
      // A legacy datagram cut inside its client list.
      {"decode", Hex(Bytes(legacy.begin(), legacy.end() - 10)), "CVCIStatusMsg: read failed"},
      {"decode", "FFFFFF7F", "unknown object id 2147450879"},
      {"decode", "2E08", "the archive holds 2 bytes, no object id word"},
      {"decode", "", "the archive holds 0 bytes"},
      {"decode", "zz not an archive", "'z' at character 1"},
      // A typing slip in hexadecimal text is named where it is, instead of
      // the text being read as archive bytes.
      {"decode", "E5070000 0100000G 10000000\n",
       "vci-ident-tool: the input is neither archive bytes nor hexadecimal text: 'G' at character 17\n"},
      {"decode --frame", "10000000 2E080000 01000000", "the frame length word says 16 bytes, the input holds 12"},
      {"encode", "{not json", "the input is not valid JSON"},
      {"encode", R"({"class": "CNoSuchThing"})", "unknown class \"CNoSuchThing\""},
      {"encode", R"({"class": "CBluetoothReq_Send", "version": 1})", "sessionId"},
      {"encode", sessions.dump(), "255"},
      {"encode --hex", Tool("decode", Hex(legacy)).out, "cannot be encoded"},
      // An edited id or a misspelt flag is refused instead of dropped.
      {"encode", R"({"class": "CGetConfigNEW_Send", "id": 2094, "version": 1, "key": 16})", "\"id\" 2094"},
      {"encode", R"({"class": "CGetConfigNEW_Send", "version": 1, "key": 16, "enciphered": "yes"})", "enciphered"},
      // One-byte fields of an announcement are checked.
      {"encode", with("kind", 256), "kind"},
      {"encode", with("signalLevel", 128), "signalLevel"},
      // Nested records and list elements are named where they fail.
      {"encode", R"({"class": "CVCIStatusMap", "version": 1, "statuses": [7]})",
       "CVCIStatusMap: field \"statuses[0]\": a record must be a JSON object"},
      {"encode", R"({"class": "CVCIStatusMap", "version": 1, "statuses": [{"class": "CIdentEvent_Recv", "result": 0}]})",
       "field \"statuses[0]\" holds a record of the wrong class"},
      {"encode", R"({"class": "CBindMap", "version": 1, "foreign": [{"foreign": "a", "bindings": [1]}]})",
       "CBindMap: bindings[0] is not an object"},
      {"encode", R"({"class": "CRecoveryStatus", "version": 2, "serial": 1, "unused": [0, 0]})",
       "field \"unused\" must hold 3 numbers"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.command + " " + row.input.substr(0, 60));
    Result r = Tool(row.command, row.input);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find(row.reason), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  }
}

// Texts on the wire are bytes, not always UTF-8 (a VCI's names may be
// Latin-1): the JSON stays valid, with U+FFFD for each byte it cannot carry.
TEST(DecodeEncode, TextThatIsNotUtf8StillPrintsValidJson) {
  EXPECT_EQ(tooltest::Json("decode", Hex(Builder().u32(2215).u32(1).u32(1).str("M\xfcller")))["names"][0],
            "M\xef\xbf\xbdller");
}

// An announcement's fields in wire order; encode takes its link byte from
// linkQualityRaw, the zone being derived on reading. A legacy status message
// decodes (encode refuses it).
TEST(RecordJson, AnnouncementFieldsInWireOrderAndTheLegacyMessageByName) {
  nlohmann::ordered_json j = nlohmann::ordered_json::parse(Tool("decode", Hex(CurrentAnnouncement(3))).out);
  std::string keys;
  for (auto it = j.begin(); it != j.end(); ++it) keys += it.key() + " ";
  EXPECT_EQ(keys, "class id version serial tokenLow tokenHigh kind moduleState sessions sequence wireless apState "
                  "linkQuality linkQualityRaw signalLevel noiseLevel moduleType ");
  j.erase("linkQuality");
  j["linkQualityRaw"] = 90;
  Result e = Tool("encode --hex", j.dump());
  ASSERT_EQ(e.status, 0) << e.err;
  tooltest::ExpectFields(nlohmann::json::parse(Tool("decode", e.out).out), {{"linkQualityRaw", 90}, {"linkQuality", 3}});

  tooltest::ExpectFields(tooltest::Json("decode", Hex(LegacyStatus())),
                         nlohmann::json::parse(R"({"class": "CVCIStatusMsg", "serial": 77, "ethernetFlag": 1,
      "usbFlag": 1, "clients": [{"interface": "Ethernet"}], "moduleState": 2})"));
}

}  // namespace
