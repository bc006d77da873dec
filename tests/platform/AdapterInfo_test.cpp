// The adapter list and the address-change notification, read from rtnetlink
// inside a private network namespace.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "common/TestEnv.h"
#include "platform/AdapterInfo.h"

namespace {

// Enters the namespace before any test starts a thread.
class NamespaceEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string why;
    testenv::EnterPrivateNetNamespace(&why);
  }
};
::testing::Environment* const g_Namespace = ::testing::AddGlobalTestEnvironment(new NamespaceEnvironment);

void Sh(const std::string& command) { ASSERT_EQ(0, testenv::Shell(command)) << command; }

struct Pair {
  std::string a;
  Pair(const std::string& a_, const std::string& b) : a(a_) {
    EXPECT_EQ(0, testenv::Shell("ip link add dev " + a + " type veth peer name " + b));
  }
  ~Pair() { testenv::Shell("ip link del dev " + a + " 2>/dev/null"); }
};

const CAdapterInfo* Find(const std::vector<CAdapterInfo>& list, const std::string& name) {
  for (const auto& a : list)
    if (a.AdapterName == name) return &a;
  return nullptr;
}

TEST(GetAdaptersInfo, ReportsAddressesDescriptionsAndStatePerInterfaceInIndexOrder) {
  VCI_REQUIRE_NET_NAMESPACE();
  Pair p("adpAlias", "adpPlain");
  Sh("ip link set adpAlias alias 'My Adapter' && ip link set adpAlias address 02:11:22:33:44:55");
  Sh("ip addr add 10.71.0.1/24 dev adpAlias && ip addr add 10.71.5.1/16 dev adpAlias");
  Sh("ip addr add 10.72.0.1/30 dev adpPlain");
  Sh("ip link set adpAlias up");

  std::vector<CAdapterInfo> list;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetAdaptersInfo(list));
  ASSERT_EQ(2u, list.size()) << "loopback is not an adapter";
  EXPECT_LT(list[0].Index, list[1].Index);

  // adpPlain is down, so adpAlias has no carrier: neither is running.
  const CAdapterInfo* alias = Find(list, "adpAlias");
  ASSERT_TRUE(alias);
  EXPECT_EQ("My Adapter", alias->Description);
  ASSERT_EQ(1u, alias->IpAddressList.size());
  EXPECT_EQ("0.0.0.0", alias->IpAddressList[0].IpAddress);
  EXPECT_EQ(6u, alias->AddressLength);
  EXPECT_EQ(0x02, alias->Address[0]);
  EXPECT_EQ(0x55, alias->Address[5]);

  Sh("ip link set adpPlain up");
  ASSERT_TRUE(testenv::WaitForCarrier("adpAlias"));
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetAdaptersInfo(list));
  alias = Find(list, "adpAlias");
  ASSERT_TRUE(alias);
  ASSERT_EQ(2u, alias->IpAddressList.size());
  EXPECT_EQ("10.71.0.1", alias->IpAddressList[0].IpAddress);
  EXPECT_EQ("255.255.255.0", alias->IpAddressList[0].IpMask);
  EXPECT_EQ("10.71.5.1", alias->IpAddressList[1].IpAddress);
  EXPECT_EQ("255.255.0.0", alias->IpAddressList[1].IpMask);

  const CAdapterInfo* plain = Find(list, "adpPlain");
  ASSERT_TRUE(plain);
  EXPECT_EQ("veth", plain->Description) << "link kind when there is no alias";
  EXPECT_EQ("255.255.255.252", plain->IpAddressList[0].IpMask);
}

TEST(GetAdaptersInfo, NoAdapterAndNoLoopbackIsNoData) {
  VCI_REQUIRE_NET_NAMESPACE();
  std::vector<CAdapterInfo> list(1);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetAdaptersInfo(list));
  EXPECT_TRUE(list.empty());
  Sh("ip link set lo down");
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_DATA), GetAdaptersInfo(list));
  Sh("ip link set lo up");
}

TEST(CAddrChangeNotify, AChangeEndsOneWaitAndTheSemaphoreEndsAnyWait) {
  VCI_REQUIRE_NET_NAMESPACE();
  CWakeSemaphore sem;
  ASSERT_TRUE(sem.Create(0, 100));
  CAddrChangeNotify notify;
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), notify.Request());

  // A change made before the wait is still seen (it stays queued), and a
  // burst of messages ends one wait only.
  Pair p("ntfA", "ntfB");
  Sh("ip link set ntfA up && ip link set ntfB up && ip addr add 10.73.0.1/24 dev ntfA");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(CAddrChangeNotify::WAIT_NOTIFIED, CAddrChangeNotify::Wait(&notify, sem));

  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    sem.Release();
  });
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(CAddrChangeNotify::WAIT_WOKEN, CAddrChangeNotify::Wait(&notify, sem));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(80)) << "the burst was not drained";
  releaser.join();

  // Without a notification the semaphore alone ends the wait; a change does not.
  sem.Release();
  EXPECT_EQ(CAddrChangeNotify::WAIT_WOKEN, CAddrChangeNotify::Wait(nullptr, sem));
  EXPECT_FALSE(sem.TryAcquire()) << "one release wakes one wait";
  notify.Close();
  sem.Close();
  EXPECT_FALSE(sem.Release());
}

}  // namespace
