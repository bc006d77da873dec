// Multicast reception on fixed ports and extra interfaces: every test here
// runs in a private network namespace.
#include <gtest/gtest.h>

#include <thread>

#include "SocketTestUtil.h"
#include "common/TestEnv.h"
#include "transport/ServerSocket.h"

namespace {

using namespace sockettest;

// Sends one datagram to 225.1.1.1:port from a socket bound to source, out of
// the interface that carries outInterface.
void SendToGroup(const char* source, const char* outInterface, uint16_t port, const std::string& datagram) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in from {};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, source, &from.sin_addr);
  ASSERT_EQ(bind(s, reinterpret_cast<struct sockaddr*>(&from), sizeof from), 0) << source;
  struct in_addr out;
  inet_pton(AF_INET, outInterface, &out);
  ASSERT_EQ(setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out), 0);
  struct sockaddr_in to {};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, "225.1.1.1", &to.sin_addr);
  ASSERT_EQ(sendto(s, datagram.data(), datagram.size(), 0, reinterpret_cast<struct sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(datagram.size()));
  close(s);
}

struct MulticastSocket {
  explicit MulticastSocket(const char* address, uint16_t port = 8194) : socket(&recorder) {
    socket.SetLocalAddress(address);
    result = socket.Initialize(SOCKTYPE_UDP_MULTICAST, port, false);
  }
  ~MulticastSocket() { socket.Shutdown(); }
  CRecorder recorder;
  CServerSocket socket;
  int result;
};

TEST(CServerSocketMulticast, AnnouncementFromAVciOnLoopbackCarriesBothAddressTexts) {
  VCI_REQUIRE_NET_NAMESPACE();
  MulticastSocket listener("127.0.0.1");
  ASSERT_EQ(listener.result, 0);
  EXPECT_EQ(listener.socket.GetPort(), 8194);
  SendToGroup("127.0.0.2", "127.0.0.1", 8194, Frame({2157, 1, 2}));
  ASSERT_TRUE(listener.recorder.WaitForCalls(1, 2000));
  auto calls = listener.recorder.Calls();
  EXPECT_EQ(calls[0].remote, "127.0.0.2");
  EXPECT_EQ(calls[0].local, "127.0.0.1");
  EXPECT_EQ(calls[0].content, Frame({2157, 1, 2}).substr(4));
  // A datagram to another port of the group is not this socket's.
  SendToGroup("127.0.0.3", "127.0.0.1", 8195, Frame({2157}));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(listener.recorder.Calls().size(), 1u);

  // Shutdown leaves the group; a socket opened afterwards receives again.
  listener.socket.Shutdown();
  MulticastSocket again("127.0.0.1");
  ASSERT_EQ(again.result, 0);
  SendToGroup("127.0.0.2", "127.0.0.1", 8194, Frame({2026}));
  EXPECT_TRUE(again.recorder.WaitForCalls(1, 2000));
  EXPECT_EQ(listener.recorder.Calls().size(), 1u);
}

TEST(CServerSocketMulticast, EachInterfaceSocketReceivesOnlyWhatArrivesOnItsInterface) {
  VCI_REQUIRE_NET_NAMESPACE();
  ASSERT_EQ(testenv::Shell("ip link del vcimA 2>/dev/null; ip link add vcimA type veth peer name vcimB && "
                           "ip addr add 10.77.0.1/24 dev vcimA && ip addr add 10.77.0.2/24 dev vcimB && "
                           "ip link set vcimA up && ip link set vcimB up && "
                           "sysctl -qw net.ipv4.conf.vcimA.accept_local=1 net.ipv4.conf.vcimA.rp_filter=0 "
                           "net.ipv4.conf.all.rp_filter=0"),
            0);
  // Both ends live in this namespace, so vcimA must accept a source address
  // that is local. The pair carries traffic once both ends have their carrier.
  ASSERT_TRUE(testenv::WaitForCarrier("vcimA"));
  ASSERT_TRUE(testenv::WaitForCarrier("vcimB"));
  MulticastSocket loopback("127.0.0.1");
  MulticastSocket veth("10.77.0.1");
  ASSERT_EQ(loopback.result, 0);
  ASSERT_EQ(veth.result, 0);

  // Out of vcimB: arrives on vcimA.
  SendToGroup("10.77.0.2", "10.77.0.2", 8194, Frame({2157, 0xB}));
  ASSERT_TRUE(veth.recorder.WaitForCalls(1, 3000));
  // On loopback.
  SendToGroup("127.0.0.2", "127.0.0.1", 8194, Frame({2157, 0x1}));
  ASSERT_TRUE(loopback.recorder.WaitForCalls(1, 2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  auto onVeth = veth.recorder.Calls();
  auto onLoopback = loopback.recorder.Calls();
  ASSERT_EQ(onVeth.size(), 1u);
  ASSERT_EQ(onLoopback.size(), 1u);
  EXPECT_EQ(GetWord(onVeth[0].content, 4), 0xBu);
  EXPECT_EQ(onVeth[0].remote, "10.77.0.2");
  EXPECT_EQ(onVeth[0].local, "10.77.0.1");
  EXPECT_EQ(GetWord(onLoopback[0].content, 4), 0x1u);
  EXPECT_EQ(onLoopback[0].local, "127.0.0.1");
  testenv::Shell("ip link del vcimA");
}

}  // namespace
