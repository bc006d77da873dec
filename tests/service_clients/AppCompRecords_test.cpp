#include <gtest/gtest.h>

#include "service_clients/AppList.h"
#include "service_clients/AppVersion.h"
#include "service_clients/CompList.h"
#include "service_clients/WireBytes.h"

using wire::Builder;
using wire::Bytes;

namespace {

// CAppVersion 2143 version 2 with texts "v", "", "", "", "t5", name, "", "", "",
// one string in the first list and none in the second.
Builder AppVersionImage(const std::string& name, const std::string& versionText, const std::string& fifth = "t5") {
  Builder b;
  b.u32(2143).u32(2).str(versionText).str("").str("").str("").str(fifth).str(name).str("").str("").str("");
  b.u32(1).str("L1").u32(0);
  return b;
}

CAppVersion MakeAppVersion(const std::string& name, const std::string& versionText, const std::string& fifth = "t5") {
  CAppVersion v(name, versionText);
  v.m_strText5 = fifth;
  v.m_TextList1 = {"L1"};
  return v;
}

CCompList::CComp Comp(const std::string& name, const std::string& versionText, const std::string& fifth = "t5") {
  return CCompList::CComp(MakeAppVersion(name, versionText, fifth));
}

Bytes CompListImage(std::initializer_list<std::pair<std::string, std::string>> comps) {
  Builder b;
  b.u32(2154).i32(0).u32(1).u32(static_cast<uint32_t>(comps.size()));
  for (const auto& c : comps) b.u32(2155).u32(1).raw(AppVersionImage(c.first, c.second));
  return b;
}

TEST(CAppVersion, WritesNoResultCodeAndReadsBackEqual) {
  CAppVersion v = MakeAppVersion("diag", "1.2.3");
  Bytes expected = AppVersionImage("diag", "1.2.3");
  EXPECT_EQ(wire::Store(v), expected);

  CAppVersion back;
  ASSERT_TRUE(wire::Load(back, expected));
  EXPECT_EQ(back, v);
  EXPECT_EQ(back.GetName(), "diag");
  EXPECT_EQ(back.GetVersionText(), "1.2.3");
  EXPECT_EQ(back.GetFifthText(), "t5");
  EXPECT_EQ(wire::Store(back), expected);

  wire::ExpectEveryPrefixFails<CAppVersion>(expected);
  wire::ExpectWrongIdsFail<CAppVersion>(expected);
}

TEST(CAppVersion, VersionZeroEndsTheRecordAndAForgedListCountFails) {
  CAppVersion v;
  ASSERT_TRUE(wire::Load(v, Builder().u32(2143).u32(0)));
  EXPECT_EQ(v.m_uiVersion, 0u);
  EXPECT_TRUE(v.GetName().empty());

  Builder forged;
  forged.u32(2143).u32(2);
  for (int i = 0; i < 9; ++i) forged.str("");
  forged.u32(0x40000000).str("x");
  EXPECT_FALSE(wire::Load(v, forged));
}

TEST(CAppList, ThreeApplicationsReadBackUnderPositionsInArrivalOrder) {
  Builder image;
  image.u32(2114).i32(0).u32(1).u32(3);
  for (const char* name : {"zeta", "alpha", "mid"})
    image.u32(2113).u32(1).raw(AppVersionImage(name, "1.0")).b(true).str("txt").u32(7).b(false).u32(9).i32(-1);

  CAppList list;
  ASSERT_TRUE(wire::Load(list, image));
  ASSERT_EQ(list.GetCount(), 3u);
  EXPECT_EQ(list.GetAt(0)->m_AppVersion.GetName(), "zeta");
  EXPECT_EQ(list.GetAt(1)->m_AppVersion.GetName(), "alpha");
  EXPECT_EQ(list.GetAt(2)->m_AppVersion.GetName(), "mid");
  EXPECT_EQ(list.GetAt(3), nullptr);
  EXPECT_TRUE(list.GetAt(1)->m_bFlag1);
  EXPECT_EQ(list.GetAt(1)->m_strText, "txt");
  EXPECT_EQ(list.GetAt(1)->m_uiNumber1, 7u);
  EXPECT_EQ(list.GetAt(1)->m_uiNumber2, 9u);
  EXPECT_EQ(wire::Store(list), image.bytes());

  wire::ExpectEveryPrefixFails<CAppList>(image);
  wire::ExpectWrongIdsFail<CAppList>(image);
}

TEST(CAppList, DefaultsAndEmptyForms) {
  CAppList::CApp app;
  EXPECT_EQ(wire::Store(app), Builder()
                                  .u32(2113)
                                  .u32(1)
                                  .u32(2143).u32(2).str("").str("").str("").str("").str("").str("").str("").str("").str("").u32(0).u32(0)
                                  .b(false).str("").u32(0).b(false).u32(0).i32(-1)
                                  .bytes());

  CAppList list;
  list.Add(app);
  ASSERT_TRUE(wire::Load(list, Builder().u32(2114).i32(5).u32(0)));
  EXPECT_EQ(list.GetResult(), 5);
  EXPECT_EQ(list.m_uiVersion, 0u);
  EXPECT_EQ(list.GetCount(), 0u) << "a list read with version 0 is empty, whatever it held";
  CCompList comps;
  comps.Add(Comp("a", "1.0"));
  ASSERT_TRUE(wire::Load(comps, Builder().u32(2154).i32(0).u32(0)));
  EXPECT_EQ(comps.GetCount(), 0u);

  EXPECT_FALSE(wire::Load(list, Builder().u32(2114).i32(0).u32(1).u32(1000)));
}

TEST(CCompList, ReadingFilesByNameAndTheLaterOfTwoEqualNamesWins) {
  Bytes image = CompListImage({{"b", "1.0"}, {"a", "3.0"}, {"b", "0.5"}});
  CCompList list;
  ASSERT_TRUE(wire::Load(list, image));
  ASSERT_EQ(list.GetCount(), 2u);
  EXPECT_EQ(list.Find("b")->m_AppVersion.GetVersionText(), "0.5");
  EXPECT_EQ(list.Find("a")->m_AppVersion.GetVersionText(), "3.0");
  // Written back in ascending name order.
  EXPECT_EQ(wire::Store(list), CompListImage({{"a", "3.0"}, {"b", "0.5"}}));

  Bytes clean = CompListImage({{"a", "3.0"}, {"b", "0.5"}});
  wire::ExpectEveryPrefixFails<CCompList>(clean);
  wire::ExpectWrongIdsFail<CCompList>(clean);
  wire::ExpectWrongIdsFail<CCompList::CComp>(Builder().u32(2155).u32(1).raw(AppVersionImage("a", "1")));
}

TEST(CCompList, ParseVersionNumberCombinesTokensEightBitsAtATime) {
  struct Case {
    const char* text;
    uint32_t number;
  } cases[] = {{"1.2.3.4", 0x01020304}, {"1.10", 0x010A},  {"1.2", 0x0102},       {"2.b", 0x020B},
               {"2.11", 0x020B},        {"2.B", 0x020B},   {"3,4 5\t6", 0x03040506}, {"7.x", 0x0700},
               {"1.fe", 0x010F},        {"12abc.1", 0x0C01}, {"..5..", 0x05}};
  for (const Case& c : cases) {
    uint32_t n = 0xDEADBEEF;
    EXPECT_TRUE(CCompList::ParseVersionNumber(c.text, n)) << c.text;
    EXPECT_EQ(n, c.number) << c.text;
  }
  uint32_t n = 0;
  EXPECT_FALSE(CCompList::ParseVersionNumber("", n));
  EXPECT_FALSE(CCompList::ParseVersionNumber(" . ,", n));
}

TEST(CCompList, AddReplacesOnlyAnOlderComponentOfTheSameKind) {
  CCompList list;
  list.Add(Comp("c", "1.2"));
  EXPECT_EQ(list.GetCount(), 1u);

  list.Add(Comp("c", "1.10"));  // 0x010A > 0x0102
  EXPECT_EQ(list.Find("c")->m_AppVersion.GetVersionText(), "1.10");

  list.Add(Comp("c", "1.2"));  // older: kept 1.10
  EXPECT_EQ(list.Find("c")->m_AppVersion.GetVersionText(), "1.10");

  list.Add(Comp("c", "1.a"));  // same number 0x010A: the existing one stays
  EXPECT_EQ(list.Find("c")->m_AppVersion.GetVersionText(), "1.10");

  list.Add(Comp("c", ""));  // does not parse
  EXPECT_EQ(list.Find("c")->m_AppVersion.GetVersionText(), "1.10");

  list.Add(Comp("c", "9.9", "other"));  // different fifth text
  EXPECT_EQ(list.Find("c")->m_AppVersion.GetVersionText(), "1.10");
  EXPECT_EQ(list.Find("c")->m_AppVersion.GetFifthText(), "t5");

  CCompList unparsable;
  unparsable.Add(Comp("c", ""));
  unparsable.Add(Comp("c", "2.0"));  // the existing text does not parse either
  EXPECT_EQ(unparsable.Find("c")->m_AppVersion.GetVersionText(), "");
}

TEST(CCompList, AssignmentKeepsTheTargetResultCodeAndCopiesTheComponents) {
  CCompList source;
  source.SetResult(3);
  source.Add(Comp("a", "1"));
  source.Add(Comp("b", "2"));

  CCompList target;
  target.SetResult(-7);
  target.Add(Comp("z", "1"));
  target = source;
  EXPECT_EQ(target.GetResult(), -7);
  EXPECT_EQ(target.GetCount(), 2u);
  EXPECT_EQ(target.Find("z"), nullptr);
  EXPECT_EQ(target, source);

  CCompList changed = source;
  changed.Add(Comp("a", "5"));
  EXPECT_NE(changed, source);
}

}  // namespace
