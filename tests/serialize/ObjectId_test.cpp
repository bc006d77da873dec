#include "serialize/ObjectId.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(ObjectIdTest, NamesIgnoreTheEncipheredFlagAndUnnamedIdsAreUnknown) {
  const struct {
    uint32_t id;
    const char* name;
  } rows[] = {
      {2034, "SID_IDENT_CONNECT_SEND"}, {0x8000 + 2034, "SID_IDENT_CONNECT_SEND"}, {2037, "SID_IDENT_CONNECT_RECV"},
      // Log names that differ in wording from their class.
      {OBJID_CTransportTests_Recv, "SID_TRANSPORT_OPTION"}, {OBJID_CGetConfigNEW_Send, "SID_GET_CONFIG_SEND"},
      {OBJID_CAppVersion, "SID_APP_VERSION"},
      {OBJID_CVCIStatus, "UNKNOWN OBJECT"}, {2501, "UNKNOWN OBJECT"}, {0xFFFFFFFF, "UNKNOWN OBJECT"},
      {0, "UNKNOWN OBJECT"}};
  for (const auto& row : rows) EXPECT_STREQ(GetObjectName(row.id), row.name) << row.id;
}

TEST(ObjectIdTest, TableHoldsExactly112NamesAndFillsOnceUnderRace) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back([] { GetObjectName(2034); });
  for (auto& t : threads) t.join();
  int named = 0;
  std::set<std::string> distinct;
  for (uint32_t id = 0; id <= 2500; ++id) {
    std::string n = GetObjectName(id);
    if (n != "UNKNOWN OBJECT") {
      ++named;
      distinct.insert(n);
      EXPECT_EQ(n.rfind("SID_", 0), 0u) << id;
    }
  }
  EXPECT_EQ(named, 112);
  EXPECT_EQ(distinct.size(), 112u);
}

}  // namespace
