#include <gtest/gtest.h>

#include "records/AppList.h"
#include "records/AppVersion.h"
#include "records/CompList.h"
#include "records/Config.h"
#include "records/WireBytes.h"
#include "service_clients/ServiceRequests.h"

using wire::Builder;
using wire::Bytes;

namespace {

// CAppVersion with the version text, the fifth text and the name given, one
// string in the first list and none in the second; version 0 is the word
// alone.
Builder AppVersion(const std::string& name, const std::string& versionText, uint32_t version = 2) {
  Builder b;
  b.u32(2143).u32(version);
  if (version == 0) return b;
  b.str(versionText).str("").str("").str("").str("t5").str(name).str("").str("").str("");
  return b.count(1).str("L1").count(0);
}

Builder EmptyAppVersion() {
  return Builder().u32(2143).u32(2).str("").str("").str("").str("").str("").str("").str("").str("").str("").u32(0)
      .u32(0);
}

Builder App(const std::string& name, uint32_t version = 1) {
  Builder b;
  b.u32(2113).u32(version);
  if (version == 0) return b;
  return b.raw(AppVersion(name, "1.0")).b(true).str("txt").u32(7).b(false).u32(9).i32(-1);
}

Builder EmptyApp() {
  return Builder().u32(2113).u32(1).raw(EmptyAppVersion()).b(false).str("").u32(0).b(false).u32(0).i32(-1);
}

Builder Apps(std::initializer_list<Builder> apps) {
  Builder b;
  b.u32(2114).i32(0).u32(1).count(static_cast<uint32_t>(apps.size()));
  for (const Builder& a : apps) b.raw(a);
  return b;
}

Builder Comp(const std::string& name, const std::string& versionText) {
  return Builder().u32(2155).u32(1).raw(AppVersion(name, versionText));
}

Builder Comps(std::initializer_list<Builder> comps, int32_t result = 0) {
  Builder b;
  b.u32(2154).i32(result).u32(1).count(static_cast<uint32_t>(comps.size()));
  for (const Builder& c : comps) b.raw(c);
  return b;
}

// A CArgList named name holding one pair.
Builder Args(const std::string& name, const std::string& key, const std::string& value) {
  return Builder().u32(2123).i32(0).u32(1).str(name).count(1).u32(2122).u32(1).str(key).str(value);
}

TEST(ServiceRecords, EveryRecordReadsWritesTheNewestLayoutAndRefusesBrokenImages) {
  using wire::Newest;
  using wire::Rewritten;
  wire::CheckRoundTrips({
      Newest<CAppVersion>("application version", AppVersion("diag", "1.2.3")),
      Rewritten<CAppVersion>("application version of version 0", AppVersion("", "", 0), EmptyAppVersion()),
      Rewritten<CAppVersion>("application version of version 1", AppVersion("diag", "1.2.3", 1),
                             AppVersion("diag", "1.2.3")),
      Newest<CAppList::CApp>("application", App("diag")),
      Rewritten<CAppList::CApp>("application of version 0", App("", 0), EmptyApp()),
      // Written back in position order, which is arrival order.
      Newest<CAppList>("applications", Apps({App("zeta"), App("alpha"), App("mid")})),
      Rewritten<CAppList>("applications of version 0", Builder().u32(2114).i32(5).u32(0),
                          Builder().u32(2114).i32(5).u32(1).u32(0)),
      Rewritten<CAppList>("applications holding entries of version 0", Apps({App("", 0), App("", 0)}),
                          Apps({EmptyApp(), EmptyApp()})),
      Newest<CCompList::CComp>("component", Comp("a", "1")),
      Rewritten<CCompList::CComp>("component of version 0", Builder().u32(2155).u32(0),
                                  Builder().u32(2155).u32(1).raw(EmptyAppVersion())),
      Newest<CCompList>("components", Comps({Comp("a", "3.0"), Comp("b", "0.5")}, -1)),
      // Filed by name, a later component of the same name replacing the earlier.
      Rewritten<CCompList>("components out of order, one name twice",
                           Comps({Comp("b", "1.0"), Comp("a", "3.0"), Comp("b", "0.5")}),
                           Comps({Comp("a", "3.0"), Comp("b", "0.5")})),
      Rewritten<CCompList>("components of version 0", Builder().u32(2154).i32(0).u32(0), Comps({})),
      Newest<CConfig>("configuration", Builder().u32(2018).i32(0).u32(1).count(2).u32(3)
                                           .raw(Args("net", "ip", "1.2.3.4")).u32(16).raw(Args("wifi", "ssid", "shop"))),
      Rewritten<CConfig>("configuration of version 0", Builder().u32(2018).i32(-1).u32(0),
                         Builder().u32(2018).i32(-1).u32(1).u32(0)),
      Newest<CGetApplications_Send>("applications request", Builder().u32(2094).u32(1)),
      Newest<CGetAppComps_Send>("application components request", Builder().u32(2156).u32(1)),
      Rewritten<CGetSysComps_Send>("system components request of a newer version", Builder().u32(2189).u32(7),
                                   Builder().u32(2189).u32(1)),
      Newest<CGetConfigNEW_Send>("configuration request", Builder().u32(2021).u32(1).u32(16)),
      Rewritten<CGetConfigNEW_Send>("configuration request of version 0", Builder().u32(2021).u32(0),
                                    Builder().u32(2021).u32(1).u32(0)),
  });
}

TEST(ServiceRecords, ReadsFileWhatTheServiceLooksUp) {
  CAppList apps;
  apps.Add(CAppList::CApp());
  ASSERT_TRUE(wire::Load(apps, Apps({App("zeta"), App("alpha")})));
  ASSERT_EQ(apps.GetCount(), 2u);
  EXPECT_EQ(apps.GetAt(1)->m_AppVersion.GetName() + " " + apps.GetAt(1)->m_strText, "alpha txt");
  EXPECT_EQ(apps.GetAt(2), nullptr);
  ASSERT_TRUE(wire::Load(apps, Builder().u32(2114).i32(0).u32(0)));
  EXPECT_EQ(apps.GetCount(), 0u) << "a list read with version 0 is empty, whatever it held";

  CConfig config;
  ASSERT_TRUE(wire::Load(config, Builder().u32(2018).i32(0).u32(1).u32(1).u32(3).raw(Args("net", "ip", "1.2.3.4"))));
  CArgList out;
  std::string v;
  EXPECT_TRUE(config.GetConfig(3, out) == 0 && out.GetValue("ip", v) && v == "1.2.3.4") << v;
  EXPECT_EQ(config.GetConfig(99, out), -1);
  EXPECT_EQ(out.Count(), 0u);
  // A key named twice fails the read.
  EXPECT_FALSE(wire::Load(config, Builder().u32(2018).i32(0).u32(1).u32(2).u32(3).raw(Args("a", "k", "v")).u32(3)
                                      .raw(Args("b", "k", "v"))));
}

CCompList::CComp MakeComp(const std::string& name, const std::string& versionText, const std::string& fifth = "t5") {
  CAppVersion v(name, versionText);
  v.m_strText5 = fifth;
  return CCompList::CComp(v);
}

TEST(CCompList, ParseVersionNumberCombinesTokensEightBitsAtATime) {
  const struct {
    const char* text;
    uint32_t number;
  } cases[] = {{"1.2.3.4", 0x01020304}, {"1.10", 0x010A},  {"1.2", 0x0102},       {"2.b", 0x020B},
               {"2.11", 0x020B},        {"2.B", 0x020B},   {"3,4 5\t6", 0x03040506}, {"7.x", 0x0700},
               {"1.fe", 0x010F},        {"12abc.1", 0x0C01}, {"..5..", 0x05}};
  for (const auto& c : cases) {
    uint32_t n = 0xDEADBEEF;
    EXPECT_TRUE(CCompList::ParseVersionNumber(c.text, n)) << c.text;
    EXPECT_EQ(n, c.number) << c.text;
  }
  uint32_t n = 0;
  EXPECT_FALSE(CCompList::ParseVersionNumber("", n));
  EXPECT_FALSE(CCompList::ParseVersionNumber(" . ,", n));
}

TEST(CCompList, AddReplacesOnlyAnOlderComponentOfTheSameKindAndAssignmentKeepsTheResultCode) {
  CCompList list;
  const struct {
    CCompList::CComp comp;
    const char* kept;
  } steps[] = {
      {MakeComp("c", "1.2"), "1.2"},    {MakeComp("c", "1.10"), "1.10"},  // 0x010A > 0x0102
      {MakeComp("c", "1.2"), "1.10"},   {MakeComp("c", "1.a"), "1.10"},   // older; equal number
      {MakeComp("c", ""), "1.10"},                                        // does not parse
      {MakeComp("c", "9.9", "other"), "1.10"},                            // different fifth text
  };
  for (const auto& s : steps) {
    list.Add(s.comp);
    EXPECT_EQ(list.Find("c")->m_AppVersion.GetVersionText(), s.kept) << s.comp.m_AppVersion.GetVersionText();
  }
  EXPECT_EQ(list.GetCount(), 1u);
  // Assignment copies the components and keeps the target's result code.
  CCompList target;
  target.SetResult(-7);
  target.Add(MakeComp("z", "1"));
  list.SetResult(3);
  target = list;
  EXPECT_EQ(target.GetResult(), -7);
  EXPECT_EQ(target.Find("z"), nullptr);
  EXPECT_EQ(target, list);
  target.Add(MakeComp("d", "5"));
  EXPECT_NE(target, list);

  CCompList unparsable;
  unparsable.Add(MakeComp("c", ""));
  unparsable.Add(MakeComp("c", "2.0"));  // the existing text does not parse either
  EXPECT_EQ(unparsable.Find("c")->m_AppVersion.GetVersionText(), "");
}

}  // namespace
