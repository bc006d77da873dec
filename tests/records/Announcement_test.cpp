#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "records/RecordImages.h"
#include "records/RecoveryStatus.h"
#include "records/VCIIdentMsg.h"
#include "records/VCIStatus.h"
#include "records/VCIStatusDynMap.h"
#include "records/VCIStatusMsg.h"

using wire::Builder;
using wire::Bytes;

namespace {

const uint32_t kDefaultZones[] = {30, 50, 60, 100};

// One session 7 on 10.0.0.5, Ethernet, flag set.
Builder OneSession() { return images::Sessions({images::Session(1)}); }

// A current announcement of serial 0x01020304, token 0x55667788:11223344,
// heard on Wireless, module state 0, one session, sequence 0x2A; from
// version 2 on the wireless block (when wireless: ap 1, raw link quality,
// signal -75, noise -90); from version 3 on the module type. The fields are
// those of version `fields` (by default the version byte's).
Builder IdentImage(uint8_t version, bool wireless = true, uint8_t rawLink = 55, uint8_t moduleType = 7,
                   uint8_t fields = 0) {
  Builder b;
  b.u32(2157).u8(version);
  if (fields == 0) fields = version;
  if (version == 0) return b;
  b.u32(0x01020304).u32(0x11223344).u32(0x55667788).u8(4).u8(0).raw(OneSession()).u8(0x2A);
  if (fields >= 2) {
    b.u8(wireless ? 1 : 0);
    if (wireless) b.u8(1).u8(rawLink).u8(0xB5).u8(0xA6);
  }
  if (fields >= 3) b.u8(moduleType);
  return b;
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
  b.u32(eth).u32(wl).u32(usb).u32(1).count(static_cast<uint32_t>(clients.size()));
  for (auto& c : clients) b.u32(2025).u8(1).u32(c.first).str(c.second).str("app " + std::to_string(c.first)).str("pc");
  if (version >= 2) b.u32(2);
  return b;
}

// A recovery announcement of serial 4711 in module state 2 with a block.
Builder RecoveryImage(uint32_t version, const std::string& block, const std::string& text = "rescue") {
  Builder b;
  b.u32(2070).u32(version);
  if (version == 0) return b;
  b.u32(4711).u32(1).u32(2).u32(3).str(text).u32(2);
  if (block.empty()) return b.count(0);
  return b.count(static_cast<uint32_t>(block.size() + 1)).raw(Bytes(block.begin(), block.end())).u8(0);
}

std::string Value(const CArgList& list, const char* name) {
  std::string v;
  return list.GetValue(name, v) ? v : "<absent>";
}

// "name=value ..." in name order.
std::string Pairs(const CArgList& list) {
  std::string out;
  for (const auto& a : list.m_Args) out += (out.empty() ? "" : " ") + a.first + "=" + a.second.m_strValue;
  return out;
}

// "serial state kind type version date [token] sessions pairs" of an announcement.
std::string Brief(const CVCIIdentMsg& m) {
  std::ostringstream o;
  o << m.GetSerial() << " " << m.GetModuleState() << " " << m.GetKind() << " " << m.GetModuleType() << " "
    << std::hex << m.GetProductVersion() << " " << m.GetProductDate() << std::dec
    << (m.IsTokenZero() ? "" : " token") << " " << m.GetSessions().m_Sessions.size() << " " << m.GetWireless().Count();
  return o.str();
}

bool LoadIdent(CVCIIdentMsg& msg, const Bytes& bytes) {
  msg.SetLinkQualityZones(4, kDefaultZones);
  return wire::Load(msg, bytes);
}

// A record holding announcements, with the sequence counter at 0 for a read
// that sets none.
template <typename T>
wire::RecordCase Announcing(const std::string& name, const Builder& image, const Bytes& written) {
  return {name, [] { CVCIIdentMsg::SetSequenceCounter(0); return wire::Make<T>(); }, image, written};
}

TEST(Announcements, EveryFormReadsWritesTheNewestLayoutAndRefusesBrokenImages) {
  using wire::Rewritten;
  const Builder noWireless = IdentImage(3, false, 0, 0);
  const Bytes recovery0 = Builder().u32(2070).u32(2).u32(0).u32(0).u32(0).u32(0).str("").u32(0).u32(0);
  // Read without zones, the link byte 0 is zone 0 and goes out as 0 again.
  wire::CheckRoundTrips({
      Announcing<CVCIIdentMsg>("announcement", IdentImage(3, true, 0), IdentImage(3, true, 0)),
      Announcing<CVCIIdentMsg>("announcement without wireless", noWireless, noWireless),
      Announcing<CVCIIdentMsg>("announcement of version 0", IdentImage(0),
                               Builder().u32(2157).u8(3).u32(0).u32(0).u32(0).u8(0).u8(0).raw(images::Sessions({}))
                                   .u8(0).u8(0).u8(0)),
      Announcing<CVCIIdentMsg>("announcement of version 1", IdentImage(1), noWireless),
      Announcing<CVCIIdentMsg>("announcement of version 2", IdentImage(2, false), noWireless),
      Announcing<CVCIIdentMsg>("a wireless flag other than 1 is no block", IdentImage(2, false, 0, 0, 1).u8(2),
                               noWireless),
      Announcing<CVCIIdentMsg>("announcement of a newer version", IdentImage(4, false, 0, 0, 3).u8(0xEE),
                               noWireless),
      wire::Newest<CRecoveryStatus>("recovery announcement", RecoveryImage(2, "boot loader")),
      wire::Newest<CRecoveryStatus>("recovery announcement without a block", RecoveryImage(2, "")),
      Rewritten<CRecoveryStatus>("recovery announcement of version 0", RecoveryImage(0, ""), recovery0),
      Rewritten<CRecoveryStatus>("recovery announcement of version 1", RecoveryImage(1, "x"), RecoveryImage(2, "x")),
      // The service only reads the legacy status message: it writes nothing.
      Rewritten<CVCIStatusMsg>("legacy status", LegacyImage(2, {{1, "Ethernet"}, {2, "USB"}}, 0, 1, 1), {}),
      Rewritten<CVCIStatusMsg>("legacy status of version 1", LegacyImage(1, {{1, "Local"}}, 0, 0, 0), {}),
      Rewritten<CVCIStatusMsg>("legacy status of version 0", LegacyImage(0, {}, 0, 0, 0), {}),
      Rewritten<CClientInfo>("legacy client", Builder().u32(2025).u8(1).u32(3).str("USB").str("a").str("b"), {}),
  });
}

// Field by field the layout is held by the round trips above and the cache
// item written from its parts; what a read makes of the wireless block is
// checked here: the pairs it yields, the raw link quality's zone in the lent
// table, signed levels.
TEST(IdentMsg, ReadsTheWirelessBlockOfEachVersionAndMapsTheLinkQualityOntoTheLentZones) {
  CVCIIdentMsg msg;
  CVCIIdentMsg::SetSequenceCounter(0);
  ASSERT_TRUE(LoadIdent(msg, IdentImage(3)));
  EXPECT_EQ(CVCIIdentMsg::GetSequenceCounter(), 0x2A);  // kept process-wide
  EXPECT_EQ(Pairs(msg.GetWireless()),
            "IFEnable=True ap-state=1 link-quality=2 link-quality-raw=55 noise-level=-90 signal-level=-75");
  // Version 1: no wireless information at all; version 2 with flag 0:
  // "IFEnable" = "False" alone. A reused message keeps nothing of a longer read.
  ASSERT_TRUE(LoadIdent(msg, IdentImage(1)));
  EXPECT_EQ(Pairs(msg.GetWireless()) + "|" + std::to_string(msg.GetModuleType()), "|0");
  ASSERT_TRUE(LoadIdent(msg, IdentImage(2, false)));
  EXPECT_EQ(Pairs(msg.GetWireless()), "IFEnable=False");

  const std::pair<int, const char*> zones[] = {{0, "0"},  {30, "0"},  {31, "1"},  {50, "1"},  {51, "2"}, {60, "2"},
                                               {61, "3"}, {100, "3"}, {101, "0"}, {130, "0"}, {255, "0"}};
  for (const auto& z : zones) {
    ASSERT_TRUE(LoadIdent(msg, IdentImage(3, true, static_cast<uint8_t>(z.first))));
    EXPECT_EQ(Value(msg.GetWireless(), "link-quality") + " " + Value(msg.GetWireless(), "link-quality-raw"),
              z.second + (" " + std::to_string(z.first)));
  }

  // Thresholds are taken in table order, not sorted; copies share the table.
  const uint32_t unordered[] = {80, 20};
  msg.SetLinkQualityZones(2, unordered);
  EXPECT_EQ(msg.GetLinkQualityZone(81), 0u);
  EXPECT_EQ(CVCIIdentMsg(msg).GetLinkQualityZone(50), 0u);

  // Without a table every raw value is zone 0; a lent table survives a read.
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
  msg.SetWireless(WirelessPairs({{"IFEnable", "True"}, {"ap-state", "1"}, {"link-quality", "2"},
                                 {"link-quality-raw", "55"}, {"signal-level", "-75"}, {"noise-level", "-90"}}));
  CVCIIdentMsg::SetSequenceCounter(0x2A);
  EXPECT_EQ(wire::Store(msg), Bytes(IdentImage(3, true, 2)));
  EXPECT_EQ(CVCIIdentMsg::GetSequenceCounter(), 0x2B);

  // The counter wraps after 255.
  CVCIIdentMsg::SetSequenceCounter(0xFF);
  Bytes first = wire::Store(msg), second = wire::Store(msg);
  size_t seq = 4 + 1 + 4 + 8 + 1 + 1 + OneSession().bytes().size();
  EXPECT_EQ(first[seq], 0xFF);
  EXPECT_EQ(second[seq], 0x00);

  struct Case {
    std::initializer_list<std::pair<const char*, const char*>> pairs;
    Bytes tail;  // flag, link bytes, module type
  };
  const Case cases[] = {
      // A missing value goes out as 0 and so does everything behind it.
      {{{"IFEnable", "True"}, {"ap-state", "3"}, {"signal-level", "-75"}}, {1, 3, 0, 0, 0, 7}},
      // Values wider than a byte are truncated the way atoi and a byte cast do.
      {{{"IFEnable", "True"}, {"ap-state", "257"}, {"link-quality", "x"}, {"signal-level", "-1"},
        {"noise-level", "12abc"}},
       {1, 1, 0, 0xFF, 12, 7}},
      // No block unless "IFEnable" is exactly "True".
      {{{"IFEnable", "False"}, {"ap-state", "1"}}, {0, 7}},
      {{{"IFEnable", "true"}, {"ap-state", "1"}}, {0, 7}},
  };
  for (const Case& c : cases) {
    msg.SetWireless(WirelessPairs(c.pairs));
    Bytes out = wire::Store(msg);
    EXPECT_EQ(Bytes(out.begin() + seq + 1, out.end()), c.tail);
  }
}

TEST(LegacyStatusMsg, ConvertsIntoTheCurrentAnnouncement) {
  CVCIStatusMsg msg;
  // Modem before any known name is USB, after one it keeps the previous client's kind.
  ASSERT_TRUE(wire::Load(msg, LegacyImage(2, {{1, "Modem"}, {2, "Ethernet"}, {3, "Local"}, {4, "Wireless"},
                                              {5, "Bluetooth"}, {6, "Modem"}, {7, "USB"}}, 0, 1, 1)));
  CVCIIdentMsg ident = msg.ToIdentMsg();
  EXPECT_EQ(Brief(ident), "77 2 4 31 203 20091231 7 0");  // kind: Ethernet flag clear, Wireless set
  std::string sessions;
  for (const auto& c : ident.GetSessions().m_Sessions)
    sessions += std::to_string(c.m_uiSession) + " " + std::to_string(c.m_uiKind) + " " + c.m_strAddress + " " +
                c.m_strText1 + " " + c.m_strText2 + (c.m_bFlag ? "|" : " unflagged|");
  EXPECT_EQ(sessions, "1 2 169.254.10.2 app 1 pc|2 1 10.0.0.5 app 2 pc|3 8 127.0.0.1 app 3 pc|"
                      "4 4 192.168.1.9 app 4 pc|5 16 192.168.1.9 app 5 pc|6 16 192.168.1.9 app 6 pc|"
                      "7 2 169.254.10.2 app 7 pc|");

  // The message's kind follows the presence flags of the last read.
  ASSERT_TRUE(wire::Load(msg, LegacyImage(1, {}, 1, 1, 1)));
  EXPECT_EQ(Brief(msg.ToIdentMsg()), "77 1 1 31 203 20091231 0 0");
  ASSERT_TRUE(wire::Load(msg, LegacyImage(1, {}, 0, 0, 0)));
  EXPECT_EQ(Brief(msg.ToIdentMsg()), "77 1 2 31 203 20091231 0 0");
}

TEST(RecoveryStatus, CarriesATextBlockAndIsAlwaysTakenAsHeardOnUsb) {
  CRecoveryStatus rec;
  ASSERT_TRUE(wire::Load(rec, RecoveryImage(2, "boot loader")));
  EXPECT_EQ(rec.GetBlockText(), "boot loader");
  rec.m_Block.clear();
  rec.SetBlockText("boot loader");  // the text and its terminator
  EXPECT_EQ(wire::Store(rec), Bytes(RecoveryImage(2, "boot loader")));

  EXPECT_EQ(Brief(rec.ToIdentMsg()), "4711 " + std::to_string(VCI_MODULE_STATE_RECOVERY) + " 2 0 0 0 0 0");
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
  EXPECT_TRUE(item.HasChanged(msg.GetSessions(), msg.GetWireless(), 2, msg.GetToken()));
}

}  // namespace
