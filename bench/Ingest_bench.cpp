// Announcement intake against the machine's limit. The discovery engine
// runs in process (its sockets, its receive thread, the trace off) with
// 1000 known VCIs; their unchanged announcements go out over the loopback
// to 225.1.1.1:8194 as fast as one sending thread can. Beside it, in turns
// with it, the bare limit: a C loop of recvmmsg on a socket set up the same
// way (group 225.1.1.1 on the loopback, its own port 8195, the same receive
// buffer) takes the same blast. Each side's rate is what it took in over the
// time from the first send to its last datagram. Then the engine alone at
// 10000 datagrams a second: none may be lost.
//
// Target: the engine's rate over the bare loop's at least 0.5.
#include <sys/socket.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "BenchCommon.h"
#include "records/VCIStatusMap.h"

namespace {

using bench::Clock;
const uint32_t kVcis = 1000;
const uint16_t kBarePort = 8195;
const int kTurns = 6;
const uint32_t kBlast = 100000;  // datagrams per turn
const int kPacedRate = 10000;     // a second
const int kPacedSeconds = 3;

struct Sink : IIdentEvent {
  void OnIdentNotify(uint32_t, uint32_t) override {}
  void OnIdentUsb(uint32_t) override {}
};

// The bare loop: what the machine can take in through one socket.
class BareReceiver {
 public:
  BareReceiver() {
    m_Socket = bench::BareSocket(kBarePort, m_bJoined, m_iGranted);
    m_Thread = std::thread([this] { Loop(); });
  }
  ~BareReceiver() {
    shutdown(m_Socket, SHUT_RDWR);
    m_Thread.join();
    close(m_Socket);
  }
  bool Joined() const { return m_bJoined; }
  int Granted() const { return m_iGranted; }
  uint64_t Count() const { return m_uiCount.load(); }

 private:
  void Loop() {
    enum { BATCH = 64, SIZE = 8192 };
    std::vector<char> buffers(BATCH * SIZE);
    struct mmsghdr messages[BATCH];
    struct iovec vectors[BATCH];
    struct sockaddr_in senders[BATCH];
    for (;;) {
      std::memset(messages, 0, sizeof messages);
      for (int i = 0; i < BATCH; ++i) {
        vectors[i] = {&buffers[static_cast<size_t>(i) * SIZE], SIZE};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &senders[i];
        messages[i].msg_hdr.msg_namelen = sizeof senders[i];
      }
      int n = recvmmsg(m_Socket, messages, BATCH, MSG_WAITFORONE, nullptr);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || messages[0].msg_len == 0) return;
      m_uiCount += static_cast<uint64_t>(n);
    }
  }
  int m_Socket = -1;
  bool m_bJoined = false;
  int m_iGranted = 0;
  std::atomic<uint64_t> m_uiCount{0};
  std::thread m_Thread;
};

// Waits until count stops growing (40 ms without a change) and returns the
// microseconds from t0 to the last change seen, with the final count.
double Settle(const std::function<uint64_t()>& count, Clock::time_point t0, uint64_t& final) {
  final = count();
  auto changed = Clock::now();
  while (Clock::now() - changed < std::chrono::milliseconds(40)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const uint64_t now = count();
    if (now != final) {
      final = now;
      changed = Clock::now();
    }
  }
  return std::chrono::duration<double, std::micro>(changed - t0).count();
}

struct Turn {
  uint64_t taken = 0;
  double us = 0;
};

void BM_Ingest(benchmark::State& state) {
  if (!bench::EnterNamespace())
    return state.SkipWithError("no private network namespace (needs root or user namespaces)");
  const std::string home = bench::MakeHome("ingest");
  if (home.empty() || !bench::StoreCache(home, 1000, kVcis)) return state.SkipWithError("no scratch home");
  Sink sink;
  std::unique_ptr<CVCIIdentClient> engine(new CVCIIdentClient);
  bool bluetooth = false;
  if (engine->Initialize(&sink, bluetooth) != 0) return state.SkipWithError("the engine did not start");
  bench::Bay bay(0, kVcis, 1000, 0);
  bay.AnnounceAll();
  for (auto t0 = Clock::now(); Clock::now() - t0 < std::chrono::seconds(10);) {
    CVCIStatusMap table;
    engine->GetVCIStatusMap(table);
    if (table.Count() == kVcis) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  BareReceiver bare;
  if (!bare.Joined()) return state.SkipWithError("the bare socket did not join the group");

  auto blast = [&](uint16_t port, const std::function<uint64_t()>& count, Turn& total) {
    const uint64_t before = count();
    const auto t0 = Clock::now();
    for (uint32_t i = 0; i < kBlast; ++i) bay.announcers[i % kVcis].Send(bay.datagrams[i % kVcis], port);
    uint64_t after = 0;
    total.us += Settle(count, t0, after);
    total.taken += after - before;
  };
  // Turns, so that whatever else the machine does weighs on both alike.
  Turn engineTurns, bareTurns;
  for (int turn = 0; turn < kTurns; ++turn) {
    blast(CVCIIdentClient::ANNOUNCE_PORT, [&] { return engine->GetDatagramCount(); }, engineTurns);
    blast(kBarePort, [&] { return bare.Count(); }, bareTurns);
  }

  // Paced: 10 datagrams every millisecond.
  const uint64_t before = engine->GetDatagramCount();
  uint64_t paced = 0;
  auto next = Clock::now();
  for (int ms = 0; ms < kPacedSeconds * 1000; ++ms) {
    for (int i = 0; i < kPacedRate / 1000; ++i, ++paced)
      bay.announcers[paced % kVcis].Send(bay.datagrams[paced % kVcis]);
    next += std::chrono::milliseconds(1);
    std::this_thread::sleep_until(next);
  }
  uint64_t after = 0;
  Settle([&] { return engine->GetDatagramCount(); }, Clock::now(), after);
  const uint64_t processed = after - before;

  engine->Uninitialize();
  engine.reset();
  bench::RemoveHome(home);
  for (auto _ : state) {
  }
  const double engineRate = engineTurns.taken / (engineTurns.us / 1e6);
  const double bareRate = bareTurns.taken / (bareTurns.us / 1e6);
  const double sent = static_cast<double>(kBlast) * kTurns;
  state.counters["engine_per_s"] = engineRate;
  state.counters["bare_per_s"] = bareRate;
  state.counters["paced_lost"] = static_cast<double>(paced - std::min(paced, processed));
  state.counters["ratio"] = engineRate / bareRate;
  std::printf("%u VCIs, %d turns of %u unchanged announcements each (receive buffer %d bytes granted)\n", kVcis,
              kTurns, kBlast, bare.Granted());
  std::printf("  engine: %9.0f/s, took %.0f of %.0f sent\n", engineRate, static_cast<double>(engineTurns.taken), sent);
  std::printf("  bare:   %9.0f/s, took %.0f of %.0f sent\n", bareRate, static_cast<double>(bareTurns.taken), sent);
  std::printf("  paced at %d/s for %d s: sent %llu, processed %llu, lost %llu\n", kPacedRate, kPacedSeconds,
              static_cast<unsigned long long>(paced), static_cast<unsigned long long>(processed),
              static_cast<unsigned long long>(paced - std::min(paced, processed)));
  std::printf("  ingest ratio %.2f (target >= 0.5)\n", engineRate / bareRate);
}
BENCHMARK(BM_Ingest)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
