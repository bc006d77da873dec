#include <gtest/gtest.h>

#include "records/BindMap.h"
#include "records/RecordImages.h"
#include "records/VCIStatusDynMap.h"
#include "records/VCIStatusMap.h"

using namespace images;
using wire::Bytes;

namespace {

// A status of serial 42 with the fields of version `fields` behind the
// version word `word`: module state 2, an application-components list with
// result -1, kinds 5, legacy, an address on kinds 1 and 4.
Builder Status(uint32_t word, uint32_t fields) {
  Builder b;
  b.u32(2108).u32(word);
  if (fields == 0) return b;
  b.u32(42).u32(2).raw(EmptyList(2114)).raw(Sessions({Session(1)})).raw(EmptyList(2154, -1)).raw(EmptyList(2154));
  b.raw(Args("", {})).u32(5).u8(1).u8(0).count(2).u32(1).str("10.0.0.5").u32(4).str("192.168.1.9");
  if (fields >= 2) b.raw(Args("wl", {Arg(1, "IFEnable", "False")}));
  if (fields >= 3) b.u32(0x1234);
  return b;
}

Builder Bindings() {
  return Builder().u32(2164).u32(1).count(1).count(2).str("10.0.0.5").u32(100).u32(0).u32(5).u32(0)
      .str("10.0.0.1").u32(0xFFFFFFFF).u32(0xFFFFFFFF).u32(0).u32(0).str("10.0.0.2");
}

TEST(StatusRecords, EveryRecordReadsWritesTheNewestLayoutAndRefusesBrokenImages) {
  using wire::Newest;
  using wire::Rewritten;
  const Builder item = Builder().u32(2160).u32(3).raw(Status(3, 3));
  wire::CheckRoundTrips({
      Newest<CArgList::CArg>("pair", Arg(1, "IFEnable", "True")),
      Rewritten<CArgList::CArg>("pair of version 0", Arg(0, "", ""), Arg(1, "", "")),
      Newest<CArgList>("pairs", Args("wl", {Arg(1, "a", "1"), Arg(1, "b", "2")})),
      Rewritten<CArgList>("pairs of version 0", Builder().u32(2123).i32(3).u32(0),
                          Builder().u32(2123).i32(3).u32(1).str("").u32(0)),
      Newest<CSessionList::CSession>("session", Session(1)),
      Rewritten<CSessionList::CSession>("session of version 0", Session(0), EmptySession()),
      Newest<CSessionList>("sessions", Sessions({Session(1), Session(1, 0)})),
      Rewritten<CSessionList>("a flag word other than 1 reads as false", Sessions({Session(1, 2)}),
                              Sessions({Session(1, 0)})),
      Rewritten<CSessionList>("sessions of version 0", Builder().u32(2118).i32(0).u8(0), Sessions({})),
      Newest<CVCIStatus>("status", Status(3, 3)),
      Rewritten<CVCIStatus>("status of version 0", Status(0, 0), EmptyStatus()),
      Rewritten<CVCIStatus>("status of version 1", Status(1, 1), Status(3, 1).raw(Args("", {})).u32(0)),
      Rewritten<CVCIStatus>("status of version 2", Status(2, 2), Status(3, 2).u32(0)),
      Rewritten<CVCIStatus>("status of a newer version", Status(4, 3).u32(0xEE), Status(3, 3)),
      // Inside a status every list is followed by more fields: a list or an
      // entry of version 0 written with a 0 word would shift them.
      Rewritten<CVCIStatus>("status holding lists and entries of version 0",
                            Builder().u32(2108).u32(3).u32(0).u32(0).u32(2114).i32(0).u32(0)
                                .raw(Sessions({Session(0), Session(1)})).u32(2154).i32(0).u32(0).raw(EmptyList(2154))
                                .u32(2123).i32(0).u32(0).u32(0).u8(0).u8(0).u32(0).raw(Args("wl", {Arg(0, "", "")}))
                                .u32(9),
                            Builder().u32(2108).u32(3).u32(0).u32(0).raw(EmptyList(2114))
                                .raw(Sessions({EmptySession(), Session(1)})).raw(EmptyList(2154)).raw(EmptyList(2154))
                                .raw(Args("", {})).u32(0).u8(0).u8(0).u32(0).raw(Args("wl", {Arg(1, "", "")})).u32(9)),
      Newest<CVCIStatusMap>("status table", Builder().u32(2121).u32(1).count(1).raw(Status(3, 3))),
      Rewritten<CVCIStatusMap>("status table of version 0", Builder().u32(2121).u32(0),
                               Builder().u32(2121).u32(1).u32(0)),
      Newest<CVCIStatusDynItem>("live item", item),
      Rewritten<CVCIStatusDynItem>("live item of version 0", Builder().u32(2160).u32(0),
                                   Builder().u32(2160).u32(3).raw(EmptyStatus())),
      Newest<CVCIStatusDynMap>("live table", Builder().u32(2161).u32(1).count(1).u32(42).raw(item)),
      Rewritten<CVCIStatusDynMap>("live table of version 0", Builder().u32(2161).u32(0),
                                  Builder().u32(2161).u32(1).u32(0)),
      Newest<CBindMap>("bindings", Bindings()),
      Rewritten<CBindMap>("bindings of version 0", Builder().u32(2164).u32(0), Builder().u32(2164).u32(1).u32(0)),
  });
}

TEST(StatusRecords, ListsCompareByContentAndSessionsFitInOneCountByte) {
  CArgList args, other;
  args.m_strListName = "wl";
  args.SetValue("IFEnable", "False");
  other.SetValue("IFEnable", "True");
  EXPECT_NE(args, other);
  other.SetValue("IFEnable", "False");
  EXPECT_EQ(args, other);  // the list name is not compared

  CSessionList a, b;
  ASSERT_TRUE(wire::Load(a, Sessions({Session(1)})));
  ASSERT_TRUE(wire::Load(b, Sessions({Session(1)})));
  b.m_Sessions[0].m_uiSession = 99;  // the session number is not compared
  EXPECT_EQ(a, b);
  b.m_Sessions[0].m_uiKind = 4;
  EXPECT_NE(a, b);

  CSessionList big;
  big.m_Sessions.resize(256);
  CArchiveBuffer ar(CArchiveBuffer::STORING);
  EXPECT_FALSE(big.Serialize(ar));
  big.m_Sessions.resize(255);
  EXPECT_EQ(wire::Store(big)[9], 255);
}

TEST(StatusRecords, TablesLookUpAndDropEntries) {
  CVCIStatus refreshed;
  refreshed.m_uiKinds = 2;
  CVCIStatus cached;
  ASSERT_TRUE(wire::Load(cached, Status(3, 3)));
  cached.m_uiKinds = 5;
  refreshed.AssignKeepingKinds(cached);
  EXPECT_EQ(refreshed.m_uiKinds, 7u);
  EXPECT_EQ(refreshed.m_uiSerial, 42u);

  CVCIStatusMap map;
  map.FindOrAdd(42) = cached;
  EXPECT_EQ(map.GetAt(0).m_uiSerial, 42u);
  EXPECT_EQ(map.GetAt(5).m_uiSerial, 0u);

  CBindMap b;
  ASSERT_TRUE(wire::Load(b, Bindings()));
  EXPECT_EQ(b.m_Map.at("10.0.0.5")[1].m_Confirmed.m_iSeconds, -1);
  EXPECT_EQ(b.GetLocalAddr("10.0.0.5"), "10.0.0.1");  // the first binding made
  EXPECT_EQ(b.GetLocalAddr("10.9.9.9"), "");
  b.GetOrCreate("10.0.0.6").push_back(CBindMap::Binding{TimePoint(), "10.0.0.1"});
  b.RemoveLocal("10.0.0.1");
  EXPECT_EQ(b.GetLocalAddr("10.0.0.5"), "10.0.0.2");
  EXPECT_EQ(b.Count(), 1u);  // the emptied list went with its key
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
  CVCIStatusMap table;
  table.FillFrom(live);
  ASSERT_EQ(table.Count(), 2u);
  EXPECT_EQ(table.GetAt(0).m_Addresses.at(VCI_KIND_WIRELESS), "192.168.1.9");

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

}  // namespace
