#include "host/IdentConfig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "host/TraceCapture.h"

namespace {

using tracetest::RegistryText;
using tracetest::TraceCapture;
using tracetest::WriteIni;

// The key table: name and built-in value of each timeout and count.
struct Expected {
  CIdentConfig::Timeout which;
  const char* name;
  DWORD value;
};
const Expected kTimeouts[] = {
    {CIdentConfig::QMX_BT_TIMEOUT, "QMX_BT_TIMEOUT", 30000},
    {CIdentConfig::BT_CONNECT_TIMEOUT, "BT_CONNECT_TIMEOUT", 10000},
    {CIdentConfig::BT_DISCONNECT_TIMEOUT, "BT_DISCONNECT_TIMEOUT", 5000},
    {CIdentConfig::BT_IF_UP_TIMEOUT, "BT_IF_UP_TIMEOUT", 20000},
    {CIdentConfig::BT_SLEEP_AFTER_RADIO_ON, "BT_SLEEP_AFTER_RADIO_ON", 1000},
    {CIdentConfig::BT_IF_DOWN_TIMEOUT, "BT_IF_DOWN_TIMEOUT", 10000},
    {CIdentConfig::DISCOVERY_TIMEOUT, "DISCOVERY_TIMEOUT", 30000},
    {CIdentConfig::CHECK_CONNECT_TIMEOUT, "CHECK_CONNECT_TIMEOUT", 10000},
    {CIdentConfig::PAIR_TIMEOUT, "PAIR_TIMEOUT", 20000},
    {CIdentConfig::WM_CLEAR_BD_ADDR_TIMEOUT, "WM_CLEAR_BD_ADDR_TIMEOUT", 5000},
    {CIdentConfig::NUM_TIMES_NO_DETECT, "NUM_TIMES_NO_DETECT", 5},
    {CIdentConfig::POWER_CYCLE_TIME, "POWER_CYCLE_TIME", 5000},
    {CIdentConfig::NUM_PAIR_ATTEMPTS, "NUM_PAIR_ATTEMPTS", 2},
    {CIdentConfig::BT_NUM_FALSE_DETECTS, "BT_NUM_FALSE_DETECTS", 2},
};

void ExpectDefaults(const CIdentConfig& c) {
  EXPECT_EQ(c.GetTraceLevel(), 2);
  EXPECT_FALSE(c.GetPersist());
  EXPECT_FALSE(c.GetAppend());
  EXPECT_FALSE(c.GetLoadVCIs());
  EXPECT_FALSE(c.GetSkipPair());
  EXPECT_FALSE(c.GetShowWindow());
  for (const Expected& e : kTimeouts) EXPECT_EQ(c.GetTimeout(e.which), e.value) << e.name;
  EXPECT_EQ(c.GetNumLinkQualityZones(), 4u);
  EXPECT_EQ(c.GetLinkQualityZone(0), 30u);
  EXPECT_EQ(c.GetLinkQualityZone(1), 50u);
  EXPECT_EQ(c.GetLinkQualityZone(2), 60u);
  EXPECT_EQ(c.GetLinkQualityZone(3), 100u);
}

// A registry naming the scratch folder as the service's home, and the path
// of ident.ini there.
struct Home {
  testenv::ScratchDir dir;
  testenv::ScopedRegistry reg{dir, RegistryText(dir.Path(), "").c_str()};
  std::string Ini() const { return dir.File("ident.ini"); }
};

TEST(CIdentConfig, WithoutRegistryValueOrIniFileEverySettingHasItsDefault) {
  for (const Expected& e : kTimeouts) {
    EXPECT_STREQ(CIdentConfig::TimeoutName(e.which), e.name);
    EXPECT_EQ(CIdentConfig::TimeoutDefault(e.which), e.value) << e.name;
  }
  testenv::ScratchDir dir;
  {
    testenv::ScopedRegistry none(dir, nullptr);
    CIdentConfig c;
    ExpectDefaults(c);
    EXPECT_EQ(c.Load(), -1);
    EXPECT_FALSE(c.CheckForChanges());
  }
  {
    testenv::ScopedRegistry noValue(dir, RegistryText("", dir.Path()).c_str());
    CIdentConfig c;
    ExpectDefaults(c);
    EXPECT_EQ(c.Load(), -1);
  }
  Home home;
  CIdentConfig c;
  ExpectDefaults(c);
  for (unsigned i = 4; i < 20; ++i) EXPECT_EQ(c.GetLinkQualityZone(i), 0u) << i;
  EXPECT_FALSE(c.IsLoaded());
  EXPECT_EQ(c.Load(), -1);
  EXPECT_FALSE(c.CheckForChanges());
}

TEST(CIdentConfig, ReadsEachKindOfValueByItsOwnRule) {
  Home home;
  WriteIni(home.Ini(),
           "[log]\n"
           "LEVEL = Warn\n"
           "persist = TRUE\n"
           "append = yes\n"
           "[Mode]\n"
           "SkipPair = true\n"
           "ShowWindow = 1\n"
           "LoadVCIs = True\n"
           "[TIMEOUTS]\n"
           "pair_timeout = 0x4E20\n"
           "BT_CONNECT_TIMEOUT = 010\n"
           "DISCOVERY_TIMEOUT = 12345\n");
  CIdentConfig c;
  EXPECT_TRUE(c.IsLoaded());
  EXPECT_EQ(c.GetTraceLevel(), 1);
  EXPECT_TRUE(c.GetPersist());
  EXPECT_FALSE(c.GetAppend());      // "yes" is not "true"
  EXPECT_FALSE(c.GetShowWindow());  // nor is "1"
  EXPECT_TRUE(c.GetSkipPair());
  EXPECT_TRUE(c.GetLoadVCIs());
  EXPECT_EQ(c.GetTimeout(CIdentConfig::PAIR_TIMEOUT), 20000u);
  EXPECT_EQ(c.GetTimeout(CIdentConfig::BT_CONNECT_TIMEOUT), 8u);  // octal
  EXPECT_EQ(c.GetTimeout(CIdentConfig::DISCOVERY_TIMEOUT), 12345u);
  EXPECT_EQ(c.GetTimeout(CIdentConfig::QMX_BT_TIMEOUT), 30000u);

  // Skip pairing stands on its own, with no Log section at all.
  WriteIni(home.Ini(), "[Mode]\nSkipPair = TRUE\n");
  ASSERT_EQ(c.Load(), 0);
  EXPECT_TRUE(c.GetSkipPair());
  EXPECT_FALSE(c.GetPersist());
  EXPECT_FALSE(c.GetLoadVCIs());
  // A timeout the new file does not give returns to its built-in value.
  EXPECT_EQ(c.GetTimeout(CIdentConfig::PAIR_TIMEOUT), 20000u);
  EXPECT_EQ(c.GetTimeout(CIdentConfig::BT_CONNECT_TIMEOUT), 10000u);
}

TEST(CIdentConfig, AnUnknownLevelTextKeepsTheLevelAndAnAbsentOneMeansErrors) {
  Home home;
  WriteIni(home.Ini(), "[Log]\nLevel = debug\n");
  CIdentConfig c;
  EXPECT_EQ(c.GetTraceLevel(), 2);
  c.SetTraceLevel(0);
  ASSERT_EQ(c.Load(), 0);
  EXPECT_EQ(c.GetTraceLevel(), 0);
  WriteIni(home.Ini(), "[Log]\nLevel =\n");
  c.SetTraceLevel(1);
  ASSERT_EQ(c.Load(), 0);
  EXPECT_EQ(c.GetTraceLevel(), 1);

  WriteIni(home.Ini(), "[Log]\nLevel = INFO\n");
  ASSERT_EQ(c.Load(), 0);
  EXPECT_EQ(c.GetTraceLevel(), 0);
  WriteIni(home.Ini(), "[Log]\nLevel = error\n");
  ASSERT_EQ(c.Load(), 0);
  EXPECT_EQ(c.GetTraceLevel(), 2);
  WriteIni(home.Ini(), "[Log]\npersist = true\n");
  c.SetTraceLevel(0);
  ASSERT_EQ(c.Load(), 0);
  EXPECT_EQ(c.GetTraceLevel(), 2);
}

TEST(CIdentConfig, LinkQualityZonesAreReadOnlyAsFarAsTheZoneCountAndKeepTheirValueWhenAbsent) {
  Home home;
  WriteIni(home.Ini(), "[LINK-QUALITY]\nnum-zones = 2\nzone-3 = 99\n");
  CIdentConfig c;
  EXPECT_EQ(c.GetNumLinkQualityZones(), 2u);
  EXPECT_EQ(c.GetLinkQualityZone(0), 30u);
  EXPECT_EQ(c.GetLinkQualityZone(1), 50u);
  EXPECT_EQ(c.GetLinkQualityZone(2), 60u);  // beyond the count: not read

  WriteIni(home.Ini(), "[link-quality]\nNUM-ZONES = 6\nzone-1 = 10\nzone-5 = 120\nzone-6 = 140\n");
  ASSERT_EQ(c.Load(), 0);
  EXPECT_EQ(c.GetNumLinkQualityZones(), 6u);
  std::vector<DWORD> zones;
  for (unsigned i = 0; i < 7; ++i) zones.push_back(c.GetLinkQualityZone(i));
  EXPECT_EQ(zones, (std::vector<DWORD>{10, 50, 60, 100, 120, 140, 0}));

  // Without the section the count and the zones stay as they are.
  WriteIni(home.Ini(), "[Log]\nLevel = info\n");
  ASSERT_EQ(c.Load(), 0);
  EXPECT_EQ(c.GetNumLinkQualityZones(), 6u);
  EXPECT_EQ(c.GetLinkQualityZone(0), 10u);
  EXPECT_EQ(c.GetLinkQualityZone(5), 140u);

  // SetDefaults resets the count and the first four zones only.
  c.SetDefaults();
  EXPECT_EQ(c.GetNumLinkQualityZones(), 4u);
  EXPECT_EQ(c.GetLinkQualityZone(0), 30u);
  EXPECT_EQ(c.GetLinkQualityZone(4), 120u);

  // A count above 20 is kept, but only twenty zones exist.
  WriteIni(home.Ini(), "[LINK-QUALITY]\nnum-zones = 25\nzone-20 = 200\nzone-21 = 210\n");
  ASSERT_EQ(c.Load(), 0);
  EXPECT_EQ(c.GetNumLinkQualityZones(), 25u);
  EXPECT_EQ(c.GetLinkQualityZone(19), 200u);
  EXPECT_EQ(c.GetLinkQualityZone(20), 0u);
}

TEST(CIdentConfig, ConstructionLogsEverySettingOnceInItsOrder) {
  TraceCapture capture("[Log]\nLevel = info\n[Mode]\nShowWindow = true\n");
  Home home;
  WriteIni(home.Ini(), "[Log]\nLevel = warn\n[LINK-QUALITY]\nnum-zones = 2\n[timeouts]\nPOWER_CYCLE_TIME = 7\n");
  TraceCapture::Clear();
  CIdentConfig c;
  const std::vector<std::string> expected = {
      "Trace Level = WARNING",
      "Persist Log File = false",
      "Append Log File = false",
      "Load Stored VCIs = false",
      "Skip Bluetooth Pairing = false",
      "Show Output Windows = false",
      "QMX_BT_TIMEOUT = 30000",
      "BT_CONNECT_TIMEOUT = 10000",
      "BT_DISCONNECT_TIMEOUT = 5000",
      "BT_IF_UP_TIMEOUT = 20000",
      "BT_SLEEP_AFTER_RADIO_ON = 1000",
      "BT_IF_DOWN_TIMEOUT = 10000",
      "POWER_CYCLE_TIME = 7",
      "DISCOVERY_TIMEOUT = 30000",
      "CHECK_CONNECT_TIMEOUT = 10000",
      "PAIR_TIMEOUT = 20000",
      "WM_CLEAR_BD_ADDR_TIMEOUT = 5000",
      "NUM_TIMES_NO_DETECT = 5",
      "NUM_PAIR_ATTEMPTS = 2",
      "BT_NUM_FALSE_DETECTS = 2",
      "m_uiNumLinkQualityZones = 2",
      "LINK_QUALITY_ZONE_0 = 30",
      "LINK_QUALITY_ZONE_1 = 50",
  };
  EXPECT_EQ(TraceCapture::Messages(), expected);

  // A reload says so and repeats none of them.
  TraceCapture::Clear();
  tracetest::SetUniqueWriteTime(home.Ini());
  EXPECT_TRUE(c.CheckForChanges());
  EXPECT_EQ(TraceCapture::Messages(), std::vector<std::string>{"Log file has changed. Reloading"});

  // Twenty zone lines at most; the level names.
  WriteIni(home.Ini(), "[Log]\nLevel = Info\n[LINK-QUALITY]\nnum-zones = 25\n");
  TraceCapture::Clear();
  CIdentConfig many;
  std::vector<std::string> messages = TraceCapture::Messages();
  EXPECT_EQ(messages.front(), "Trace Level = INFO");
  EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                          [](const std::string& m) { return m.compare(0, 18, "LINK_QUALITY_ZONE_") == 0; }),
            20);
  EXPECT_EQ(messages.back(), "LINK_QUALITY_ZONE_19 = 0");
  WriteIni(home.Ini(), "[Log]\nLevel = whatever\n");
  TraceCapture::Clear();
  CIdentConfig unknown;
  EXPECT_EQ(TraceCapture::Messages().front(), "Trace Level = ERROR");
}

TEST(CIdentConfig, CheckForChangesFollowsTheFilesWriteTimeAndItsRemoval) {
  TraceCapture capture("[Log]\nLevel = info\n[Mode]\nShowWindow = true\n");
  Home home;
  CIdentConfig c;
  EXPECT_FALSE(c.CheckForChanges());

  WriteIni(home.Ini(), "[Log]\nLevel = info\n");
  TraceCapture::Clear();
  EXPECT_TRUE(c.CheckForChanges());
  EXPECT_TRUE(c.IsLoaded());
  EXPECT_EQ(c.GetTraceLevel(), 0);
  EXPECT_EQ(TraceCapture::Messages(), std::vector<std::string>{"Log file has changed. Reloading"});
  EXPECT_FALSE(c.CheckForChanges());

  // Same content, new write time: reloaded, overwriting a run-time change.
  c.SetTraceLevel(2);
  c.SetPersist(true);
  tracetest::SetUniqueWriteTime(home.Ini());
  EXPECT_TRUE(c.CheckForChanges());
  EXPECT_EQ(c.GetTraceLevel(), 0);
  EXPECT_FALSE(c.GetPersist());

  // A changed file that cannot be parsed: defaults, and its time is kept so
  // that it is not read again until it changes.
  WriteIni(home.Ini(), "[Log]\nLevel = info\nthis line is no setting\n");
  EXPECT_TRUE(c.CheckForChanges());
  ExpectDefaults(c);
  EXPECT_TRUE(c.IsLoaded());
  EXPECT_FALSE(c.CheckForChanges());

  WriteIni(home.Ini(), "[Log]\nLevel = warn\n");
  EXPECT_TRUE(c.CheckForChanges());
  EXPECT_EQ(c.GetTraceLevel(), 1);

  // Removal: defaults once, then nothing more to report.
  ASSERT_EQ(unlink(home.Ini().c_str()), 0);
  TraceCapture::Clear();
  EXPECT_TRUE(c.CheckForChanges());
  ExpectDefaults(c);
  EXPECT_FALSE(c.IsLoaded());
  EXPECT_FALSE(c.CheckForChanges());
  EXPECT_EQ(TraceCapture::Messages(), std::vector<std::string>{"No Ini file detected. loading defaults"});

  // Without the registry value nothing is checked.
  WriteIni(home.Ini(), "[Log]\nLevel = info\n");
  testenv::ScopedRegistry noValue(home.dir, RegistryText("", "").c_str());
  EXPECT_FALSE(c.CheckForChanges());
  EXPECT_EQ(c.GetTraceLevel(), 2);
}

}  // namespace
