// The interface monitor inside a private network namespace: what it lists
// for veth pairs dressed up (by alias) as a VCI's USB adapter or as plain
// Ethernet, and how a change reaches its listeners.
#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "common/TestEnv.h"
#include "netif/IFMonitor.h"

namespace {

// Enters the namespace before any test starts a thread; every test of this
// program then runs in it (ctest starts one process per test, so each gets a
// fresh one).
class NamespaceEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string why;
    testenv::EnterPrivateNetNamespace(&why);
  }
};
::testing::Environment* const g_Namespace = ::testing::AddGlobalTestEnvironment(new NamespaceEnvironment);

void Sh(const std::string& command) { ASSERT_EQ(0, testenv::Shell(command)) << command; }

// Removes the veth pairs a test made (deleting one end deletes both).
struct Links {
  std::vector<std::string> names;
  ~Links() {
    for (const auto& n : names) testenv::Shell("ip link del dev " + n + " 2>/dev/null");
  }
};

void AddPair(Links& links, const std::string& a, const std::string& b) {
  Sh("ip link add dev " + a + " type veth peer name " + b);
  links.names.push_back(a);
}

int OpenDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (readdir(d)) ++n;
  closedir(d);
  return n;
}

class CListener : public IIFEvent {
 public:
  void OnIFNotify() override {
    std::lock_guard<std::mutex> lock(m_Lock);
    ++m_iNotifies;
    m_Cond.notify_all();
  }
  void OnIFError(int32_t) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    ++m_iErrors;
    m_Cond.notify_all();
  }
  // True when the notification count passed seen within ms.
  bool WaitBeyond(int seen, int ms) {
    std::unique_lock<std::mutex> lock(m_Lock);
    return m_Cond.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_iNotifies > seen; });
  }
  int Notifies() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_iNotifies;
  }

 private:
  std::mutex m_Lock;
  std::condition_variable m_Cond;
  int m_iNotifies = 0;
  int m_iErrors = 0;
};

const CIFList::CIF* Find(const CIFList& l, const std::string& address) {
  auto it = l.GetIFs().find(address);
  return it == l.GetIFs().end() ? nullptr : &it->second;
}

TEST(CIFMonitor, ANamespaceWithOnlyLoopbackListsTheLoopbackEntryAlone) {
  VCI_REQUIRE_NET_NAMESPACE();
  CIFMonitor monitor;
  CIFList list;
  list.AddIF("1.1.1.1", "255.0.0.0", "1.255.255.255", "00:00:00:00:00:01", IF_ETHERNET, "stale");
  ASSERT_EQ(0, monitor.RefreshAddressList(list));
  CIFList expected;
  expected.AddIF("127.0.0.1", "255.0.0.0", "255.0.0.0", "00:01:02:03:04:05", IF_LOCAL, "");
  EXPECT_FALSE(list != expected);
  ASSERT_EQ(1u, list.GetCount());
  EXPECT_EQ("", list.GetAt(0)->m_strName);

  // With the loopback down as well there is no data: success, nothing listed.
  Sh("ip link set lo down");
  EXPECT_EQ(0, monitor.RefreshAddressList(list));
  EXPECT_EQ(0u, list.GetCount());
  Sh("ip link set lo up");
}

TEST(CIFMonitor, KindsAddressesAndLeftOutAdaptersFollowDescriptionAndState) {
  VCI_REQUIRE_NET_NAMESPACE();
  Links links;
  // A VCI's adapter, named by the third text with a suffix, two addresses.
  AddPair(links, "nimUsb1", "nimEth1");
  Sh("ip link set nimUsb1 address 02:0a:1b:2c:3d:4e");
  Sh("ip link set nimUsb1 alias 'KIVO VCI USB RNDIS Device #2'");
  Sh("ip addr add 10.61.0.1/24 dev nimUsb1 && ip addr add 10.61.0.2/24 dev nimUsb1");
  Sh("ip addr add 10.62.0.1/16 dev nimEth1");
  Sh("ip link set nimUsb1 up && ip link set nimEth1 up");
  // A VCI's adapter without an address yet; its Ethernet peer is down.
  AddPair(links, "nimUsb2", "nimEth2");
  Sh("ip link set nimUsb2 alias 'KIVO USB Remote NDIS Network Device'");
  Sh("ip addr add 10.63.0.1/24 dev nimEth2");
  Sh("ip link set nimUsb2 up");
  // The texts match case-sensitively only; an Ethernet adapter up without
  // an IPv4 address is left out.
  AddPair(links, "nimLow3", "nimEth4");
  Sh("ip link set nimLow3 alias 'kivo vci usb rndis device'");
  Sh("ip addr add 10.64.0.1/24 dev nimLow3");
  Sh("ip link set nimLow3 up && ip link set nimEth4 up");
  for (const char* name : {"nimUsb1", "nimEth1", "nimLow3", "nimEth4"}) ASSERT_TRUE(testenv::WaitForCarrier(name)) << name;

  CIFMonitor monitor;
  CIFList list;
  ASSERT_EQ(0, monitor.RefreshAddressList(list));
  ASSERT_EQ(5u, list.GetCount());

  const CIFList::CIF* usb = Find(list, "10.61.0.1");
  ASSERT_TRUE(usb);
  EXPECT_EQ(IF_USB, usb->m_eIF);
  EXPECT_EQ("255.255.255.0", usb->m_strMask);
  EXPECT_EQ("10.61.0.255", usb->m_strBroadcast);
  EXPECT_EQ("02:0A:1B:2C:3D:4E", usb->m_strHWAddr);
  EXPECT_EQ("nimUsb1", usb->m_strName);
  EXPECT_FALSE(list.Contains("10.61.0.2"));

  const CIFList::CIF* bare = Find(list, "0.0.0.0");
  ASSERT_TRUE(bare);
  EXPECT_EQ(IF_USB, bare->m_eIF);
  EXPECT_EQ("nimUsb2", bare->m_strName);

  const CIFList::CIF* eth = Find(list, "10.62.0.1");
  ASSERT_TRUE(eth);
  EXPECT_EQ(IF_ETHERNET, eth->m_eIF);
  EXPECT_EQ("10.62.255.255", eth->m_strBroadcast);
  ASSERT_TRUE(Find(list, "10.64.0.1"));
  EXPECT_EQ(IF_ETHERNET, Find(list, "10.64.0.1")->m_eIF);
  EXPECT_FALSE(list.Contains("10.63.0.1"));

  const CIFList::CIF* lo = Find(list, "127.0.0.1");
  ASSERT_TRUE(lo);
  EXPECT_EQ(IF_LOCAL, lo->m_eIF);
  EXPECT_EQ("255.0.0.0", lo->m_strBroadcast);
}

TEST(CIFMonitor, ListenersHearEveryChangeWithinASecondAndNothingForAnEqualList) {
  VCI_REQUIRE_NET_NAMESPACE();
  Links links;
  AddPair(links, "nimUsb5", "nimEth5");
  Sh("ip link set nimUsb5 alias 'USB Ethernet/RNDIS Gadget'");
  Sh("ip link set nimUsb5 up && ip link set nimEth5 up");
  ASSERT_TRUE(testenv::WaitForCarrier("nimUsb5"));

  CIFMonitor monitor;
  CListener listener, second;
  CIFList list;
  ASSERT_EQ(0, monitor.Register(&listener, list));
  ASSERT_EQ(0, monitor.Register(&second, list));
  EXPECT_TRUE(list.Contains("0.0.0.0"));

  int seen = listener.Notifies();
  Sh("ip addr add 10.65.0.1/24 dev nimUsb5");
  ASSERT_TRUE(listener.WaitBeyond(seen, 1000)) << "address added";
  EXPECT_TRUE(second.WaitBeyond(0, 1000));
  ASSERT_EQ(0, monitor.GetIFList(list));
  ASSERT_TRUE(list.Contains("10.65.0.1"));
  EXPECT_EQ(IF_USB, Find(list, "10.65.0.1")->m_eIF);

  // A second address leaves the list as it was.
  seen = listener.Notifies();
  Sh("ip addr add 10.65.0.7/24 dev nimUsb5");
  EXPECT_FALSE(listener.WaitBeyond(seen, 500)) << "equal list notified";

  seen = listener.Notifies();
  Sh("ip addr del 10.65.0.7/24 dev nimUsb5 && ip addr del 10.65.0.1/24 dev nimUsb5");
  ASSERT_TRUE(listener.WaitBeyond(seen, 1000)) << "address removed";
  ASSERT_EQ(0, monitor.GetIFList(list));
  EXPECT_FALSE(list.Contains("10.65.0.1"));

  seen = listener.Notifies();
  Sh("ip addr add 10.65.0.1/24 dev nimUsb5");
  ASSERT_TRUE(listener.WaitBeyond(seen, 1000));
  // Taking the link down: the USB adapter stays, with 0.0.0.0.
  seen = listener.Notifies();
  int secondBefore = second.Notifies();
  Sh("ip link set nimEth5 down");
  ASSERT_TRUE(listener.WaitBeyond(seen, 1000)) << "link down";
  // The second listener is told after the first, from the same pass.
  ASSERT_TRUE(second.WaitBeyond(secondBefore, 1000));
  ASSERT_EQ(0, monitor.GetIFList(list));
  EXPECT_FALSE(list.Contains("10.65.0.1"));
  EXPECT_TRUE(list.Contains("0.0.0.0"));

  // Unregistered listeners hear nothing more.
  EXPECT_EQ(0, monitor.Unregister(&second));
  EXPECT_EQ(-1, monitor.Unregister(&second));
  int secondSeen = second.Notifies();
  seen = listener.Notifies();
  Sh("ip link set nimEth5 up");
  ASSERT_TRUE(listener.WaitBeyond(seen, 1000));
  EXPECT_EQ(secondSeen, second.Notifies());
  EXPECT_EQ(0, monitor.Stop());
}

TEST(CIFMonitor, RegisterAndUnregisterRefuseWhatIsNotAListener) {
  VCI_REQUIRE_NET_NAMESPACE();
  CIFMonitor monitor;
  CIFList list;
  CListener stranger;
  EXPECT_EQ(20514, monitor.Register(nullptr, list));
  EXPECT_EQ(0u, list.GetCount());
  EXPECT_EQ(-1, monitor.Unregister(&stranger));
  EXPECT_EQ(-1, monitor.Stop());  // never started
  // GetIFList starts the monitor by itself.
  ASSERT_EQ(0, monitor.GetIFList(list));
  EXPECT_TRUE(list.Contains("127.0.0.1"));
  EXPECT_EQ(0, monitor.Stop());
}

TEST(CIFMonitor, StopEndsTheThreadPromptlyAndLeavesNoDescriptor) {
  VCI_REQUIRE_NET_NAMESPACE();
  const int before = OpenDescriptors();
  CIFMonitor monitor;
  for (int round = 0; round < 3; ++round) {
    CListener listener;
    CIFList list;
    ASSERT_EQ(0, monitor.Register(&listener, list));
    // Let the thread reach its wait.
    listener.WaitBeyond(0, 50);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(0, monitor.Stop());
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(ms, 100);
    EXPECT_EQ(before, OpenDescriptors()) << "round " << round;
    // The lists are forgotten; a stopped monitor starts again on demand.
    EXPECT_EQ(-1, monitor.Unregister(&listener));
  }
}

TEST(CIFMonitor, TheProcessWideInstanceIsOne) {
  EXPECT_EQ(&CIFMonitor::GetInstance(), &CIFMonitor::GetInstance());
}

}  // namespace
