// The announcements through decode and encode of the built tool, from
// hand-written images.
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

Builder OneSession() {
  Builder b;
  b.u32(2118).i32(0).u8(1).u8(1);
  b.u32(2117).u32(1).u32(7).str("diag").str("tester").str("10.0.0.5").u32(4).u32(0);
  return b;
}

// Serial 4711 on Wireless, sequence 0x2A, ap 1, raw link quality 55,
// signal -75, noise -90, module type 7.
Bytes CurrentAnnouncement() {
  return Builder()
      .u32(2157).u8(3).u32(4711).u32(0xCAFE).u32(0xBEEF).u8(4).u8(0)
      .raw(OneSession()).u8(0x2A)
      .u8(1).u8(1).u8(55).u8(0xB5).u8(0xA6)
      .u8(7);
}

TEST(AnnouncementJson, CurrentAnnouncementShowsTheZoneAndTheRawLinkQuality) {
  Result r = Tool("decode", Hex(CurrentAnnouncement()));
  ASSERT_EQ(r.status, 0) << r.err;
  nlohmann::ordered_json j = nlohmann::ordered_json::parse(r.out);
  EXPECT_EQ(j["class"], "CVCIIdentMsg");
  EXPECT_EQ(j["version"], 3);
  EXPECT_EQ(j["serial"], 4711);
  EXPECT_EQ(j["kind"], 4);
  EXPECT_EQ(j["sessions"]["sessions"][0]["text1"], "diag");
  EXPECT_EQ(j["sequence"], 0x2A);
  EXPECT_EQ(j["wireless"], true);
  EXPECT_EQ(j["linkQuality"], 2);
  EXPECT_EQ(j["linkQualityRaw"], 55);
  EXPECT_EQ(j["signalLevel"], -75);
  EXPECT_EQ(j["noiseLevel"], -90);
  EXPECT_EQ(j["moduleType"], 7);

  // Wire order.
  std::vector<std::string> keys;
  for (auto it = j.begin(); it != j.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"class", "id", "version", "serial", "tokenLow", "tokenHigh", "kind",
                                            "moduleState", "sessions", "sequence", "wireless", "apState",
                                            "linkQuality", "linkQualityRaw", "signalLevel", "noiseLevel",
                                            "moduleType"}));
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
  nlohmann::json j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["class"], "CVCIStatusMsg");
  EXPECT_EQ(j["serial"], 77);
  EXPECT_EQ(j["ethernetFlag"], 1);
  EXPECT_EQ(j["usbFlag"], 1);
  EXPECT_EQ(j["clients"][0]["interface"], "Ethernet");
  EXPECT_EQ(j["moduleState"], 2);

  Result back = Tool("encode --hex", r.out);
  EXPECT_EQ(back.status, 1);
  EXPECT_TRUE(back.out.empty());
  EXPECT_NE(back.err.find("cannot be encoded"), std::string::npos) << back.err;

  // A legacy datagram cut inside its client list names where it stopped.
  Result cut = Tool("decode", Hex(Bytes(legacy.begin(), legacy.end() - 10)));
  EXPECT_EQ(cut.status, 1);
  EXPECT_NE(cut.err.find("CVCIStatusMsg"), std::string::npos) << cut.err;
}

TEST(AnnouncementJson, EncodeChecksTheOneByteFields) {
  Result r = Tool("decode", Hex(CurrentAnnouncement()));
  ASSERT_EQ(r.status, 0) << r.err;
  nlohmann::ordered_json j = nlohmann::ordered_json::parse(r.out);
  for (auto bad : {std::make_pair("kind", 256), std::make_pair("signalLevel", 128)}) {
    nlohmann::ordered_json copy = j;
    copy[bad.first] = bad.second;
    Result e = Tool("encode --hex", copy.dump());
    EXPECT_EQ(e.status, 1) << bad.first;
    EXPECT_NE(e.err.find(bad.first), std::string::npos) << e.err;
  }
  // The link byte comes from linkQualityRaw; the zone is derived on reading.
  j.erase("linkQuality");
  j["linkQualityRaw"] = 90;
  Result e = Tool("encode --hex", j.dump());
  ASSERT_EQ(e.status, 0) << e.err;
  Result again = Tool("decode", e.out);
  nlohmann::json k = nlohmann::json::parse(again.out);
  EXPECT_EQ(k["linkQualityRaw"], 90);
  EXPECT_EQ(k["linkQuality"], 3);
}

}  // namespace
