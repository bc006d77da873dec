#include <gtest/gtest.h>

#include "discovery/BindMap.h"
#include "discovery/VCIStatusDynMap.h"
#include "discovery/VCIStatusMap.h"
#include "service_clients/WireBytes.h"

using wire::Builder;
using wire::Bytes;

namespace {

Builder Sessions1() {
  Builder b;
  b.u32(2118).i32(0).u8(1).u8(1);
  b.u32(2117).u32(1).u32(7).str("t1").str("t2").str("10.0.0.5").u32(1).u32(1);
  return b;
}

Builder Wireless() {
  Builder b;
  b.u32(2123).i32(0).u32(1).str("wl").u32(1).u32(2122).u32(1).str("IFEnable").str("False");
  return b;
}

// Status of serial 42, module state 2, empty lists, kinds 5, legacy, one
// address per kind 1 and 4, up to the given version.
Builder StatusImage(uint32_t version) {
  Builder b;
  b.u32(2108).u32(version);
  if (version == 0) return b;
  b.u32(42).u32(2);
  b.u32(2114).i32(0).u32(1).u32(0);
  b.raw(Sessions1());
  b.u32(2154).i32(0).u32(1).u32(0);
  b.u32(2154).i32(0).u32(1).u32(0);
  b.u32(2123).i32(0).u32(1).str("").u32(0);
  b.u32(5).u8(1).u8(0).u32(2).u32(1).str("10.0.0.5").u32(4).str("192.168.1.9");
  if (version >= 2) b.raw(Wireless());
  if (version >= 3) b.u32(0x1234);
  return b;
}

TEST(StatusRecords, ArgAndSessionListsMatchHandWrittenBytes) {
  CArgList args;
  ASSERT_TRUE(wire::Load(args, Wireless()));
  std::string v;
  EXPECT_TRUE(args.GetValue("IFEnable", v));
  EXPECT_EQ(v, "False");
  EXPECT_FALSE(args.GetValue("ap-state", v));
  EXPECT_EQ(wire::Store(args), Bytes(Wireless()));
  wire::ExpectEveryPrefixFails<CArgList>(Wireless());
  wire::ExpectWrongIdsFail<CArgList>(Wireless());

  CArgList other;
  other.SetValue("IFEnable", "True");
  EXPECT_NE(args, other);
  other.SetValue("IFEnable", "False");
  EXPECT_EQ(args, other);  // the list name is not compared

  CSessionList sessions;
  ASSERT_TRUE(wire::Load(sessions, Sessions1()));
  ASSERT_EQ(sessions.m_Sessions.size(), 1u);
  EXPECT_TRUE(sessions.m_Sessions[0].m_bFlag);
  EXPECT_EQ(sessions.m_Sessions[0].m_strAddress, "10.0.0.5");
  EXPECT_EQ(wire::Store(sessions), Bytes(Sessions1()));
  wire::ExpectEveryPrefixFails<CSessionList>(Sessions1());

  // A flag word other than 1 reads as false; the session number is not compared.
  Bytes flag2 = Sessions1();
  flag2.back() = 0;
  flag2[flag2.size() - 4] = 2;
  CSessionList s2;
  ASSERT_TRUE(wire::Load(s2, flag2));
  EXPECT_FALSE(s2.m_Sessions[0].m_bFlag);
  s2.m_Sessions[0].m_bFlag = true;
  s2.m_Sessions[0].m_uiSession = 99;
  EXPECT_EQ(s2, sessions);

  CSessionList big;
  big.m_Sessions.resize(256);
  CArchiveBuffer ar(CArchiveBuffer::STORING);
  EXPECT_FALSE(big.Serialize(ar));
  big.m_Sessions.resize(255);
  EXPECT_EQ(wire::Store(big)[9], 255);
}

TEST(StatusRecords, StatusReadsEveryVersionAndWritesTheNewest) {
  CVCIStatus st;
  ASSERT_TRUE(wire::Load(st, StatusImage(3)));
  EXPECT_EQ(st.m_uiSerial, 42u);
  EXPECT_EQ(st.m_uiKinds, 5u);
  EXPECT_TRUE(st.m_bLegacy);
  EXPECT_EQ(st.m_Addresses.at(4), "192.168.1.9");
  EXPECT_EQ(st.m_uiModuleType, 0x1234u);
  EXPECT_EQ(wire::Store(st), Bytes(StatusImage(3)));
  wire::ExpectEveryPrefixFails<CVCIStatus>(StatusImage(3));
  wire::ExpectWrongIdsFail<CVCIStatus>(StatusImage(3));

  CVCIStatus v1;
  ASSERT_TRUE(wire::Load(v1, StatusImage(1)));
  EXPECT_EQ(v1.m_uiVersion, 1u);
  EXPECT_EQ(v1.m_Wireless.Count(), 0u);
  EXPECT_EQ(v1.m_uiModuleType, 0u);
  // Written back it announces the fields it carries, so it reads back.
  Bytes again = wire::Store(v1);
  CVCIStatus back;
  ASSERT_TRUE(wire::Load(back, again));
  EXPECT_EQ(back.m_uiVersion, 3u);
  EXPECT_EQ(back.m_uiSerial, 42u);

  CVCIStatus v0;
  ASSERT_TRUE(wire::Load(v0, StatusImage(0)));
  EXPECT_EQ(v0.m_uiSerial, 0u);

  CVCIStatus refreshed;
  refreshed.m_uiKinds = 2;
  refreshed.AssignKeepingKinds(v1);
  EXPECT_EQ(refreshed.m_uiKinds, 7u);
  EXPECT_EQ(refreshed.m_uiSerial, 42u);
}

TEST(StatusRecords, ListsAndEntriesOfVersionZeroAreWrittenAsTheyWereRead) {
  // Inside a status every list is followed by more fields: a list or entry of
  // version 0 that was written with the fields of version 1 would shift them.
  Bytes image = Builder()
                    .u32(2108).u32(3).u32(42).u32(0)
                    .u32(2114).i32(0).u32(1).u32(0)
                    .u32(2118).i32(0).u8(1).u8(2).u32(2117).u32(0).raw(Builder().u32(2117).u32(1).u32(7)
                        .str("t1").str("t2").str("10.0.0.5").u32(1).u32(1))
                    .u32(2154).i32(0).u32(1).u32(0)
                    .u32(2154).i32(0).u32(1).u32(0)
                    .u32(2123).i32(0).u32(0)
                    .u32(0).u8(0).u8(0).u32(0)
                    .u32(2123).i32(0).u32(1).str("wl").u32(1).u32(2122).u32(0)
                    .u32(9);
  CVCIStatus st;
  ASSERT_TRUE(wire::Load(st, image));
  ASSERT_EQ(st.m_Sessions.m_Sessions.size(), 2u);
  EXPECT_EQ(st.m_Sessions.m_Sessions[1].m_strAddress, "10.0.0.5");
  EXPECT_EQ(st.m_uiModuleType, 9u);
  EXPECT_EQ(wire::Store(st), image);

  Bytes binds = Builder().u32(2164).u32(0);
  CBindMap b;
  ASSERT_TRUE(wire::Load(b, binds));
  EXPECT_EQ(wire::Store(b), binds);
  CSessionList sessions;
  ASSERT_TRUE(wire::Load(sessions, Builder().u32(2118).i32(0).u8(0)));
  EXPECT_EQ(wire::Store(sessions), Builder().u32(2118).i32(0).u8(0).bytes());
}

TEST(StatusRecords, StatusMapAndBindMapLayouts) {
  Bytes map = Builder().u32(2121).u32(1).u32(1).raw(StatusImage(3));
  CVCIStatusMap m;
  ASSERT_TRUE(wire::Load(m, map));
  EXPECT_EQ(m.GetAt(0).m_uiSerial, 42u);
  EXPECT_EQ(m.GetAt(5).m_uiSerial, 0u);
  EXPECT_EQ(wire::Store(m), map);
  ASSERT_TRUE(wire::Load(m, Builder().u32(2121).u32(0)));
  EXPECT_EQ(m.Count(), 0u);

  Bytes binds = Builder()
                    .u32(2164).u32(1).u32(1)
                    .u32(2).str("10.0.0.5")
                    .u32(100).u32(0).u32(5).u32(0).str("10.0.0.1")
                    .u32(0xFFFFFFFF).u32(0xFFFFFFFF).u32(0).u32(0).str("10.0.0.2");
  CBindMap b;
  ASSERT_TRUE(wire::Load(b, binds));
  EXPECT_EQ(b.m_Map.at("10.0.0.5")[1].m_Confirmed.m_iSeconds, -1);
  EXPECT_EQ(wire::Store(b), binds);
  wire::ExpectEveryPrefixFails<CBindMap>(binds);
  wire::ExpectWrongIdsFail<CBindMap>(binds);

  EXPECT_EQ(b.GetLocalAddr("10.0.0.5"), "10.0.0.1");
  EXPECT_EQ(b.GetLocalAddr("10.9.9.9"), "");
  b.GetOrCreate("10.0.0.6").push_back(CBindMap::Binding{TimePoint(), "10.0.0.1"});
  b.RemoveLocal("10.0.0.1");
  EXPECT_EQ(b.GetLocalAddr("10.0.0.5"), "10.0.0.2");
  EXPECT_EQ(b.Count(), 1u);
  ASSERT_TRUE(wire::Load(b, Builder().u32(2164).u32(0)));
  EXPECT_EQ(b.Count(), 0u);
}

TimePoint At(int64_t ms) { return TimePoint{1700000000, 0}.PlusMilliseconds(ms); }

TEST(LiveTable, SweepHonoursKindLimits) {
  EXPECT_EQ(TimePoint({10, 999999999}).MillisecondsUntil(TimePoint{11, 0}), 0);
  EXPECT_EQ(TimePoint({10, 0}).MillisecondsUntil(TimePoint{9, 500000000}), -500);

  CVCIStatusDynMap live;
  CVCIStatusDynItem& wl = live.FindOrAdd(1);
  wl.m_Status.m_uiSerial = 1;
  EXPECT_TRUE(wl.SetKindAddress(At(0), VCI_KIND_WIRELESS, "192.168.1.9"));
  wl.AddKinds(VCI_KIND_WIRELESS);
  CVCIStatusDynItem& eu = live.FindOrAdd(2);
  eu.m_Status.m_uiSerial = 2;
  eu.SetKindAddress(At(0), VCI_KIND_ETHERNET, "10.0.0.5");
  eu.SetKindAddress(At(0), VCI_KIND_USB, "169.254.1.1");
  eu.AddKinds(VCI_KIND_ETHERNET | VCI_KIND_USB);
  EXPECT_FALSE(eu.SetKindAddress(At(0), VCI_KIND_USB, "169.254.1.1"));
  EXPECT_FALSE(eu.SetKindAddress(At(0), VCI_KIND_USB, nullptr));
  live.FindOrAdd(3);  // placeholder
  uint32_t serial = 0;
  live.GetStatusAt(1, serial);  // a client copy taken while USB is live

  EXPECT_FALSE(live.CheckTimeouts(At(5500)));  // placeholder goes silently
  EXPECT_EQ(live.Count(), 2u);
  live.FindOrAdd(2).SetKindAddress(At(5100), VCI_KIND_ETHERNET, "10.0.0.5");
  EXPECT_TRUE(live.CheckTimeouts(At(5501)));  // USB falls silent
  EXPECT_EQ(live.FindOrAdd(2).m_Status.m_uiKinds, static_cast<uint32_t>(VCI_KIND_ETHERNET));
  CVCIStatus copy = live.GetStatusAt(1, serial);
  EXPECT_EQ(serial, 2u);
  EXPECT_EQ(copy.m_Addresses.at(VCI_KIND_USB), "169.254.1.1");  // address stays

  EXPECT_FALSE(live.CheckTimeouts(At(10500)));
  EXPECT_FALSE(live.CheckTimeouts(At(-1000)));  // clock went back
  EXPECT_TRUE(live.CheckTimeouts(At(10501)));
  EXPECT_EQ(live.Count(), 1u);
  EXPECT_TRUE(live.CheckTimeouts(At(10501 + 100)));
  EXPECT_EQ(live.Count(), 0u);

  // A kind bit without a table entry is cleared at once.
  live.FindOrAdd(4).AddKinds(VCI_KIND_LOCAL);
  EXPECT_TRUE(live.CheckTimeouts(At(0)));
  EXPECT_EQ(live.Count(), 0u);
}

TEST(LiveTable, ChangeDetectionAndFillOfTheClientTable) {
  CVCIStatusDynMap live;
  CVCIStatusDynItem& item = live.FindOrAdd(9);
  item.m_Status.m_uiSerial = 9;
  item.SetKindAddress(At(0), VCI_KIND_ETHERNET, "10.0.0.5");
  item.AddKinds(VCI_KIND_ETHERNET);
  CSessionList sessions;
  ASSERT_TRUE(wire::Load(sessions, Sessions1()));
  CArgList wireless;
  uint32_t token[2] = {0, 0};
  EXPECT_TRUE(item.HasChanged(sessions, wireless, 0, token));
  item.UpdateFromAnnouncement(sessions, wireless, 0);
  EXPECT_FALSE(item.HasChanged(sessions, wireless, 0, token));
  EXPECT_TRUE(item.HasChanged(sessions, wireless, 2, token));
  token[1] = 1;
  EXPECT_TRUE(item.HasChanged(sessions, wireless, 0, token));

  CVCIStatusMap table;
  table.FillFrom(live);
  ASSERT_EQ(table.Count(), 1u);
  EXPECT_EQ(table.GetAt(0).m_Addresses.at(1), "10.0.0.5");
  EXPECT_EQ(table.GetAt(0).m_Sessions, sessions);

  Bytes dyn = wire::Store(live);
  CVCIStatusDynMap back;
  ASSERT_TRUE(wire::Load(back, dyn));
  EXPECT_TRUE(back.FindOrAdd(9).m_KindTable.empty());  // not serialised
  EXPECT_EQ(wire::Store(back), dyn);
  wire::ExpectEveryPrefixFails<CVCIStatusDynMap>(dyn);
}

}  // namespace
