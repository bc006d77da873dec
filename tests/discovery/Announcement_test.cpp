#include <gtest/gtest.h>

#include <string>

#include "discovery/RecoveryStatus.h"
#include "discovery/VCIIdentMsg.h"
#include "discovery/VCIStatus.h"
#include "discovery/VCIStatusDynMap.h"
#include "discovery/VCIStatusMsg.h"
#include "service_clients/WireBytes.h"

using wire::Builder;
using wire::Bytes;

namespace {

const uint32_t kDefaultZones[] = {30, 50, 60, 100};

// One session 7 on 10.0.0.5, Ethernet, flag set.
Builder OneSession() {
  Builder b;
  b.u32(2118).i32(0).u8(1).u8(1);
  b.u32(2117).u32(1).u32(7).str("diag").str("tester").str("10.0.0.5").u32(1).u32(1);
  return b;
}

// A current announcement of serial 0x01020304, token 0x55667788:11223344,
// heard on Wireless, module state 0, one session, sequence 0x2A; from
// version 2 on the wireless block (when wireless: ap 1, raw link quality,
// signal -75, noise -90); from version 3 on module type 7.
Builder IdentImage(uint8_t version, bool wireless = true, uint8_t rawLink = 55) {
  Builder b;
  b.u32(2157).u8(version);
  if (version == 0) return b;
  b.u32(0x01020304).u32(0x11223344).u32(0x55667788).u8(4).u8(0).raw(OneSession()).u8(0x2A);
  if (version >= 2) {
    b.u8(wireless ? 1 : 0);
    if (wireless) b.u8(1).u8(rawLink).u8(0xB5).u8(0xA6);
  }
  if (version >= 3) b.u8(7);
  return b;
}

std::string Value(const CArgList& list, const char* name) {
  std::string v;
  return list.GetValue(name, v) ? v : "<absent>";
}

bool LoadIdent(CVCIIdentMsg& msg, const Bytes& bytes) {
  msg.SetLinkQualityZones(4, kDefaultZones);
  return wire::Load(msg, bytes);
}

TEST(IdentMsg, CurrentLayoutReadsEveryField) {
  CVCIIdentMsg msg;
  CVCIIdentMsg::SetSequenceCounter(0);
  Bytes image = IdentImage(3);
  image.push_back(0xEE);  // a newer writer's field: ignored
  ASSERT_TRUE(LoadIdent(msg, image));
  EXPECT_EQ(msg.GetVersion(), 3);
  EXPECT_EQ(msg.GetSerial(), 0x01020304u);
  EXPECT_EQ(msg.GetTokenLow(), 0x11223344u);
  EXPECT_EQ(msg.GetTokenHigh(), 0x55667788u);
  EXPECT_EQ(msg.GetKind(), static_cast<uint32_t>(VCI_KIND_WIRELESS));
  EXPECT_EQ(msg.GetModuleState(), 0u);
  ASSERT_EQ(msg.GetSessions().m_Sessions.size(), 1u);
  EXPECT_EQ(msg.GetSessions().m_Sessions[0].m_strText1, "diag");
  EXPECT_EQ(msg.GetModuleType(), 7u);
  EXPECT_EQ(msg.GetProductVersion(), 0u);
  EXPECT_EQ(CVCIIdentMsg::GetSequenceCounter(), 0x2A);  // kept process-wide, not in the message

  const CArgList& wl = msg.GetWireless();
  EXPECT_EQ(wl.Count(), 6u);
  EXPECT_EQ(Value(wl, "IFEnable"), "True");
  EXPECT_EQ(Value(wl, "ap-state"), "1");
  EXPECT_EQ(Value(wl, "link-quality"), "2");
  EXPECT_EQ(Value(wl, "link-quality-raw"), "55");
  EXPECT_EQ(Value(wl, "signal-level"), "-75");
  EXPECT_EQ(Value(wl, "noise-level"), "-90");

  wire::ExpectEveryPrefixFails<CVCIIdentMsg>(IdentImage(3));
  wire::ExpectWrongIdsFail<CVCIIdentMsg>(IdentImage(3));
}

TEST(IdentMsg, OlderVersionsStopAtTheirLastField) {
  CVCIIdentMsg msg;
  ASSERT_TRUE(LoadIdent(msg, IdentImage(0)));
  EXPECT_EQ(msg.GetVersion(), 0);
  EXPECT_EQ(msg.GetSerial(), 0u);

  ASSERT_TRUE(LoadIdent(msg, IdentImage(1)));
  EXPECT_EQ(msg.GetSerial(), 0x01020304u);
  EXPECT_EQ(msg.GetWireless().Count(), 0u);
  EXPECT_EQ(msg.GetModuleType(), 0u);
  wire::ExpectEveryPrefixFails<CVCIIdentMsg>(IdentImage(1));

  // Flag 0: "IFEnable" = "False" and nothing else; no module type in version 2.
  ASSERT_TRUE(LoadIdent(msg, IdentImage(2, false)));
  EXPECT_EQ(msg.GetWireless().Count(), 1u);
  EXPECT_EQ(Value(msg.GetWireless(), "IFEnable"), "False");
  EXPECT_EQ(msg.GetModuleType(), 0u);
  wire::ExpectEveryPrefixFails<CVCIIdentMsg>(IdentImage(2, true));

  // A flag other than 1 counts as no wireless block.
  Bytes flag2 = IdentImage(2, false);
  flag2.back() = 2;
  ASSERT_TRUE(LoadIdent(msg, flag2));
  EXPECT_EQ(Value(msg.GetWireless(), "IFEnable"), "False");

  // A reused message does not keep what an earlier, longer read filled in.
  ASSERT_TRUE(LoadIdent(msg, IdentImage(3)));
  ASSERT_TRUE(LoadIdent(msg, IdentImage(1)));
  EXPECT_EQ(msg.GetWireless().Count(), 0u);
  EXPECT_EQ(msg.GetModuleType(), 0u);
}

TEST(IdentMsg, RawLinkQualityMapsOntoTheLentZones) {
  struct Case {
    uint8_t raw;
    const char* zone;
  };
  for (Case c : {Case{0, "0"}, Case{30, "0"}, Case{31, "1"}, Case{50, "1"}, Case{51, "2"}, Case{60, "2"},
                 Case{61, "3"}, Case{100, "3"}, Case{101, "0"}, Case{130, "0"}, Case{255, "0"}}) {
    CVCIIdentMsg msg;
    ASSERT_TRUE(LoadIdent(msg, IdentImage(3, true, c.raw)));
    EXPECT_EQ(Value(msg.GetWireless(), "link-quality"), c.zone) << "raw " << int(c.raw);
    EXPECT_EQ(Value(msg.GetWireless(), "link-quality-raw"), std::to_string(c.raw));
  }

  // Thresholds are taken in table order, not sorted.
  const uint32_t unordered[] = {80, 20};
  CVCIIdentMsg msg;
  msg.SetLinkQualityZones(2, unordered);
  EXPECT_EQ(msg.GetLinkQualityZone(10), 0u);
  EXPECT_EQ(msg.GetLinkQualityZone(81), 0u);
  EXPECT_EQ(CVCIIdentMsg(msg).GetLinkQualityZone(50), 0u);  // copies share the lent table

  // Without a table every raw value is zone 0; the table survives a read.
  CVCIIdentMsg none;
  ASSERT_TRUE(wire::Load(none, IdentImage(3)));
  EXPECT_EQ(Value(none.GetWireless(), "link-quality"), "0");
  ASSERT_TRUE(LoadIdent(msg, IdentImage(3)));
  ASSERT_TRUE(wire::Load(msg, IdentImage(3)));
  EXPECT_EQ(Value(msg.GetWireless(), "link-quality"), "2");

  // Signal and noise travel signed.
  Bytes image = IdentImage(3);
  image[image.size() - 3] = 0x7F;
  image[image.size() - 2] = 0x80;
  ASSERT_TRUE(LoadIdent(msg, image));
  EXPECT_EQ(Value(msg.GetWireless(), "signal-level"), "127");
  EXPECT_EQ(Value(msg.GetWireless(), "noise-level"), "-128");
}

CArgList WirelessPairs(std::initializer_list<std::pair<const char*, const char*>> pairs) {
  CArgList list;
  for (auto& p : pairs) list.SetValue(p.first, p.second);
  return list;
}

TEST(IdentMsg, WritingTakesTheSequenceCounterAndTheZoneNotTheRawValue) {
  CSessionList sessions;
  ASSERT_TRUE(wire::Load(sessions, OneSession()));
  CVCIIdentMsg msg(0x01020304, 0, 0x11223344, 0x55667788, sessions, VCI_KIND_WIRELESS, 0x0500, 0x20240101, 7);
  msg.SetWireless(WirelessPairs({{"IFEnable", "True"},
                                 {"ap-state", "1"},
                                 {"link-quality", "2"},
                                 {"link-quality-raw", "55"},
                                 {"signal-level", "-75"},
                                 {"noise-level", "-90"}}));
  CVCIIdentMsg::SetSequenceCounter(0x2A);
  EXPECT_EQ(wire::Store(msg), Bytes(IdentImage(3, true, 2)));
  EXPECT_EQ(CVCIIdentMsg::GetSequenceCounter(), 0x2B);

  // The counter wraps after 255.
  CVCIIdentMsg::SetSequenceCounter(0xFF);
  Bytes first = wire::Store(msg), second = wire::Store(msg);
  size_t seq = 4 + 1 + 4 + 8 + 1 + 1 + OneSession().bytes().size();
  EXPECT_EQ(first[seq], 0xFF);
  EXPECT_EQ(second[seq], 0x00);

  // A missing value goes out as 0 and so does everything behind it.
  msg.SetWireless(WirelessPairs({{"IFEnable", "True"}, {"ap-state", "3"}, {"signal-level", "-75"}}));
  Bytes partial = wire::Store(msg);
  EXPECT_EQ(Bytes(partial.begin() + seq + 1, partial.end()), Bytes({1, 3, 0, 0, 0, 7}));

  // Values wider than a byte are truncated the way atoi and a byte cast do.
  msg.SetWireless(WirelessPairs(
      {{"IFEnable", "True"}, {"ap-state", "257"}, {"link-quality", "x"}, {"signal-level", "-1"}, {"noise-level", "12abc"}}));
  Bytes wide = wire::Store(msg);
  EXPECT_EQ(Bytes(wide.begin() + seq + 1, wide.end()), Bytes({1, 1, 0, 0xFF, 12, 7}));

  // No block unless "IFEnable" is exactly "True".
  for (const char* enable : {"False", "true"}) {
    msg.SetWireless(WirelessPairs({{"IFEnable", enable}, {"ap-state", "1"}}));
    Bytes off = wire::Store(msg);
    EXPECT_EQ(Bytes(off.begin() + seq + 1, off.end()), Bytes({0, 7})) << enable;
  }
}

TEST(IdentMsg, AnOlderMessageIsWrittenInTheNewestLayout) {
  CVCIIdentMsg msg;
  ASSERT_TRUE(LoadIdent(msg, IdentImage(1)));
  Bytes again = wire::Store(msg);
  EXPECT_EQ(again[4], 3);
  // Version 3, no wireless block, module type 0; the sequence byte is the
  // counter the read left behind.
  Bytes expected = IdentImage(3, false);
  expected.back() = 0;
  EXPECT_EQ(again, expected);
  CVCIIdentMsg back;
  ASSERT_TRUE(LoadIdent(back, again));
  EXPECT_EQ(back.GetSerial(), 0x01020304u);
  EXPECT_EQ(Value(back.GetWireless(), "IFEnable"), "False");
}

// A legacy message of serial 77 with the given clients (flag, number,
// interface name), presence flags Ethernet/Wireless/USB, module state 2 from
// version 2 on.
Builder LegacyImage(uint32_t version, const std::vector<std::pair<uint32_t, std::string>>& clients,
                    uint32_t eth, uint32_t wl, uint32_t usb) {
  Builder b;
  b.u32(2026).u32(version);
  if (version == 0) return b;
  b.str("unused").str("192.168.1.9").str("169.254.10.2").str("10.0.0.5");
  b.u32(77).u32(0x0203).u32(0x20091231).u32(11).u32(12).u32(13).u32(14).u32(0x1F);
  b.u32(eth).u32(wl).u32(usb).u32(1);
  b.u32(static_cast<uint32_t>(clients.size()));
  for (auto& c : clients) b.u32(2025).u8(1).u32(c.first).str(c.second).str("app " + std::to_string(c.first)).str("pc");
  if (version >= 2) b.u32(2);
  return b;
}

TEST(LegacyStatusMsg, ReadsTheLayoutAndKeepsThePresenceFlagsProcessWide) {
  Bytes image = LegacyImage(2, {{1, "Ethernet"}, {2, "USB"}}, 0, 1, 1);
  CVCIStatusMsg msg;
  ASSERT_TRUE(wire::Load(msg, image));
  EXPECT_EQ(msg.m_uiSerial, 77u);
  EXPECT_EQ(msg.m_uiProductVersion, 0x0203u);
  EXPECT_EQ(msg.m_uiProductDate, 0x20091231u);
  EXPECT_EQ(msg.m_uiModuleType, 0x1Fu);
  EXPECT_EQ(msg.m_uiModuleState, 2u);
  EXPECT_EQ(msg.m_strEthernetAddr, "10.0.0.5");
  ASSERT_EQ(msg.m_Clients.size(), 2u);
  EXPECT_TRUE(msg.m_Clients[1].m_bFlag);
  EXPECT_EQ(msg.m_Clients[1].m_strInterface, "USB");
  EXPECT_EQ(msg.m_Clients[1].m_strText1, "app 2");
  CVCIStatusMsg::PresenceFlags flags = CVCIStatusMsg::GetPresenceFlags();
  EXPECT_EQ(flags.uiEthernet, 0u);
  EXPECT_EQ(flags.uiWireless, 1u);
  EXPECT_EQ(flags.uiUsb, 1u);
  EXPECT_EQ(flags.uiFourth, 1u);
  wire::ExpectEveryPrefixFails<CVCIStatusMsg>(image);
  wire::ExpectWrongIdsFail<CVCIStatusMsg>(image);

  // A client with a wrong id fails the whole message.
  Bytes badClient = image;
  size_t firstClient = LegacyImage(2, {}, 0, 1, 1).bytes().size() - 4;
  ASSERT_EQ(badClient[firstClient], 0xE9);  // 2025 = 0x07E9
  badClient[firstClient + 1] |= 0x80;
  EXPECT_FALSE(wire::Load(msg, badClient));

  // Version 1 carries no module state and means state 1.
  ASSERT_TRUE(wire::Load(msg, LegacyImage(1, {{1, "Local"}}, 0, 0, 0)));
  EXPECT_EQ(msg.m_uiModuleState, 1u);

  // Read only: a write succeeds and writes nothing.
  EXPECT_TRUE(wire::Store(msg).empty());
}

TEST(LegacyStatusMsg, ConvertsIntoTheCurrentAnnouncement) {
  CVCIStatusMsg msg;
  ASSERT_TRUE(wire::Load(msg, LegacyImage(2,
                                          {{1, "Modem"},  // unknown before any known name: USB
                                           {2, "Ethernet"},
                                           {3, "Local"},
                                           {4, "Wireless"},
                                           {5, "Bluetooth"},
                                           {6, "Modem"},  // keeps the previous client's kind
                                           {7, "USB"}},
                                          0, 1, 1)));
  CVCIIdentMsg ident = msg.ToIdentMsg();
  EXPECT_EQ(ident.GetSerial(), 77u);
  EXPECT_EQ(ident.GetModuleState(), 2u);
  EXPECT_TRUE(ident.IsTokenZero());
  EXPECT_EQ(ident.GetProductVersion(), 0x0203u);
  EXPECT_EQ(ident.GetProductDate(), 0x20091231u);
  EXPECT_EQ(ident.GetModuleType(), 0x1Fu);
  EXPECT_EQ(ident.GetKind(), static_cast<uint32_t>(VCI_KIND_WIRELESS));  // Ethernet flag clear, Wireless set

  struct Expected {
    uint32_t kind;
    const char* address;
  };
  const Expected expected[] = {{2, "169.254.10.2"}, {1, "10.0.0.5"},    {8, "127.0.0.1"},   {4, "192.168.1.9"},
                               {16, "192.168.1.9"}, {16, "192.168.1.9"}, {2, "169.254.10.2"}};
  const auto& sessions = ident.GetSessions().m_Sessions;
  ASSERT_EQ(sessions.size(), 7u);
  for (size_t i = 0; i < sessions.size(); ++i) {
    EXPECT_EQ(sessions[i].m_uiSession, i + 1) << i;
    EXPECT_EQ(sessions[i].m_uiKind, expected[i].kind) << i;
    EXPECT_EQ(sessions[i].m_strAddress, expected[i].address) << i;
    EXPECT_EQ(sessions[i].m_strText1, "app " + std::to_string(i + 1));
    EXPECT_EQ(sessions[i].m_strText2, "pc");
    EXPECT_TRUE(sessions[i].m_bFlag);
  }

  // The message's kind follows the presence flags of the last read.
  ASSERT_TRUE(wire::Load(msg, LegacyImage(1, {}, 1, 1, 1)));
  EXPECT_EQ(msg.ToIdentMsg().GetKind(), static_cast<uint32_t>(VCI_KIND_ETHERNET));
  EXPECT_EQ(msg.ToIdentMsg().GetModuleState(), 1u);
  ASSERT_TRUE(wire::Load(msg, LegacyImage(1, {}, 0, 0, 0)));
  EXPECT_EQ(msg.ToIdentMsg().GetKind(), static_cast<uint32_t>(VCI_KIND_USB));
  EXPECT_TRUE(msg.ToIdentMsg().GetSessions().m_Sessions.empty());
}

// A recovery announcement of serial 4711 in module state 2 with a block.
Builder RecoveryImage(uint32_t version, const std::string& block) {
  Builder b;
  b.u32(2070).u32(version);
  if (version == 0) return b;
  b.u32(4711).u32(1).u32(2).u32(3).str("rescue").u32(2);
  if (block.empty()) return b.u32(0);
  b.u32(static_cast<uint32_t>(block.size() + 1)).raw(Bytes(block.begin(), block.end())).u8(0);
  return b;
}

TEST(RecoveryStatus, ReadsAndWritesItsLayoutWithTheOwnedBlock) {
  Bytes image = RecoveryImage(2, "boot loader");
  CRecoveryStatus rec;
  ASSERT_TRUE(wire::Load(rec, image));
  EXPECT_EQ(rec.m_uiSerial, 4711u);
  EXPECT_EQ(rec.m_strText, "rescue");
  EXPECT_EQ(rec.m_uiModuleState, 2u);
  EXPECT_EQ(rec.m_Block.size(), 12u);
  EXPECT_EQ(rec.GetBlockText(), "boot loader");
  EXPECT_EQ(wire::Store(rec), image);
  wire::ExpectEveryPrefixFails<CRecoveryStatus>(image);
  wire::ExpectWrongIdsFail<CRecoveryStatus>(image);

  // No block travels as length 0; a text block with its terminator.
  rec.m_Block.clear();
  EXPECT_EQ(wire::Store(rec), Bytes(RecoveryImage(2, "")));
  rec.SetBlockText("boot loader");
  EXPECT_EQ(wire::Store(rec), image);
  ASSERT_TRUE(wire::Load(rec, RecoveryImage(2, "")));
  EXPECT_TRUE(rec.m_Block.empty());
  ASSERT_TRUE(wire::Load(rec, RecoveryImage(0, "")));
  EXPECT_EQ(rec.m_uiSerial, 0u);

  // A block length beyond what arrived fails before anything is allocated.
  Bytes huge = RecoveryImage(2, "");
  for (int i = 0; i < 4; ++i) huge[huge.size() - 4 + i] = 0xFF;
  EXPECT_FALSE(wire::Load(rec, huge));
}

TEST(RecoveryStatus, IsAlwaysTakenAsHeardOnUsb) {
  CRecoveryStatus rec;
  ASSERT_TRUE(wire::Load(rec, RecoveryImage(2, "x")));
  CVCIIdentMsg ident = rec.ToIdentMsg();
  EXPECT_EQ(ident.GetSerial(), 4711u);
  EXPECT_EQ(ident.GetModuleState(), static_cast<uint32_t>(VCI_MODULE_STATE_RECOVERY));
  EXPECT_EQ(ident.GetKind(), static_cast<uint32_t>(VCI_KIND_USB));
  EXPECT_TRUE(ident.IsTokenZero());
  EXPECT_TRUE(ident.GetSessions().m_Sessions.empty());
  EXPECT_EQ(ident.GetWireless().Count(), 0u);
}

TEST(LiveTable, ItemComparesWithAndUpdatesFromAnAnnouncement) {
  CVCIStatusDynItem item;
  item.m_Status.m_uiSerial = 0x01020304;
  item.m_Status.m_Apps.SetResult(5);  // stands for the fetched lists
  CVCIIdentMsg msg;
  ASSERT_TRUE(LoadIdent(msg, IdentImage(3)));
  EXPECT_TRUE(item.HasChanged(msg));
  item.UpdateFromAnnouncement(msg);
  EXPECT_EQ(item.m_Status.m_Sessions, msg.GetSessions());
  EXPECT_EQ(item.m_Status.m_Wireless, msg.GetWireless());
  EXPECT_EQ(item.m_Status.m_Apps.GetResult(), 5);
  // The token is not copied by the update, so the item still differs.
  EXPECT_TRUE(item.HasChanged(msg));
  item.m_Token[0] = msg.GetTokenLow();
  item.m_Token[1] = msg.GetTokenHigh();
  EXPECT_FALSE(item.HasChanged(msg));
}

}  // namespace
