// The discovery engine in process, inside a private network namespace: fed
// datagrams by hand where the table logic is the point, and against vci-sim
// (on loopback, or behind a veth pair in a second namespace) where sockets,
// fetches, caches and route checks are.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "common/BtSimProcess.h"
#include "common/TestEnv.h"
#include "discovery/VCIIdentClient.h"
#include "host/Brand.h"
#include "host/TraceCapture.h"
#include "records/CacheFile.h"
#include "records/VCIIdentMsg.h"
#include "records/VCIStatusMap.h"
#include "records/WireBytes.h"
#include "tools/SimProcess.h"

using testenv::SimProcess;
using Event = std::pair<uint32_t, uint32_t>;

namespace {

// Every test of the program runs in the private namespace, entered before
// any thread starts.
::testing::Environment* const g_Namespace =
    ::testing::AddGlobalTestEnvironment(new testenv::NetNamespaceEnvironment);

class Sink : public IIdentEvent {
  template <class F>
  auto Locked(F f) {
    std::lock_guard<std::mutex> g(m_Lock);
    return f();
  }

 public:
  void OnIdentNotify(uint32_t type, uint32_t value) override { Locked([&] { m_Events.emplace_back(type, value); }); }
  void OnIdentUsb(uint32_t code) override { Locked([&] { m_Usb.push_back(code); }); }
  std::vector<Event> Events() { return Locked([&] { return m_Events; }); }
  std::vector<uint32_t> Usb() { return Locked([&] { return m_Usb; }); }

 private:
  std::mutex m_Lock;
  std::vector<Event> m_Events;  // Guarded by m_Lock.
  std::vector<uint32_t> m_Usb;  // Guarded by m_Lock.
};

// A second network namespace behind the veth pair vx0 (here) / vx1 (there),
// held by a child process until destruction.
class FarNamespace {
 public:
  FarNamespace() : m_Holder("/usr/bin/unshare", {"-n", "sh", "-c", "echo up; exec cat"}, "up") {
    m_bUp = m_Holder.Ready() && testenv::Shell("ip link add vx0 type veth peer name vx1 && ip link set vx1 netns " +
                                               std::to_string(m_Holder.Pid()) + " && ip link set vx0 up") == 0;
  }
  bool Up() const { return m_bUp; }
  int Run(const std::string& commands) {
    return testenv::Shell("nsenter -t " + std::to_string(m_Holder.Pid()) + " -n sh -c '" + commands + "'");
  }
  // vci-sim inside the namespace.
  std::unique_ptr<testenv::ChildProcess> Sim(std::vector<std::string> args) {
    args.insert(args.begin(), {"-t", std::to_string(m_Holder.Pid()), "-n", std::string(VCI_BIN_DIR) + "/vci-sim"});
    return std::unique_ptr<testenv::ChildProcess>(new testenv::ChildProcess("/usr/bin/nsenter", args, "ready"));
  }

 private:
  testenv::ChildProcess m_Holder;
  bool m_bUp = false;
};

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VCI_REQUIRE_NET_NAMESPACE();
    m_Trace.reset(new tracetest::TraceCapture("[Log]\nLevel=info\n[Mode]\nShowWindow=true\n"));
    std::string brand;
    ASSERT_TRUE(EncodeBrandText(GetBrandKeyName(1), brand));
    const std::string registry = tracetest::RegistryText(Home(), Home()) + "\"Brand\"=\"" + brand + "\"\n";
    testenv::WriteFile(m_Trace->RegistryPath(), registry);
    tracetest::TraceCapture::Clear();
    engine.reset(new CVCIIdentClient);
  }
  void TearDown() override {
    if (engine) engine->Uninitialize();
  }
  bool Start(bool bluetooth = false) { return engine->Initialize(&sink, bluetooth) == 0; }
  std::string Home() const { return m_Trace->Dir().Path(); }
  std::string CachePath() const { return Home() + "/data_files/valid-module_1.bin"; }

  template <class Condition>
  static bool WaitUntil(Condition done) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  static bool Logged(const std::string& text) {
    for (const std::string& line : tracetest::TraceCapture::Lines())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
  // The listed status of a serial number; serial number 0 when not listed.
  // The table written straight into an archive (the table event's way)
  // reads back as the copy does. Announcements keep arriving between the
  // two reads, so a difference counts only when no pair of reads agrees.
  CVCIStatus Status(uint32_t serial) {
    CVCIStatusMap map;
    wire::Bytes copied, written;
    for (int attempt = 0; attempt < 50; ++attempt) {
      map = CVCIStatusMap();
      engine->GetVCIStatusMap(map);
      CArchiveBuffer copy(CArchiveBuffer::STORING), direct(CArchiveBuffer::STORING);
      EXPECT_TRUE(map.Serialize(copy) && engine->SerializeVCIStatusMap(direct));
      copied = wire::Content(copy);
      written = wire::Content(direct);
      if (copied == written) break;
    }
    EXPECT_EQ(copied, written);
    return map.m_Map.count(serial) ? map.m_Map[serial] : CVCIStatus();
  }
  size_t Listed() {
    CVCIStatusMap map;
    engine->GetVCIStatusMap(map);
    size_t n = 0;
    for (const auto& s : map.m_Map) n += s.second.m_uiSerial != 0;
    return n;
  }
  // The local addresses that foreign is bound to, joined by blanks.
  std::string Bound(const std::string& foreign) {
    CBindMap map;
    engine->GetBindMap(map);
    std::string out;
    for (const auto& b : map.m_Map[foreign]) out += (out.empty() ? "" : " ") + b.m_strLocal;
    return out;
  }
  // One datagram's content, handed over as a socket of local would.
  void Feed(const wire::Bytes& content, const std::string& remote, const std::string& local) {
    CArchiveBuffer request(CArchiveBuffer::LOADING), reply(CArchiveBuffer::STORING);
    ASSERT_TRUE(request.AllocateData(static_cast<uint32_t>(content.size())));
    uint8_t* p;
    uint32_t n;
    request.GetContent(p, n);
    std::copy(content.begin(), content.end(), p);
    EXPECT_EQ(engine->OnDataReceived(request, reply, remote, local), 0);
  }

  // Well inside the 10 s that a service client waits for a reply.
  void ExpectPromptStop() {
    auto start = std::chrono::steady_clock::now();
    engine->Uninitialize();
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_LT(took.count(), 3000);
  }

  std::unique_ptr<tracetest::TraceCapture> m_Trace;
  Sink sink;
  std::unique_ptr<CVCIIdentClient> engine;
};

wire::Bytes Announcement(uint32_t serial, uint32_t state, uint32_t kind) {
  CVCIIdentMsg msg(serial, state, 0x11, 0x22, CSessionList(), kind);
  return wire::Store(msg);
}

std::string AppNames(const CVCIStatus& s) {
  std::string out;
  for (const auto& a : s.m_Apps.GetApps()) out += a.second.m_AppVersion.GetName() + " ";
  for (const auto& c : s.m_AppComps.GetComps()) out += c.first + " ";
  for (const auto& c : s.m_SysComps.GetComps()) out += c.first + " ";
  return out;
}

std::string Info(const CVCIStatus& s, const char* name) {
  std::string v;
  return s.m_DeviceInfo.GetValue(name, v) ? v : "<absent>";
}

// "serial kinds type [legacy] [bt] kind=address..." of a listed status.
std::string Brief(const CVCIStatus& s) {
  std::ostringstream o;
  o << s.m_uiSerial << " " << s.m_uiKinds << " " << s.m_uiModuleType << (s.m_bLegacy ? " legacy" : "")
    << (s.m_bBluetooth ? " bt" : "");
  for (const auto& a : s.m_Addresses) o << " " << a.first << "=" << a.second;
  return o.str();
}

TEST_F(EngineTest, KindsBindingsSweepsAndBluetoothFollowTheTableRules) {
  bool bluetooth = true;
  ASSERT_EQ(engine->Initialize(&sink, bluetooth), 0);
  EXPECT_FALSE(bluetooth);
  EXPECT_EQ(engine->GetBtInitError(), CVCIIdentClient::IDENT_BT_NO_STACK);
  EXPECT_EQ(engine->GetBtInitError(), 0);  // read once
  EXPECT_TRUE(Logged("CVCIIdentClient::Initialize TOSHIBA DLL is not loaded on this PC") &&
              Logged("CVCIIdentClient::Initialize Bluetooth Initialization Error"));

  // Module state 2 lists a VCI without a fetch. The same VCI on Ethernet,
  // unchanged, then on Wireless through another interface.
  const TimePoint heard = TimePoint::Now();
  Feed(Announcement(4711, 2, VCI_KIND_ETHERNET), "127.0.0.2", "127.0.0.1");
  Feed(Announcement(4711, 2, VCI_KIND_ETHERNET), "127.0.0.2", "127.0.0.1");
  Feed(Announcement(4711, 2, VCI_KIND_WIRELESS), "127.0.0.3", "127.0.0.9");
  EXPECT_EQ(sink.Events(), (std::vector<Event>{{4, 3}, {4, 3}}));
  EXPECT_EQ(Brief(Status(4711)), "4711 5 1 1=127.0.0.2 4=127.0.0.3");  // type: the brand number
  EXPECT_EQ(Bound("127.0.0.2") + " " + Bound("127.0.0.3"), "127.0.0.1 127.0.0.9");

  // Bluetooth: a VCI also heard on the network gets the flag; one heard
  // only over Bluetooth is listed with its firmware version.
  BtVciInfoMap bt = {{"4711", {"", 7, 0, 0, {}, 0}}, {"815", {"", 0x01020300, 0, 1, {}, 0}},
                       {"2748", {"", 0x1A2B, 0, 10, {}, 0}}};
  engine->OnVciBtDetect(&bt);
  engine->OnVciBtDetect(&bt);
  EXPECT_EQ(Brief(Status(4711)) + "|" + Brief(Status(815)), "4711 5 1 bt 1=127.0.0.2 4=127.0.0.3|815 0 0 bt");
  EXPECT_EQ(Info(Status(815), "ProductVersion"), "16909056");
  engine->OnVciBtError(7);
  EXPECT_EQ(Brief(Status(4711)) + "|" + Brief(Status(815)), "4711 5 1 1=127.0.0.2 4=127.0.0.3|0 0 0");
  EXPECT_EQ(sink.Events(), (std::vector<Event>{{4, 3}, {4, 3}, {4, 1}, {0x8001, 7}, {4, 1}}));

  // The sweep applies the live table's kind limits (Ethernet falls silent
  // after 5500 ms, Wireless after 10500 ms; the table's own test holds them).
  const TimePoint after = TimePoint::Now();
  EXPECT_EQ(engine->Sweep(heard.PlusMilliseconds(5500)), 0u);
  EXPECT_EQ(engine->Sweep(after.PlusMilliseconds(5501)), 1u);
  EXPECT_EQ(Status(4711).m_uiKinds, static_cast<uint32_t>(VCI_KIND_WIRELESS));
  EXPECT_EQ(engine->Sweep(after.PlusMilliseconds(10501)), 1u);
  EXPECT_EQ(Listed(), 0u);

  // An interface monitor failure closes every socket and empties the table.
  Feed(Announcement(4712, 2, VCI_KIND_ETHERNET), "127.0.0.4", "127.0.0.1");
  engine->OnIFError(3);
  EXPECT_EQ(Listed(), 0u);
  EXPECT_EQ(Bound("127.0.0.4"), "");
  std::vector<Event> events = sink.Events();
  EXPECT_EQ(std::vector<Event>(events.end() - 2, events.end()), (std::vector<Event>{{4, 2}, {13, 16}}));
  EXPECT_EQ(sink.Usb(), std::vector<uint32_t>{3});

  // Every VCI found is stored in vci-bt.txt, and listed from it after a
  // restart when the stored VCIs are to be loaded: the state is written in
  // decimal and read as hexadecimal.
  EXPECT_NE(testenv::ReadFile(Home() + "/data_files/vci-bt.txt").find("= 00001a2b\n"), std::string::npos);
  engine->Uninitialize();
  m_Trace->Reconfigure("[Log]\nLevel=info\n[Mode]\nShowWindow=true\nLoadVCIs=true\n");
  ASSERT_EQ(engine->Initialize(&sink, bluetooth = true), 0);
  EXPECT_EQ(std::to_string(Status(2748).m_uiModuleState) + " " + Info(Status(2748), "ProductVersion"), "16 6699");
}

TEST_F(EngineTest, ANewVciIsFetchedOnceCachedAndListedFromTheCacheAfterARestart) {
  ASSERT_TRUE(Start());
  SimProcess sim({"--serial", "4711", "--interval", "50", "--fault", "close", "--app", "Diagnosis=4.2.1",
                  "--app-comp", "CanDriver=3.3", "--sys-comp", "Kernel=5.10.0", "--product-version", "5.1.2",
                  "--product-date", "20260105", "--module-type", "7"});
  ASSERT_TRUE(sim.Ready());
  // A failed fetch stores nothing; the VCI stays unlisted.
  ASSERT_TRUE(WaitUntil([] { return Logged("CAcquireDeviceStats::Run GetApplications iRet = "); }));
  // While a fetch hangs, later announcements change nothing.
  sim.Command("fault no-answer on");
  sim.Command("fault close off");
  tracetest::TraceCapture::Clear();
  ASSERT_TRUE(WaitUntil([] { return Logged("Retrieving Status from 4711"); }));
  ASSERT_TRUE(WaitUntil([] { return Logged("AcquireDeviceStatsMap found for device 4711"); }));
  EXPECT_TRUE(sink.Events().empty());
  EXPECT_EQ(Listed(), 0u);

  sim.Command("fault no-answer off");
  ASSERT_TRUE(WaitUntil([&] { return !sink.Events().empty(); }));
  EXPECT_EQ(sink.Events(), std::vector<Event>({{4, 3}}));
  const CVCIStatus s = Status(4711);
  EXPECT_EQ(Brief(s) + " " + AppNames(s) + Info(s, "ProductVersion") + " " + Info(s, "ProductDate"),
            "4711 1 7 1=127.0.0.2 Diagnosis CanDriver Kernel 5.1.2 20260105");
  EXPECT_EQ(Bound("127.0.0.2"), "127.0.0.1");

  // With its services closed, a restarted engine lists it from the cache.
  // (The cache file is read while no engine runs: reading announcements sets
  // their process-wide sequence counter, which the receive path owns.)
  sim.Command("fault refuse on");
  engine->Uninitialize();
  CVCICachedMap cache;
  ASSERT_EQ(cache.Load(CachePath()), 0);
  ASSERT_NE(cache.Find(4711), nullptr);
  EXPECT_EQ(AppNames(cache.Find(4711)->m_Status), "Diagnosis CanDriver Kernel ");
  const uint32_t oldToken = cache.Find(4711)->m_Announcement.GetTokenLow();
  // Stores killed before their rename left temporary files; another file stays.
  const std::string data = Home() + "/data_files/";
  for (const char* name : {"valid-module_1.bin.abc123", "vci-bt.txt.Zz09aB", "notes.txt.abc123"})
    testenv::WriteFile(data + name, "x");
  engine.reset(new CVCIIdentClient);
  tracetest::TraceCapture::Clear();
  ASSERT_TRUE(Start());
  std::string left;
  for (const char* name : {"valid-module_1.bin.abc123", "vci-bt.txt.Zz09aB", "notes.txt.abc123"})
    if (access((data + name).c_str(), F_OK) == 0) left += name;
  EXPECT_EQ(left, "notes.txt.abc123");
  ASSERT_TRUE(WaitUntil([&] { return Status(4711).m_uiSerial == 4711; }));
  EXPECT_EQ(AppNames(Status(4711)), "Diagnosis CanDriver Kernel ");
  EXPECT_TRUE(Logged("SN 4711 found in cache, using cached info") && !Logged("CAcquireDeviceStats::Run Entering"));

  // New software (a new device token) is fetched again and replaces the entry.
  sim.Command("fault refuse off");
  sim.Command("token 0A0B0C0D0E0F1011");
  ASSERT_TRUE(WaitUntil([] { return Logged("SN 4711 found in cache, but device info changed"); }));
  ASSERT_TRUE(WaitUntil([] { return Logged("CVCIIdentClient::Run Acquire Stats complete"); }));
  engine->Uninitialize();
  ASSERT_EQ(cache.Load(CachePath()), 0);
  EXPECT_NE(cache.Find(4711)->m_Announcement.GetTokenLow(), oldToken);

  // Snapshots of the cache reach the file in their order, whatever the
  // order of the writes: an earlier one after a later one is not written.
  CVCICachedMap older = cache;
  cache.Set(4712, *cache.Find(4711));
  for (CVCICachedMap* map : {&cache, &older}) {
    CVCIIdentClient::CacheSnapshot snapshot{std::make_shared<CArchiveBuffer>(CArchiveBuffer::STORING),
                                            map == &cache ? 1000u : 999u};
    ASSERT_TRUE(cache_file::Serialize(*map, *snapshot.archive, "m_VCICachedMap"));
    int32_t stored = -1;
    EXPECT_EQ(engine->StoreCache(snapshot, stored), 0);
    EXPECT_EQ(stored, 0);
  }
  ASSERT_EQ(older.Load(CachePath()), 0);
  EXPECT_NE(older.Find(4712), nullptr);
}

// A datagram to the announcement group through the loopback.
void Announce(const wire::Bytes& bytes) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  in_addr loopback{htonl(INADDR_LOOPBACK)};
  setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(CVCIIdentClient::ANNOUNCE_PORT);
  inet_pton(AF_INET, "225.1.1.1", &to.sin_addr);
  EXPECT_EQ(sendto(s, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(bytes.size()));
  close(s);
}

TEST_F(EngineTest, BadDatagramsChangeNothingAndAnnouncementsWithoutFetchAreListedAtOnce) {
  ASSERT_TRUE(Start());
  wire::Bytes truncated = Announcement(5000, 0, 1);
  truncated.insert(truncated.begin(), {0, 0, 0, 0});
  truncated.resize(truncated.size() - 3);
  const std::pair<wire::Bytes, const char*> bad[] = {
      {{1, 2, 3}, "OnDataReceived Serialization buffer ERROR"},
      {wire::Builder().u32(12).u32(0x886D).u32(0), "OnDataReceived UNKNOWN PACKET"},
      {truncated, "OnDataReceived IdentMsg.Serialize ERROR"}};
  for (const auto& b : bad) {
    Announce(b.first);
    EXPECT_TRUE(WaitUntil([&] { return Logged(b.second); })) << b.second;
  }
  EXPECT_EQ(Listed(), 0u);

  // Services closed: a VCI that needed a fetch would stay unlisted.
  std::vector<std::unique_ptr<SimProcess>> sims;
  for (const char* args : {"--serial 5001 --address 127.0.0.2 --module-state 2 --module-type 9 --wireless 55",
                           "--serial 5002 --address 127.0.0.3 --format legacy --product-version 7",
                           "--serial 5003 --address 127.0.0.4 --format recovery"}) {
    std::vector<std::string> words{"--interval", "50", "--fault", "refuse"};
    std::istringstream in(args);
    for (std::string w; in >> w;) words.push_back(w);
    sims.emplace_back(new SimProcess(words));
    ASSERT_TRUE(sims.back()->Ready()) << args;
  }
  // One whose fetch hangs, for the stop below.
  SimProcess silent({"--serial", "5004", "--address", "127.0.0.5", "--interval", "50", "--fault", "no-answer"});
  ASSERT_TRUE(WaitUntil([&] { return Listed() == 3 && Logged("Retrieving Status from 5004"); }));
  // Type 1: the brand number, not the announced type; the recovery VCI is heard on USB.
  EXPECT_EQ(Brief(Status(5001)) + " " + AppNames(Status(5001)), "5001 1 1 1=127.0.0.2 ");
  EXPECT_EQ(Brief(Status(5002)) + " " + Info(Status(5002), "ProductVersion"), "5002 1 1 legacy 1=127.0.0.3 7");
  EXPECT_EQ(Brief(Status(5003)), "5003 2 1 legacy 2=127.0.0.4");
  // The link quality's zone follows the zones of ident.ini as it is read again.
  auto zone = [&] {
    std::string value;
    Status(5001).m_Wireless.GetValue(wireless_info::LINK_QUALITY, value);
    return value;
  };
  EXPECT_TRUE(WaitUntil([&] { return zone() == "2"; })) << zone();
  m_Trace->Reconfigure("[Log]\nLevel=info\n[Mode]\nShowWindow=true\n[LINK-QUALITY]\nnum-zones=1\nzone-1=60\n");
  EXPECT_TRUE(WaitUntil([&] { return zone() == "0"; })) << zone();

  // Stopping aborts the hanging fetch instead of waiting for its reply.
  ExpectPromptStop();
}

size_t Threads() {
  return static_cast<size_t>(std::distance(boost::filesystem::directory_iterator("/proc/self/task"), {}));
}

// One host announces a new serial number in every datagram: the engine makes
// no thread for it, lists at most its share, keeps serving the VCIs listed
// and lists a new real one; the cache learns only what was fetched.
TEST_F(EngineTest, FloodsOfNewSerialNumbersAreBoundedAndListedVcisKeepTheirPlace) {
  // Written before the sockets receive: a write takes the process-wide
  // sequence counter that the receive path sets.
  std::vector<wire::Bytes> fetched, listed;  // a fetch each; listed at once
  for (uint32_t n = 0; n < 100; ++n) {
    fetched.push_back(Announcement(100000 + n, 0, VCI_KIND_ETHERNET));
    listed.push_back(Announcement(200000 + n, 2, VCI_KIND_USB));
  }
  const wire::Bytes refreshed = Announcement(200000, 2, VCI_KIND_WIRELESS);
  ASSERT_TRUE(Start());
  SimProcess silent({"--serial", "5004", "--address", "127.0.0.5", "--interval", "50", "--fault", "no-answer"});
  ASSERT_TRUE(silent.Ready());
  const size_t threads = Threads();
  for (size_t n = 0; n < fetched.size(); ++n) {
    Feed(fetched[n], "127.0.0.5", "127.0.0.1");
    Feed(listed[n], "127.0.0.6", "127.0.0.1");
  }
  EXPECT_LE(Threads(), threads);
  EXPECT_EQ(Listed(), size_t{CVCIIdentClient::MAX_VCIS_PER_SENDER});
  EXPECT_TRUE(Logged("dropped: 16 VCIs from that address in the table") &&
              Logged("from 127.0.0.5 not fetched: 2 fetches from that address pending"));
  Feed(refreshed, "127.0.0.6", "127.0.0.1");
  EXPECT_EQ(Status(200000).m_uiKinds, uint32_t{VCI_KIND_USB | VCI_KIND_WIRELESS});

  SimProcess real({"--serial", "4711", "--interval", "50"});
  ASSERT_TRUE(real.Ready());
  ASSERT_TRUE(WaitUntil([&] { return Status(4711).m_uiSerial == 4711; }));
  ExpectPromptStop();
  CVCICachedMap stored;
  ASSERT_TRUE(cache_file::Load(CachePath(), stored, "stored"));
  EXPECT_EQ(stored.Count(), 1u);
}

TEST_F(EngineTest, BindingsOfVcisNoLongerListedMakeRoomAtTheirBound) {
  bool bluetooth = false;
  ASSERT_EQ(engine->Initialize(&sink, bluetooth), 0);
  auto address = [](uint32_t i) { return "127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1); };
  const TimePoint heard = TimePoint::Now();
  for (uint32_t i = 0; i < CVCIIdentClient::MAX_BINDINGS; ++i)
    Feed(Announcement(300000 + i, 2, VCI_KIND_ETHERNET), address(i), "127.0.0.1");
  // Bindings outlive their VCIs, which the engine's own sweep may take
  // meanwhile on a slow machine.
  EXPECT_EQ(Bound(address(0)) + "|" + Bound(address(CVCIIdentClient::MAX_BINDINGS - 1)), "127.0.0.1|127.0.0.1");
  engine->Sweep(heard.PlusMilliseconds(60000));
  Feed(Announcement(4711, 2, VCI_KIND_ETHERNET), "127.0.0.2", "127.0.0.1");
  EXPECT_EQ(Bound("127.0.0.2") + "|" + Bound(address(0)), "127.0.0.1|");
}

TEST_F(EngineTest, ForeignSubnetsNeedARouteCheckAndInterfacesComeAndGo) {
  ASSERT_TRUE(Start());
  FarNamespace far;
  ASSERT_TRUE(far.Up());
  std::string setup = "ip link set lo up && ip link set vx1 up";
  for (const char* a : {"10.1.0.2", "10.2.0.2", "10.2.0.3", "10.2.0.4"})
    setup += std::string(" && ip addr add ") + a + "/24 dev vx1";
  ASSERT_EQ(far.Run(setup), 0);
  // An interface that appears while the engine runs gets its socket.
  ASSERT_EQ(testenv::Shell("ip addr add 10.1.0.1/24 dev vx0 && ip route add 10.2.0.0/24 via 10.1.0.2"), 0);
  ASSERT_TRUE(testenv::WaitForCarrier("vx0"));
  ASSERT_TRUE(WaitUntil([] { return Logged("CVCIIdentClient::AddIF Adding IF: 10.1.0.1"); }));
  // The interface list's change is told after the socket is up, which is
  // after the log line.
  EXPECT_TRUE(WaitUntil([&] { return !sink.Usb().empty(); }));
  EXPECT_EQ(sink.Usb(), std::vector<uint32_t>{0});

  // 6001 answers its route check, 6002 never answers, 6003 is legacy.
  auto routed = far.Sim({"--serial", "6001", "--count", "2", "--address", "10.2.0.2", "--multicast-if", "10.2.0.2",
                         "--interval", "50", "--fault", "no-answer"});
  ASSERT_TRUE(routed->Ready());
  ASSERT_TRUE(routed->Write("fault no-answer off 6001\n"));
  EXPECT_EQ(routed->ReadLine([](const std::string& l) { return l == "ok" || l.compare(0, 6, "error:") == 0; }), "ok");
  auto legacy = far.Sim({"--serial", "6003", "--address", "10.2.0.4", "--multicast-if", "10.2.0.4",
                         "--interval", "50", "--format", "legacy", "--fault", "refuse"});
  ASSERT_TRUE(legacy->Ready());
  // 6002 announces again while its route check waits (its phase follows 6001's).
  ASSERT_TRUE(WaitUntil([&] {
    return Status(6001).m_uiSerial && Status(6003).m_uiSerial && Logged("Address 10.2.0.3 is currenlty being routed");
  }));
  EXPECT_EQ(Bound("10.2.0.2"), "10.1.0.1");
  EXPECT_EQ(Status(6002).m_uiSerial, 0u);
  EXPECT_TRUE(Logged("SN:6001 Address 10.2.0.2 is not routable") &&
              Logged("Address 10.2.0.3 is currenlty being routed") && !Logged("Address 10.2.0.4 is not routable"));

  // The interface goes: its socket and its bindings with it.
  size_t before = sink.Events().size();
  ASSERT_EQ(testenv::Shell("ip addr del 10.1.0.1/24 dev vx0"), 0);
  ASSERT_TRUE(WaitUntil([&] { return Bound("10.2.0.2").empty(); }));
  std::vector<Event> events = sink.Events();
  EXPECT_NE(std::find(events.begin() + before, events.end(), Event(4, 2)), events.end());
  EXPECT_TRUE(Logged("CVCIIdentClient::DeleteIF Deleting IF: 10.1.0.1"));

  // Stopping aborts the route check that still waits for 6002.
  ExpectPromptStop();
}

// The Bluetooth commands against the simulated stack: vci-btsim's world of
// two VCIs (one refusing to pair) and a phone, its network adapter here.
const char kBtIni[] =
    "[Log]\nLevel=info\n[Mode]\nShowWindow=true\n[timeouts]\nBT_CONNECT_TIMEOUT=5000\nBT_IF_UP_TIMEOUT=5000\nBT_IF_DOWN_TIMEOUT=5000\n"
    "BT_DISCONNECT_TIMEOUT=2000\nNUM_PAIR_ATTEMPTS=";

class BtEngineTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    m_Sim.reset(new testenv::BtSimProcess(m_Trace->Dir(), testenv::BtSimProcess::TwoVcisAndAPhone(), {"--register"}));
    ASSERT_TRUE(m_Sim->Ready());
    engine.reset(new CVCIIdentClient((std::string(VCI_BIN_DIR) + "/btstack/libTosBtApi.so").c_str()));
    ASSERT_TRUE(Start(true));
  }
  int32_t Bt(uint32_t serial, uint32_t session, uint32_t command) {
    int32_t status = 0;
    return engine->BtCommand(serial, session, command, status);
  }
  std::unique_ptr<testenv::BtSimProcess> m_Sim;
};

TEST_F(BtEngineTest, CommandsFollowTheSessionsOfTheOneConnectedVci) {
  EXPECT_EQ(Bt(999, 5, CVCIIdentClient::BT_CHECK_CONNECT_STATE), -1);
  EXPECT_TRUE(Logged("BtCommand Can't find 999 in the BT Map") && !Logged("BT_CHECK_CONNECT_STATE 999"));
  ASSERT_TRUE(WaitUntil([this] { return Status(4711).m_bBluetooth && Status(815).m_bBluetooth; }));
  EXPECT_EQ(Bt(4711, 5, CVCIIdentClient::BT_DISCONNECT), -1);
  EXPECT_TRUE(Logged("Can't find session ID in BT list SessionID = 5, List Size = 0"));

  // The VCI refuses to pair: every attempt fails the connect, and with no
  // attempt the network is connected all the same.
  m_Trace->Reconfigure(std::string(kBtIni) + "2\n");
  EXPECT_EQ(Bt(4711, 5, CVCIIdentClient::BT_CONNECT), CBluetoothMgr::BT_PAIR_FAILED);
  EXPECT_TRUE(Logged("BtCommand Pairing Error Attempt 2"));
  m_Trace->Reconfigure(std::string(kBtIni) + "0\n");
  tracetest::TraceCapture::Clear();
  EXPECT_EQ(Bt(4711, 5, CVCIIdentClient::BT_CONNECT), 0);
  EXPECT_TRUE(!Logged("BtCommand Pairing Error") && Logged("CVCIIdentClient::BtCommand BT_CONNECT Interface UP"));
  ASSERT_TRUE(WaitUntil([this] { return Status(4711).m_uiKinds == VCI_KIND_BLUETOOTH; }));
  EXPECT_EQ(Status(4711).m_Addresses[VCI_KIND_BLUETOOTH] + " " + Bound("192.168.178.2"), "192.168.178.2 192.168.178.1");
  EXPECT_EQ(Status(815).m_uiSerial, 0u) << "only the connected VCI is left";

  // A second session shares the connection without pairing again; another
  // VCI cannot be connected while it is in use.
  tracetest::TraceCapture::Clear();
  EXPECT_EQ(Bt(4711, CVCIIdentClient::DEFAULT_DEVICE_SESSION, CVCIIdentClient::BT_CONNECT), 0);
  EXPECT_FALSE(Logged("BtCommand Pairing with"));
  BtVciInfoMap both = {{"00004711", {"00:1b:dc:00:47:11", 0, 0, 0, {}, 0}},
                           {"00000815", {"00:1b:dc:00:08:15", 0, 0, 0, {}, 0}}};
  engine->OnVciBtDetect(&both);
  EXPECT_EQ(Bt(815, 7, CVCIIdentClient::BT_CONNECT), -1);
  EXPECT_TRUE(Logged("CVCIIdentClient::BtCommand Found existing BT connection 4711"));
  EXPECT_EQ(Bt(4711, 5, CVCIIdentClient::BT_CHECK_CONNECT_STATE), 0);

  // The last session takes the network down; the watcher's record is
  // dropped, so the restarted discovery finds the VCI as a new one.
  EXPECT_EQ(Bt(4711, 5, CVCIIdentClient::BT_DISCONNECT), 0);
  EXPECT_FALSE(Logged("BtCommand Disabling Interface"));
  tracetest::TraceCapture::Clear();
  EXPECT_EQ(Bt(4711, CVCIIdentClient::DEFAULT_DEVICE_SESSION, CVCIIdentClient::BT_DISCONNECT), 0);
  EXPECT_TRUE(Logged("CVCIIdentClient::BtCommand BT_DISCONNECT Interface DOWN"));
  EXPECT_TRUE(WaitUntil([] { return Logged("OnVciBtDetect *******New VCI Detected"); }));

  // The VCI's announcement ends the wait for the interface whatever the
  // PC's own address on that network.
  ASSERT_EQ(testenv::Shell("ip addr flush dev bnep0 && ip addr add 192.168.1.1/16 dev bnep0"), 0);
  tracetest::TraceCapture::Clear();
  EXPECT_EQ(Bt(4711, 5, CVCIIdentClient::BT_CONNECT), 0);
  EXPECT_TRUE(Logged("CVCIIdentClient::BtCommand BT_CONNECT Interface UP"));
}

}  // namespace
