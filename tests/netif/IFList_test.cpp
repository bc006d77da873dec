// The interface list record: its bytes on the wire, its reading of short,
// foreign and version-0 input, and the comparison that decides whether the
// monitor tells anyone about a change.
#include <gtest/gtest.h>

#include "netif/IFList.h"
#include "service_clients/WireBytes.h"

using wire::Bytes;

namespace {

// Hex bytes ("47 08 00 00") and plain text, appended as written.
Bytes H(const char* hex) {
  Bytes out;
  unsigned v;
  int n;
  while (sscanf(hex, " %2x%n", &v, &n) == 1) {
    out.push_back(static_cast<uint8_t>(v));
    hex += n;
  }
  return out;
}
Bytes T(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// CIF 10.0.0.5/255.0.0.0, USB, "eth1", laid out by hand.
const Bytes kUsbIF = Cat({H("47 08 00 00  01 00 00 00"), H("08 00 00 00"), T("10.0.0.5"), H("09 00 00 00"),
                          T("255.0.0.0"), H("0E 00 00 00"), T("10.255.255.255"), H("11 00 00 00"),
                          T("00:0A:1B:2C:3D:4E"), H("02 00 00 00"), H("04 00 00 00"), T("eth1")});
// The loopback entry: empty name.
const Bytes kLoopIF = Cat({H("47 08 00 00  01 00 00 00"), H("09 00 00 00"), T("127.0.0.1"), H("09 00 00 00"),
                           T("255.0.0.0"), H("09 00 00 00"), T("255.0.0.0"), H("11 00 00 00"),
                           T("00:01:02:03:04:05"), H("08 00 00 00"), H("00 00 00 00")});
// The list: id 2120, result 0, version 1, count 2, records in address order.
const Bytes kList = Cat({H("48 08 00 00  00 00 00 00  01 00 00 00  02 00 00 00"), kUsbIF, kLoopIF});

CIFList SampleList() {
  CIFList l;
  // Inserted in the opposite order of the wire: the map orders by text.
  EXPECT_EQ(0, l.AddIF("127.0.0.1", "255.0.0.0", "255.0.0.0", "00:01:02:03:04:05", IF_LOCAL, ""));
  EXPECT_EQ(0, l.AddIF("10.0.0.5", "255.0.0.0", "10.255.255.255", "00:0A:1B:2C:3D:4E", IF_USB, "eth1"));
  return l;
}

TEST(CIFList, WritesTheHandBuiltLayoutAndReadsItBackEqual) {
  CIFList l = SampleList();
  EXPECT_EQ(kList, wire::Store(l));

  CIFList back;
  ASSERT_TRUE(wire::Load(back, kList));
  EXPECT_EQ(2u, back.GetCount());
  EXPECT_FALSE(back != l);
  EXPECT_EQ(kList, wire::Store(back));

  CIFList::CIF rec;
  ASSERT_TRUE(wire::Load(rec, kUsbIF));
  EXPECT_EQ("10.255.255.255", rec.m_strBroadcast);
  EXPECT_EQ(IF_USB, rec.m_eIF);
  EXPECT_EQ("eth1", rec.m_strName);
}

TEST(CIFList, EveryTruncationFailsAndKeepsTheRecordsReadBeforeIt) {
  wire::ExpectEveryPrefixFails<CIFList>(kList);
  wire::ExpectEveryPrefixFails<CIFList::CIF>(kUsbIF);

  // Cut inside the second record: the first one stays.
  CIFList l;
  Bytes cut(kList.begin(), kList.end() - 3);
  EXPECT_FALSE(wire::Load(l, cut));
  EXPECT_EQ(1u, l.GetCount());
  EXPECT_TRUE(l.Contains("10.0.0.5"));
}

TEST(CIFList, ForeignOrEncipheredIdsFail) {
  Bytes list = kList, rec = kUsbIF;
  list[1] = 0x88;  // 0x8848: the list id with the enciphered flag
  rec[1] = 0x88;
  CIFList l;
  CIFList::CIF r;
  EXPECT_FALSE(wire::Load(l, list));
  EXPECT_FALSE(wire::Load(r, rec));
  // A record id inside the list where a CIF belongs.
  Bytes nested = kList;
  nested[16] = 0x48;
  EXPECT_FALSE(wire::Load(l, nested));
  // The list's and the record's ids are not interchangeable.
  EXPECT_FALSE(wire::Load(l, kUsbIF));
  EXPECT_FALSE(wire::Load(r, kList));
}

TEST(CIFList, VersionZeroReadsAsEmptyAndACountBeyondTheInputFailsAtOnce) {
  CIFList l = SampleList();
  EXPECT_TRUE(wire::Load(l, H("48 08 00 00  00 00 00 00  00 00 00 00")));
  EXPECT_EQ(0u, l.GetCount());

  CIFList::CIF r;
  EXPECT_TRUE(wire::Load(r, H("47 08 00 00  00 00 00 00")));
  EXPECT_EQ(0u, r.m_uiVersion);
  EXPECT_EQ("", r.m_strAddress);

  EXPECT_FALSE(wire::Load(l, H("48 08 00 00  00 00 00 00  01 00 00 00  FF FF FF 7F")));
}

TEST(CIFList, AddingAnAddressAgainReplacesItAndNullTextsAreRefused) {
  CIFList l;
  EXPECT_EQ(0, l.AddIF("10.0.0.5", "255.0.0.0", "10.255.255.255", "00:00:00:00:00:01", IF_ETHERNET, "a"));
  EXPECT_EQ(0, l.AddIF("10.0.0.5", "255.255.0.0", "10.0.255.255", "00:00:00:00:00:01", IF_ETHERNET, "a"));
  ASSERT_EQ(1u, l.GetCount());
  EXPECT_EQ("255.255.0.0", l.GetAt(0)->m_strMask);

  EXPECT_EQ(-1, l.AddIF(nullptr, "m", "b", "h", IF_ETHERNET, "x"));
  EXPECT_EQ(-1, l.AddIF("1.1.1.1", "m", "b", nullptr, IF_ETHERNET, "x"));
  EXPECT_EQ(1u, l.GetCount());

  CIFList::CIF partial("1.1.1.1", nullptr, "b", IF_USB, "h", "n");
  EXPECT_EQ(IF_USB, partial.m_eIF);
  EXPECT_EQ("", partial.m_strAddress);
  EXPECT_EQ("", partial.m_strName);
}

TEST(CIFList, IndexGettersFollowAddressOrderAndLeaveOutputsAlonePastTheEnd) {
  CIFList l = SampleList();
  l.AddIF("192.168.1.5", "255.255.255.0", "192.168.1.255", "00:00:00:00:00:02", IF_ETHERNET, "eth0");
  std::string a;
  int32_t kind = 0;
  ASSERT_EQ(0, l.GetAddress(0, a));
  EXPECT_EQ("10.0.0.5", a);
  ASSERT_EQ(0, l.GetAddress(1, a, kind));
  EXPECT_EQ("127.0.0.1", a);
  EXPECT_EQ(IF_LOCAL, kind);
  ASSERT_EQ(0, l.GetName(2, a));
  EXPECT_EQ("eth0", a);

  a = "untouched";
  kind = 99;
  EXPECT_EQ(-1, l.GetAddress(3, a, kind));
  EXPECT_EQ(-1, l.GetName(3, a));
  EXPECT_EQ("untouched", a);
  EXPECT_EQ(99, kind);
}

TEST(CIFList, TwoListsWithTheSameRecordsInAnyOrderCompareEqual) {
  CIFList a = SampleList(), b;
  b.AddIF("10.0.0.5", "255.0.0.0", "10.255.255.255", "00:0A:1B:2C:3D:4E", IF_USB, "eth1");
  b.AddIF("127.0.0.1", "255.0.0.0", "255.0.0.0", "00:01:02:03:04:05", IF_LOCAL, "");
  EXPECT_FALSE(a != b);
  EXPECT_FALSE(a != a);
  EXPECT_FALSE(CIFList() != CIFList());
  EXPECT_TRUE(a != CIFList());
}

TEST(CIFList, AnyDifferingFieldMakesTheListsDiffer) {
  const CIFList base = SampleList();
  struct Change {
    const char* what;
    const char *address, *mask, *broadcast, *hw;
    int32_t kind;
    const char* name;
  } changes[] = {
      {"mask", "10.0.0.5", "255.255.0.0", "10.255.255.255", "00:0A:1B:2C:3D:4E", IF_USB, "eth1"},
      {"broadcast", "10.0.0.5", "255.0.0.0", "10.0.0.255", "00:0A:1B:2C:3D:4E", IF_USB, "eth1"},
      {"hw", "10.0.0.5", "255.0.0.0", "10.255.255.255", "00:0A:1B:2C:3D:4F", IF_USB, "eth1"},
      {"kind", "10.0.0.5", "255.0.0.0", "10.255.255.255", "00:0A:1B:2C:3D:4E", IF_ETHERNET, "eth1"},
      {"name", "10.0.0.5", "255.0.0.0", "10.255.255.255", "00:0A:1B:2C:3D:4E", IF_USB, "eth2"},
      {"address", "10.0.0.6", "255.0.0.0", "10.255.255.255", "00:0A:1B:2C:3D:4E", IF_USB, "eth1"},
  };
  for (const auto& c : changes) {
    CIFList other;
    other.AddIF("127.0.0.1", "255.0.0.0", "255.0.0.0", "00:01:02:03:04:05", IF_LOCAL, "");
    other.AddIF(c.address, c.mask, c.broadcast, c.hw, c.kind, c.name);
    EXPECT_TRUE(base != other) << c.what;
    EXPECT_TRUE(other != base) << c.what;
  }
  // The record version is not part of the comparison.
  CIFList::CIF older = *base.GetAt(0);
  older.m_uiVersion = 7;
  CIFList withOlder;
  withOlder.Put(older);
  withOlder.Put(*base.GetAt(1));
  EXPECT_FALSE(base != withOlder);
}

TEST(CIFList, AssignmentCopiesEveryRecordAndKindsHaveTheirNames) {
  CIFList src = SampleList(), dst;
  dst.AddIF("1.2.3.4", "255.0.0.0", "1.255.255.255", "00:00:00:00:00:09", IF_ETHERNET, "old");
  dst = src;
  EXPECT_FALSE(dst != src);
  EXPECT_FALSE(dst.Contains("1.2.3.4"));
  dst = dst;
  EXPECT_EQ(2u, dst.GetCount());

  EXPECT_STREQ("Ethernet", GetIFKindName(1));
  EXPECT_STREQ("USB", GetIFKindName(2));
  EXPECT_STREQ("Wireless", GetIFKindName(4));
  EXPECT_STREQ("Local", GetIFKindName(8));
  EXPECT_STREQ("Bluetooth", GetIFKindName(16));
}

}  // namespace
