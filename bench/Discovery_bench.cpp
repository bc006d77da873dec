// Discovery hot paths. Every VCI announces once a second on every interface
// it is reached through, and the live table is swept as often; with a few
// hundred VCIs in a test bay, reading one announcement and one sweep of the
// whole table must each stay well below a millisecond. The detail cache is
// stored after every fetch and loaded at start-up, so its file round trip
// sets how quickly a large bay comes back after a restart.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "discovery/TimePoint.h"
#include "discovery/VCICachedMap.h"
#include "discovery/VCIIdentMsg.h"
#include "discovery/VCIStatusDynMap.h"
#include "serialize/ArchiveBuffer.h"
#include "service_clients/CompList.h"

namespace {

const uint32_t kZones[] = {30, 50, 60, 100};

CVCIIdentMsg Announcement(uint32_t serial) {
  CSessionList sessions;
  for (uint32_t i = 0; i < 2; ++i) {
    CSessionList::CSession s;
    s.m_uiSession = i + 1;
    s.m_strText1 = "tester";
    s.m_strText2 = "bay 7";
    s.m_strAddress = "192.168.1.17";
    s.m_uiKind = 4;
    sessions.m_Sessions.push_back(s);
  }
  CVCIIdentMsg msg(serial, 0, 0x01020304, 0x05060708, sessions, 4, 0, 0, 7);
  CArgList wireless;
  wireless.SetValue(wireless_info::IF_ENABLE, "True");
  wireless.SetValue(wireless_info::AP_STATE, "1");
  wireless.SetValue(wireless_info::LINK_QUALITY, "55");
  wireless.SetValue(wireless_info::SIGNAL_LEVEL, "-75");
  wireless.SetValue(wireless_info::NOISE_LEVEL, "-90");
  msg.SetWireless(wireless);
  return msg;
}

// One received datagram's content read into the record, as the receive
// thread does for every announcement.
void BM_ReadAnnouncement(benchmark::State& state) {
  CArchiveBuffer source(CArchiveBuffer::STORING);
  CVCIIdentMsg sent = Announcement(4711);
  sent.Serialize(source);
  uint8_t* content;
  uint32_t length;
  source.GetContent(content, length);
  for (auto _ : state) {
    CArchiveBuffer ar(CArchiveBuffer::LOADING);
    ar.AllocateData(length);
    uint8_t* area;
    uint32_t n;
    ar.GetContent(area, n);
    std::copy(content, content + length, area);
    ar.Rewind(CArchiveBuffer::LOADING);
    CVCIIdentMsg msg;
    msg.SetLinkQualityZones(4, kZones);
    bool ok = msg.Serialize(ar);
    benchmark::DoNotOptimize(ok);
  }
}
BENCHMARK(BM_ReadAnnouncement);

// The once-a-second sweep of a table in which every VCI is still heard on
// two kinds: nothing expires, every entry is visited.
void BM_SweepLiveTable(benchmark::State& state) {
  const uint32_t vcis = static_cast<uint32_t>(state.range(0));
  TimePoint heard{1800000000, 0};
  CVCIStatusDynMap table;
  for (uint32_t i = 0; i < vcis; ++i) {
    CVCIStatusDynItem& item = table.FindOrAdd(1000 + i);
    item.m_Status.m_uiSerial = 1000 + i;
    std::string address = "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
    item.SetKindAddress(heard, 1, address.c_str());
    item.SetKindAddress(heard, 4, address.c_str());
    item.AddKinds(1 | 4);
  }
  const TimePoint now = heard.PlusMilliseconds(1000);
  for (auto _ : state) {
    bool dropped = table.CheckTimeouts(now);
    if (dropped || table.Count() != vcis) {
      state.SkipWithError("the sweep dropped a VCI that is still heard");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * vcis);
}
BENCHMARK(BM_SweepLiveTable)->Arg(200)->Arg(1000);

// Store and load of an enciphered detail cache file of N VCIs, each with
// a few dozen components.
void BM_CacheFileRoundTrip(benchmark::State& state) {
  const uint32_t vcis = static_cast<uint32_t>(state.range(0));
  CVCICachedMap cache;
  for (uint32_t i = 0; i < vcis; ++i) {
    CVCIStatus status;
    status.m_uiSerial = 1000 + i;
    for (int c = 0; c < 40; ++c) {
      CAppVersion v;
      v.m_strName = "component-" + std::to_string(c);
      v.m_strVersionText = "2." + std::to_string(c) + ".0";
      status.m_SysComps.Add(CCompList::CComp(v));
    }
    cache.Set(1000 + i, CVCICachedItem(Announcement(1000 + i), status));
  }
  char path[] = "/tmp/vci-cache-bench-XXXXXX";
  int fd = mkstemp(path);
  if (fd >= 0) close(fd);
  for (auto _ : state) {
    int32_t stored = cache.Store(path);
    CVCICachedMap loaded;
    int32_t read = loaded.Load(path);
    if (stored != 0 || read != 0 || loaded.Count() != vcis) {
      state.SkipWithError("cache file round trip failed");
      break;
    }
  }
  unlink(path);
  state.SetItemsProcessed(state.iterations() * vcis);
}
BENCHMARK(BM_CacheFileRoundTrip)->Arg(200)->Unit(benchmark::kMillisecond);

}  // namespace
