// The interface list record: its bytes on the wire, its reading of short,
// foreign and version-0 input, and the comparison that decides whether the
// monitor tells anyone about a change.
#include <gtest/gtest.h>

#include <functional>

#include "netif/IFList.h"
#include "records/WireBytes.h"

namespace {

using wire::Builder;
using wire::Bytes;

// CIF 10.0.0.5/255.0.0.0, USB, "eth1", laid out by hand: id 2119, version,
// address, mask, broadcast, hardware address, kind, name.
Builder UsbIF(uint32_t version = 1) {
  return Builder().u32(2119).u32(version).str("10.0.0.5").str("255.0.0.0").str("10.255.255.255")
      .str("00:0A:1B:2C:3D:4E").i32(IF_USB).str("eth1");
}
const Builder kLoopIF = Builder().u32(2119).u32(1).str("127.0.0.1").str("255.0.0.0").str("255.0.0.0")
                            .str("00:01:02:03:04:05").i32(IF_LOCAL).str("");
const Builder kEmptyIF = Builder().u32(2119).u32(1).str("").str("").str("").str("").i32(0).str("");
// The list: id 2120, result 0, version 1, count 2, records in address order.
const Builder kList = Builder().u32(2120).u32(0).u32(1).count(2).raw(UsbIF()).raw(kLoopIF);

CIFList SampleList() {
  CIFList l;
  // Inserted in the opposite order of the wire: the map orders by text.
  EXPECT_EQ(0, l.AddIF("127.0.0.1", "255.0.0.0", "255.0.0.0", "00:01:02:03:04:05", IF_LOCAL, ""));
  EXPECT_EQ(0, l.AddIF("10.0.0.5", "255.0.0.0", "10.255.255.255", "00:0A:1B:2C:3D:4E", IF_USB, "eth1"));
  return l;
}

TEST(CIFList, ReadsEveryVersionWritesTheNewestLayoutAndRefusesBrokenImages) {
  using wire::Newest;
  using wire::Rewritten;
  wire::CheckRoundTrips({
      Newest<CIFList::CIF>("interface", UsbIF()),
      Rewritten<CIFList::CIF>("interface of version 0", Builder().u32(2119).u32(0), kEmptyIF),
      Rewritten<CIFList::CIF>("interface of a newer version", UsbIF(2).u32(0xEE), UsbIF()),
      Newest<CIFList>("interfaces", kList),
      Rewritten<CIFList>("interfaces of version 0", Builder().u32(2120).i32(-3).u32(0),
                         Builder().u32(2120).i32(-3).u32(1).u32(0)),
      // The record of version 0 has no more bytes than its head; written with
      // that 0 word, its fields would be taken for the next record.
      Rewritten<CIFList>("interfaces holding one of version 0",
                         Builder().u32(2120).u32(0).u32(1).count(2).u32(2119).u32(0).raw(UsbIF()),
                         Builder().u32(2120).u32(0).u32(1).u32(2).raw(kEmptyIF).raw(UsbIF())),
  });
  CIFList l = SampleList();
  EXPECT_TRUE(wire::Store(l) == kList.bytes());
  EXPECT_FALSE(wire::Load(l, Bytes(kList.bytes().begin(), kList.bytes().end() - 3)));
  EXPECT_EQ(1u, l.GetCount()) << "the records read before the failure stay";
  EXPECT_TRUE(l.Contains("10.0.0.5"));
}

// One record per address, in address order; the index getters leave their
// outputs alone past the end.
TEST(CIFList, AnAddressAddedAgainReplacesItsRecordAndNullTextsAreRefused) {
  CIFList l = SampleList();
  EXPECT_EQ(0, l.AddIF("192.168.1.5", "255.0.0.0", "192.255.255.255", "00:00:00:00:00:01", IF_ETHERNET, "a"));
  EXPECT_EQ(0, l.AddIF("192.168.1.5", "255.255.255.0", "192.168.1.255", "00:00:00:00:00:02", IF_ETHERNET, "eth0"));
  EXPECT_EQ(-1, l.AddIF(nullptr, "m", "b", "h", IF_ETHERNET, "x"));
  EXPECT_EQ(-1, l.AddIF("1.1.1.1", "m", "b", nullptr, IF_ETHERNET, "x"));
  ASSERT_EQ(3u, l.GetCount());
  EXPECT_EQ("255.255.255.0", l.GetAt(2)->m_strMask);
  std::string a;
  int32_t kind = 0;
  EXPECT_EQ(0, l.GetAddress(0, a));
  EXPECT_EQ("10.0.0.5", a);
  EXPECT_EQ(0, l.GetAddress(1, a, kind));
  EXPECT_EQ("127.0.0.1", a);
  EXPECT_EQ(IF_LOCAL, kind);
  EXPECT_EQ(0, l.GetName(2, a));
  EXPECT_EQ("eth0", a);
  a = "untouched";
  kind = 99;
  EXPECT_EQ(-1, l.GetAddress(3, a, kind));
  EXPECT_EQ(-1, l.GetName(3, a));
  EXPECT_EQ("untouched", a);
  EXPECT_EQ(99, kind);
  CIFList::CIF partial("1.1.1.1", nullptr, "b", IF_USB, "h", "n");
  EXPECT_EQ(IF_USB, partial.m_eIF);
  EXPECT_EQ("", partial.m_strAddress);
}

// Equal exactly when every record has an equal one, in any order and of any
// version; a copy is equal and keeps nothing of what it replaced.
TEST(CIFList, ListsCompareByEveryFieldOfEveryRecordButTheVersion) {
  const CIFList base = SampleList();
  CIFList copy, older;
  copy.AddIF("1.2.3.4", "255.0.0.0", "1.255.255.255", "00:00:00:00:00:09", IF_ETHERNET, "old");
  copy = base;
  copy = copy;
  CIFList::CIF changed = *base.GetAt(0);
  changed.m_uiVersion = 7;
  older.Put(*base.GetAt(1));
  older.Put(changed);
  EXPECT_FALSE(base != copy || base != older || older != base);
  EXPECT_FALSE(CIFList() != CIFList());
  EXPECT_TRUE(base != CIFList());
  const std::function<void(CIFList::CIF&)> changes[] = {
      [](CIFList::CIF& r) { r.m_strAddress += "x"; },   [](CIFList::CIF& r) { r.m_strMask += "x"; },
      [](CIFList::CIF& r) { r.m_strBroadcast += "x"; }, [](CIFList::CIF& r) { r.m_strHWAddr += "x"; },
      [](CIFList::CIF& r) { r.m_strName += "x"; },      [](CIFList::CIF& r) { r.m_eIF = IF_ETHERNET; }};
  for (size_t i = 0; i < 6; ++i) {
    CIFList other;
    CIFList::CIF record = *base.GetAt(0);
    changes[i](record);
    other.Put(record);
    other.Put(*base.GetAt(1));
    EXPECT_TRUE(base != other && other != base) << "change " << i;
  }
}

}  // namespace
