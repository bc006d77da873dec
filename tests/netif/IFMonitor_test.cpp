// The interface monitor inside a private network namespace: what it lists
// for veth pairs dressed up (by alias) as a VCI's USB adapter or as plain
// Ethernet, and how a change reaches its listeners.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "common/SocketPeers.h"
#include "common/TestEnv.h"
#include "netif/IFMonitor.h"

namespace {

using testenv::Sh;
using testenv::VethPair;

::testing::Environment* const g_Namespace =
    ::testing::AddGlobalTestEnvironment(new testenv::NetNamespaceEnvironment);

// Records the list it fetches from inside each notification, as the
// discovery engine does; OnNotify (set before registering) runs after that.
class CListener : public IIFEvent {
 public:
  explicit CListener(CIFMonitor& monitor) : m_Monitor(monitor) {}
  void OnIFNotify() override {
    CIFList list;
    m_Monitor.GetIFList(list);
    if (OnNotify) OnNotify();
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Lists.push_back(list);
    m_Cond.notify_all();
  }
  void OnIFError(int32_t) override {}
  // Waits until the last notification's list satisfies done.
  bool WaitForList(const std::function<bool(const CIFList&)>& done) {
    std::unique_lock<std::mutex> lock(m_Lock);
    return m_Cond.wait_for(lock, std::chrono::milliseconds(sockettest::kGuardMs),
                           [&] { return !m_Lists.empty() && done(m_Lists.back()); });
  }
  std::vector<CIFList> Lists() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Lists;
  }
  std::function<void()> OnNotify;

 private:
  CIFMonitor& m_Monitor;
  std::mutex m_Lock;
  std::condition_variable m_Cond;
  std::vector<CIFList> m_Lists;
};

TEST(CIFMonitor, KindsAddressesAndLeftOutAdaptersFollowDescriptionAndState) {
  // A VCI's adapter, named by the third text with a suffix, two addresses.
  VethPair one("nimUsb1", "nimEth1");
  Sh("ip link set nimUsb1 address 02:0a:1b:2c:3d:4e && ip link set nimUsb1 alias 'KIVO VCI USB RNDIS Device #2'");
  Sh("ip addr add 10.61.0.1/24 dev nimUsb1 && ip addr add 10.61.0.2/24 dev nimUsb1");
  Sh("ip addr add 10.62.0.1/16 dev nimEth1 && ip link set nimUsb1 up && ip link set nimEth1 up");
  // A VCI's adapter without an address yet; its Ethernet peer is down.
  VethPair two("nimUsb2", "nimEth2");
  Sh("ip link set nimUsb2 alias 'KIVO USB Remote NDIS Network Device'");
  Sh("ip addr add 10.63.0.1/24 dev nimEth2 && ip link set nimUsb2 up");
  // The texts match case-sensitively only; an Ethernet adapter up without
  // an IPv4 address is left out.
  VethPair three("nimLow3", "nimEth4");
  Sh("ip link set nimLow3 alias 'kivo vci usb rndis device' && ip addr add 10.64.0.1/24 dev nimLow3");
  Sh("ip link set nimLow3 up && ip link set nimEth4 up");
  for (const char* name : {"nimUsb1", "nimEth1", "nimLow3", "nimEth4"}) ASSERT_TRUE(testenv::WaitForCarrier(name));

  CIFMonitor monitor;
  CIFList list, expected;
  ASSERT_EQ(0, monitor.RefreshAddressList(list));
  expected.AddIF("10.61.0.1", "255.255.255.0", "10.61.0.255", "02:0A:1B:2C:3D:4E", IF_USB, "nimUsb1");
  expected.AddIF("10.62.0.1", "255.255.0.0", "10.62.255.255", "", IF_ETHERNET, "nimEth1");
  expected.AddIF("0.0.0.0", "0.0.0.0", "255.255.255.255", "", IF_USB, "nimUsb2");
  expected.AddIF("10.64.0.1", "255.255.255.0", "10.64.0.255", "", IF_ETHERNET, "nimLow3");
  expected.AddIF("127.0.0.1", "255.0.0.0", "255.0.0.0", "00:01:02:03:04:05", IF_LOCAL, "");
  ASSERT_EQ(expected.GetCount(), list.GetCount());
  for (const auto& e : expected.GetIFs()) {
    SCOPED_TRACE(e.first);
    ASSERT_TRUE(list.Contains(e.first));
    CIFList::CIF got = list.GetIFs().at(e.first), want = e.second;
    if (want.m_strHWAddr.empty()) want.m_strHWAddr = got.m_strHWAddr;  // assigned by the kernel
    EXPECT_TRUE(got == want) << got.m_strMask << " " << got.m_strBroadcast << " " << got.m_eIF << " " << got.m_strName;
  }
}

// Every notification brings a list that differs from the one before (an
// address that leaves the list as it was notifies nobody), listeners are
// told in registration order, and an unregistered one hears nothing more:
// the listener registered after it is told in the same pass.
TEST(CIFMonitor, ListenersHearEveryChangeInOrderAndNothingForAnEqualList) {
  VethPair pair("nimUsb5", "nimEth5");
  Sh("ip link set nimUsb5 alias 'USB Ethernet/RNDIS Gadget' && ip link set nimUsb5 up && ip link set nimEth5 up");
  ASSERT_TRUE(testenv::WaitForCarrier("nimUsb5"));
  CIFMonitor monitor;
  CListener first(monitor), second(monitor);
  CIFList list;
  ASSERT_EQ(0, monitor.Register(&first, list));
  ASSERT_EQ(0, monitor.Register(&second, list));
  EXPECT_TRUE(list.Contains("0.0.0.0"));

  auto has = [](const char* address) { return [=](const CIFList& l) { return l.Contains(address); }; };
  Sh("ip addr add 10.65.0.1/24 dev nimUsb5");
  ASSERT_TRUE(second.WaitForList(has("10.65.0.1")));
  EXPECT_EQ(IF_USB, second.Lists().back().GetIFs().at("10.65.0.1").m_eIF);
  Sh("ip addr add 10.65.0.7/24 dev nimUsb5");
  Sh("ip link set nimEth5 down");  // the USB adapter stays, with 0.0.0.0
  ASSERT_TRUE(second.WaitForList(has("0.0.0.0")));
  EXPECT_FALSE(second.Lists().back().Contains("10.65.0.1"));
  EXPECT_EQ(first.Lists().size(), second.Lists().size()) << "the first is told before the second";

  EXPECT_EQ(0, monitor.Unregister(&first));
  EXPECT_EQ(-1, monitor.Unregister(&first));
  const size_t heard = first.Lists().size();
  Sh("ip link set nimEth5 up");
  ASSERT_TRUE(second.WaitForList(has("10.65.0.1")));
  EXPECT_EQ(heard, first.Lists().size());
  const std::vector<CIFList> lists = second.Lists();
  for (size_t i = 1; i < lists.size(); ++i) EXPECT_TRUE(lists[i] != lists[i - 1]) << "notification " << i;
  EXPECT_EQ(0, monitor.Stop());
}

// Once Unregister returns, the listener is never called again: it waits for
// a call in progress, except on the monitor thread itself (a listener that
// unregisters from inside its call), where waiting would never end.
TEST(CIFMonitor, UnregisterWaitsForACallInProgressExceptFromInsideTheCall) {
  VethPair pair("nimUsb6", "nimEth6");
  CIFMonitor monitor;
  sockettest::Latch inCall, unregistering;
  std::atomic<bool> callEnded{false};
  CListener slow(monitor), self(monitor);
  slow.OnNotify = [&] {
    inCall.Set();
    unregistering.Wait();
    for (int i = 0; i < 1000; ++i) std::this_thread::yield();
    callEnded = true;
  };
  self.OnNotify = [&] { EXPECT_EQ(0, monitor.Unregister(&self)); };
  CIFList list;
  ASSERT_EQ(0, monitor.Register(&slow, list));
  ASSERT_EQ(0, monitor.Register(&self, list));
  Sh("ip addr add 10.66.0.1/24 dev nimUsb6 && ip link set nimEth6 up && ip link set nimUsb6 up");
  ASSERT_TRUE(inCall.Wait());
  std::atomic<bool> returnedAfterCall{false};
  std::thread other([&] {
    unregistering.Set();
    EXPECT_EQ(0, monitor.Unregister(&slow));
    returnedAfterCall = callEnded.load();
  });
  other.join();
  EXPECT_TRUE(returnedAfterCall);
  ASSERT_TRUE(self.WaitForList([](const CIFList&) { return true; }));
  EXPECT_EQ(-1, monitor.Unregister(&self));
  EXPECT_EQ(0, monitor.Stop());
}

TEST(CIFMonitor, RegisterRefusesANullListenerAndStopEndsTheThreadAtOnceForgettingListenersAndDescriptors) {
  const std::set<int> before = testenv::OpenDescriptors();
  CIFMonitor monitor;
  CIFList list;
  CListener listener(monitor);
  EXPECT_EQ(20514, monitor.Register(nullptr, list));
  EXPECT_EQ(0u, list.GetCount());
  EXPECT_EQ(-1, monitor.Unregister(&listener));
  EXPECT_EQ(-1, monitor.Stop()) << "never started";
  // A namespace with loopback alone lists its entry alone, in place of
  // whatever the list held.
  CIFList loopback;
  loopback.AddIF("127.0.0.1", "255.0.0.0", "255.0.0.0", "00:01:02:03:04:05", IF_LOCAL, "");
  list.AddIF("1.1.1.1", "255.0.0.0", "1.255.255.255", "00:00:00:00:00:01", IF_ETHERNET, "stale");
  for (int round = 0; round < 3; ++round) {
    // GetIFList starts the monitor as Register does.
    ASSERT_EQ(0, round == 0 ? monitor.GetIFList(list) : monitor.Register(&listener, list));
    EXPECT_TRUE(list == loopback);
    auto t0 = sockettest::Clock::now();
    ASSERT_EQ(0, monitor.Stop());
    EXPECT_LT(sockettest::MsSince(t0), sockettest::kGuardMs) << "the thread's wait is cut, not waited out";
    EXPECT_EQ(before, testenv::OpenDescriptors()) << "round " << round;
    EXPECT_EQ(-1, monitor.Unregister(&listener));
  }
  Sh("ip link set lo down");
  EXPECT_EQ(0, monitor.RefreshAddressList(list));
  EXPECT_EQ(0u, list.GetCount());
  Sh("ip link set lo up");
}

}  // namespace
