#include "host/IdentConfig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/TestEnv.h"
#include "host/TraceCapture.h"

namespace {

using tracetest::RegistryText;
using tracetest::WriteIni;

// A registry naming the scratch folder as the service's home.
struct Home {
  testenv::ScratchDir dir;
  testenv::ScopedRegistry reg{dir, RegistryText(dir.Path(), "").c_str()};
  std::string Ini() const { return dir.File("ident.ini"); }
};

// Every value under the name of its ini key; all twenty zones as "zone-N".
std::map<std::string, long> Values(const CIdentConfig& c) {
  auto s = c.GetSettings();
  std::map<std::string, long> v = {{"Log:Level", c.GetTraceLevel()},  {"Log:persist", c.GetPersist()},
                                   {"Log:append", s->m_bAppend},       {"Mode:SkipPair", s->m_bSkipPair},
                                   {"Mode:ShowWindow", c.GetShowWindow()}, {"Mode:LoadVCIs", s->m_bLoadVCIs},
                                   {"num-zones", s->m_uiNumLinkQualityZones}};
  for (int i = 0; i < CIdentConfig::NUM_TIMEOUTS; ++i)
    v[CIdentConfig::TimeoutName(static_cast<CIdentConfig::Timeout>(i))] = s->m_Timeouts[i];
  for (int i = 0; i < CIdentConfig::MAX_ZONES; ++i) v["zone-" + std::to_string(i + 1)] = s->m_Zones[i];
  return v;
}

// Loaded over a file that set six zones and a timeout, with the level and
// persist changed at run time: absent keys show what they fall back to.
const char kPrimer[] =
    "[LINK-QUALITY]\nnum-zones = 6\nzone-1 = 1\nzone-2 = 2\nzone-3 = 3\nzone-5 = 5\nzone-6 = 6\n"
    "[timeouts]\nPAIR_TIMEOUT = 1\n";

const struct {
  const char* ini;
  std::map<std::string, long> expected;
} kFiles[] = {
    {"[log]\nLEVEL = Warn\npersist = TRUE\nappend = yes\n[Mode]\nShowWindow = 1\nLoadVCIs = True\n"
     "[TIMEOUTS]\npair_timeout = 0x4E20\nBT_CONNECT_TIMEOUT = 010\nDISCOVERY_TIMEOUT = 12345\n",
     {{"Log:Level", 1}, {"Log:persist", 1}, {"Log:append", 0}, {"Mode:ShowWindow", 0}, {"Mode:LoadVCIs", 1},
      {"PAIR_TIMEOUT", 20000}, {"BT_CONNECT_TIMEOUT", 8}, {"DISCOVERY_TIMEOUT", 12345}, {"num-zones", 6},
      {"zone-1", 1}}},
    {"[Log]\nLevel = debug\n[Mode]\nSkipPair = TRUE\n",
     {{"Log:Level", 7}, {"Log:persist", 0}, {"Mode:SkipPair", 1}, {"PAIR_TIMEOUT", 20000}, {"zone-6", 6}}},
    {"[Log]\nLevel = info\n", {{"Log:Level", 0}}}, {"[Log]\nLevel = ERROR\n", {{"Log:Level", 2}}},
    {"[Log]\nLevel =\n", {{"Log:Level", 7}}},
    {"[LINK-QUALITY]\nnum-zones = 2\nzone-2 = 55\nzone-3 = 99\n",
     {{"num-zones", 2}, {"zone-1", 1}, {"zone-2", 55}, {"zone-3", 3}}},
    {"[link-quality]\nNUM-ZONES = 8\nzone-4 = 40\nzone-7 = 70\n",
     {{"num-zones", 8}, {"zone-3", 3}, {"zone-4", 40}, {"zone-7", 70}, {"zone-8", 0}}},
    {"[LINK-QUALITY]\nnum-zones = 25\nzone-20 = 200\nzone-21 = 210\n", {{"num-zones", 25}, {"zone-20", 200}}},
    // iniparser files a section as a key without a value: such a key is absent.
    {"[link-quality:zone-1]\n[timeouts:PAIR_TIMEOUT]\n[LINK-QUALITY:num-zones]\n[Log:Level]\n[Mode:SkipPair]\n",
     {{"zone-1", 1}, {"PAIR_TIMEOUT", 20000}, {"num-zones", 6}, {"Log:Level", 2}, {"Mode:SkipPair", 0}}},
};

TEST(CIdentConfig, EachKeyIsReadByItsRuleAndAnAbsentOneFallsBackToItsDefaultOrItsCurrentValue) {
  Home home;
  CIdentConfig c;
  for (const auto& f : kFiles) {
    WriteIni(home.Ini(), kPrimer);
    ASSERT_EQ(c.Load(), 0);
    c.SetTraceLevel(7);
    c.SetPersist(true);
    WriteIni(home.Ini(), f.ini);
    ASSERT_EQ(c.Load(), 0) << f.ini;
    std::map<std::string, long> values = Values(c);
    for (const auto& e : f.expected) EXPECT_EQ(values[e.first], e.second) << e.first << " from\n" << f.ini;
  }
  // SetDefaults resets the count and the four zones that have a default only.
  c.SetDefaults();
  std::map<std::string, long> values = Values(c);
  EXPECT_EQ(std::make_tuple(values["num-zones"], values["zone-1"], values["zone-20"]), std::make_tuple(4L, 30L, 200L));
}

// What the service does not take as written is a finding that says what is
// used instead; the designed texts give none.
TEST(CIdentConfig, EveryUnknownSectionOrKeyAndEveryValueReadOtherwiseThanWrittenIsAFinding) {
  testenv::ScratchDir dir;
  std::vector<std::string> findings;
  testenv::WriteFile(dir.File("a.ini"), "[Log]\nLevel = Warn\npersist = TRUE\n[timeouts]\nPAIR_TIMEOUT = 0x4E20\n"
                                        "[LINK-QUALITY]\nnum-zones = 2\nzone-2 = 0\n"
                                        "[Network]\nControlAddress = 127.0.0.1\n");
  ASSERT_TRUE(CIdentConfig::Check(dir.File("a.ini"), findings));
  EXPECT_EQ(findings, std::vector<std::string>());
  testenv::WriteFile(dir.File("b.ini"),
                     "top = 1\n[Log]\nLevel = debug\npersist = yes\n[Mode]\nShowWindow = 1\nShowWindows = true\n"
                     "[timeouts]\nPAIR_TIMEOUT = 10s\nBT_CONNECT_TIMEOUT = 010\nDISCOVERY_TIMEOUT = -1\n"
                     "[LINK-QUALITY]\nnum-zones = 2\nzone-3 = 5\n[Logg]\nLevel = info\n"
                     "[Network]\nControlAddress = banana\n");
  ASSERT_TRUE(CIdentConfig::Check(dir.File("b.ini"), findings));
  EXPECT_EQ(findings, std::vector<std::string>({
                          "[log] level = debug: not info, warn or error; the trace level stays ERROR",
                          "[log] persist = yes: not true or false; false is used",
                          "[mode] showwindow = 1: not true or false; false is used",
                          "[timeouts] BT_CONNECT_TIMEOUT = 010: a leading 0 makes it octal; 8 is used",
                          "[timeouts] DISCOVERY_TIMEOUT = -1: not a number from 0 to 4294967295; 4294967295 is used",
                          "[timeouts] PAIR_TIMEOUT = 10s: not a whole number; 10 is used",
                          "[network] controladdress = banana: not an IPv4 address; the service does not start",
                          "[logg]: unknown section; its key is ignored",
                          "[] top = 1: outside any section; ignored",
                          "[mode] showwindows = true: unknown key; ignored",
                          "[link-quality] zone-3 = 5: not used, as num-zones is 2; ignored",
                      }));
  EXPECT_FALSE(CIdentConfig::Check(dir.File("missing.ini"), findings));
}

TEST(CIdentConfig, CheckForChangesFollowsTheFilesWriteTimeAndItsRemoval) {
  Home home;
  WriteIni(home.Ini(), "[LINK-QUALITY]\nnum-zones = 25\n");
  CIdentConfig c;
  // Removal: defaults once, then nothing more to report.
  std::remove(home.Ini().c_str());
  EXPECT_TRUE(c.CheckForChanges());
  EXPECT_FALSE(c.CheckForChanges());
  EXPECT_FALSE(c.IsLoaded());
  const std::map<std::string, long> defaults = Values(c);
  EXPECT_EQ(defaults.at("num-zones"), 4);
  // A new write time reloads, the same content too, over a run-time change.
  for (int i = 0; i < 2; ++i) {
    WriteIni(home.Ini(), "[Log]\nLevel = info\n");
    c.SetTraceLevel(2);
    EXPECT_TRUE(c.CheckForChanges());
    EXPECT_EQ(c.GetTraceLevel(), 0);
    EXPECT_FALSE(c.CheckForChanges());
  }
  // A changed file that cannot be parsed: defaults, and its time is kept so
  // that it is not read again until it changes.
  WriteIni(home.Ini(), "[Log]\nLevel = info\nthis line is no setting\n");
  EXPECT_TRUE(c.CheckForChanges());
  EXPECT_EQ(Values(c), defaults);
  EXPECT_TRUE(c.IsLoaded());
  EXPECT_FALSE(c.CheckForChanges());
  // Without the registry value nothing is read.
  WriteIni(home.Ini(), "[Log]\nLevel = info\n");
  testenv::ScopedRegistry noValue(home.dir, RegistryText("", "").c_str());
  EXPECT_FALSE(c.CheckForChanges());
  EXPECT_EQ(c.Load(), -1);
}

// Readers on other threads always see the zone count and the zones of one
// file, whichever load they fall into. (Built with ThreadSanitizer, any
// unguarded access between a load and a reader fails the run.)
TEST(CIdentConfig, ReadersSeeOneFilesValuesWhileItIsReloaded) {
  Home home;
  CIdentConfig c;
  // Each file sets its zones in use to the zone count.
  const std::string files[] = {"[Log]\nLevel = info\n[LINK-QUALITY]\nnum-zones = 2\nzone-1 = 2\nzone-2 = 2\n",
                               "[Log]\nLevel = warn\n[LINK-QUALITY]\nnum-zones = 3\nzone-1 = 3\nzone-2 = 3\n"
                               "zone-3 = 3\n"};
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  auto reader = [&] {
    do {
      auto s = c.GetSettings();
      bool whole = c.GetTraceLevel() <= 2 && c.GetTimeout(CIdentConfig::PAIR_TIMEOUT) == 20000;
      for (DWORD i = 0; s->m_uiNumLinkQualityZones < 4 && i < s->m_uiNumLinkQualityZones; ++i)
        whole = whole && s->m_Zones[i] == s->m_uiNumLinkQualityZones;
      if (!whole) ++torn;
    } while (!done.load());
  };
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) readers.emplace_back(reader);
  for (int i = 0; i < 50 && !HasFailure(); ++i) {
    testenv::WriteFile(home.Ini(), files[i % 2]);
    EXPECT_EQ(c.Load(), 0);
  }
  done = true;
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
