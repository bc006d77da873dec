// The adapter list, the network connections and the address-change
// notification, read from rtnetlink inside a private network namespace.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>

#include "common/TestEnv.h"
#include "platform/AdapterInfo.h"
#include "platform/NetConnection.h"

namespace {

using testenv::Sh;

::testing::Environment* const g_Namespace =
    ::testing::AddGlobalTestEnvironment(new testenv::NetNamespaceEnvironment);

const CAdapterInfo* Find(const std::vector<CAdapterInfo>& list, const std::string& name) {
  for (const auto& a : list)
    if (a.AdapterName == name) return &a;
  return nullptr;
}

// A link that is down is a disabled adapter, left out. A network connection
// is a link whose alias holds its name; connecting sets the link up.
TEST(GetAdaptersInfo, ReportsAddressesDescriptionsAndStatePerInterfaceInIndexOrder) {
  VCI_REQUIRE_NET_NAMESPACE();
  testenv::VethPair p("adpAlias", "adpPlain");
  Sh("ip link set adpAlias alias 'My Adapter' && ip link set adpAlias address 02:11:22:33:44:55");
  Sh("ip addr add 10.71.0.1/24 dev adpAlias && ip addr add 10.71.5.1/16 dev adpAlias");
  Sh("ip addr add 10.72.0.1/30 dev adpPlain");
  std::vector<CAdapterInfo> list(1);
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetAdaptersInfo(list));
  EXPECT_TRUE(list.empty()) << "loopback and links that are down are no adapters";
  Sh("ip link set lo down");
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_DATA), GetAdaptersInfo(list)) << "no adapter and no loopback";
  Sh("ip link set lo up");
  std::vector<CNetConnection> found;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), FindNetConnections("y Adapt", found));
  ASSERT_EQ(1u, found.size());
  EXPECT_EQ("adpAlias", found[0].Name());
  EXPECT_EQ(S_OK, found[0].Disconnect());
  EXPECT_EQ(S_OK, found[0].Connect());

  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetAdaptersInfo(list));
  // adpPlain is down, and so adpAlias has no carrier.
  ASSERT_EQ(1u, list.size());
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
  ASSERT_EQ(2u, list.size());
  EXPECT_LT(list[0].Index, list[1].Index);
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

TEST(GetInterfaceAddresses, ListsEveryIPv4AddressWithMaskAndInterfaceLoopbackIncluded) {
  VCI_REQUIRE_NET_NAMESPACE();
  testenv::VethPair p("ifaA", "ifaB");
  // Down interfaces keep their addresses in this list.
  Sh("ip addr add 10.74.0.1/24 dev ifaA && ip addr add 10.74.8.1/16 dev ifaA");
  std::vector<CInterfaceAddress> list;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetInterfaceAddresses(list, INTERFACE_LIST_MAX));
  ASSERT_EQ(3u, list.size());
  const struct {
    const char *address, *mask, *name;
  } expected[] = {{"127.0.0.1", "255.0.0.0", "lo"}, {"10.74.0.1", "255.255.255.0", "ifaA"},
                  {"10.74.8.1", "255.255.0.0", "ifaA"}};
  for (size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(expected[i].address, list[i].AddressText);
    EXPECT_EQ(expected[i].mask, list[i].MaskText);
    EXPECT_EQ(expected[i].name, list[i].Name);
    EXPECT_EQ(inet_addr(expected[i].address), list[i].Address);
    EXPECT_EQ(inet_addr(expected[i].mask), list[i].Mask);
  }
  EXPECT_NE(list[0].Index, list[1].Index);
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetInterfaceAddresses(list, 2));
  EXPECT_EQ(2u, list.size()) << "cut after the count asked for";
}

// A burst of changes ends one wait and leaves nothing queued; the semaphore
// ends any wait.
TEST(CAddrChangeNotify, AChangeEndsOneWaitAndTheSemaphoreEndsAnyWait) {
  VCI_REQUIRE_NET_NAMESPACE();
  CWakeSemaphore sem;
  ASSERT_TRUE(sem.Create(0, 100));
  const std::set<int> before = testenv::OpenDescriptors();
  CAddrChangeNotify notify;
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), notify.Request());
  std::set<int> after = testenv::OpenDescriptors();
  for (int fd : before) after.erase(fd);
  ASSERT_EQ(1u, after.size());
  // The kernel queues the messages before the commands return, so a change
  // made before the wait is seen.
  testenv::VethPair p("ntfA", "ntfB");
  Sh("ip link set ntfA up && ip link set ntfB up && ip addr add 10.73.0.1/24 dev ntfA");
  EXPECT_EQ(CAddrChangeNotify::WAIT_NOTIFIED, CAddrChangeNotify::Wait(&notify, sem));
  struct pollfd pfd = {*after.begin(), POLLIN, 0};
  EXPECT_EQ(0, poll(&pfd, 1, 0)) << "the burst was not drained";

  sem.Release();
  EXPECT_EQ(CAddrChangeNotify::WAIT_WOKEN, CAddrChangeNotify::Wait(&notify, sem));
  sem.Release();
  EXPECT_EQ(CAddrChangeNotify::WAIT_WOKEN, CAddrChangeNotify::Wait(nullptr, sem));
  EXPECT_FALSE(sem.TryAcquire()) << "one release wakes one wait";
  notify.Close();
  sem.Close();
  EXPECT_FALSE(sem.Release());
}

}  // namespace
