#include <gtest/gtest.h>

#include "service_clients/ServiceRequests.h"
#include "service_clients/WireBytes.h"

using wire::Builder;
using wire::Bytes;

namespace {

TEST(ServiceRequests, FramesAreIdAndVersionAndTheConfigurationKey) {
  CGetApplications_Send apps;
  EXPECT_EQ(wire::StoreFrame(apps), (Bytes{0x0C, 0, 0, 0, 0x2E, 0x08, 0, 0, 0x01, 0, 0, 0}));
  CGetAppComps_Send appComps;
  EXPECT_EQ(wire::Store(appComps), Builder().u32(2156).u32(1).bytes());
  CGetSysComps_Send sysComps;
  EXPECT_EQ(wire::Store(sysComps), Builder().u32(2189).u32(1).bytes());

  CGetConfigNEW_Send config(16);
  EXPECT_EQ(wire::StoreFrame(config), Builder().u32(16).u32(2021).u32(1).u32(16).bytes());
}

TEST(ServiceRequests, ReadsHonourVersionAndId) {
  CGetConfigNEW_Send config;
  ASSERT_TRUE(wire::Load(config, Builder().u32(2021).u32(1).u32(42)));
  EXPECT_EQ(config.m_uiKey, 42u);

  CGetConfigNEW_Send noKey(5);
  ASSERT_TRUE(wire::Load(noKey, Builder().u32(2021).u32(0)));
  EXPECT_EQ(noKey.m_uiVersion, 0u);
  EXPECT_EQ(noKey.m_uiKey, 5u);

  wire::ExpectEveryPrefixFails<CGetConfigNEW_Send>(Builder().u32(2021).u32(1).u32(42));
  wire::ExpectWrongIdsFail<CGetConfigNEW_Send>(Builder().u32(2021).u32(1).u32(42));
  wire::ExpectWrongIdsFail<CGetApplications_Send>(Builder().u32(2094).u32(1));

  // The three version-only requests are not interchangeable.
  CGetSysComps_Send sys;
  EXPECT_FALSE(wire::Load(sys, Builder().u32(2156).u32(1)));
  EXPECT_TRUE(wire::Load(sys, Builder().u32(2189).u32(7)));
  EXPECT_EQ(sys.m_uiVersion, 7u);
}

}  // namespace
