// Discovery hot paths. Every VCI announces once a second on every interface
// it is reached through, and the live table is swept as often; with a few
// hundred VCIs in a test bay, reading one announcement and one sweep of the
// whole table must each stay well below a millisecond. The detail cache is
// stored after every fetch and loaded at start-up, so its file round trip
// sets how quickly a large bay comes back after a restart. The engine's
// receive path and sweep are measured beside the bare decode of the same
// datagrams.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "discovery/VCIIdentClient.h"
#include "records/CompList.h"
#include "records/TimePoint.h"
#include "records/VCICachedMap.h"
#include "records/VCIIdentMsg.h"
#include "records/VCIStatusDynMap.h"
#include "records/VCIStatusMap.h"
#include "serialize/ArchiveBuffer.h"

namespace {

const uint32_t kZones[] = {30, 50, 60, 100};

CVCIIdentMsg Announcement(uint32_t serial, uint32_t moduleState = 0) {
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
  CVCIIdentMsg msg(serial, moduleState, 0x01020304, 0x05060708, sessions, 4, 0, 0, 7);
  CArgList wireless;
  wireless.SetValue(wireless_info::IF_ENABLE, "True");
  wireless.SetValue(wireless_info::AP_STATE, "1");
  wireless.SetValue(wireless_info::LINK_QUALITY, "55");
  wireless.SetValue(wireless_info::SIGNAL_LEVEL, "-75");
  wireless.SetValue(wireless_info::NOISE_LEVEL, "-90");
  msg.SetWireless(wireless);
  return msg;
}

// What a socket's receive thread hands to its listener: a fresh loading
// archive holding the datagram behind its length word.
void Receive(CArchiveBuffer& ar, const uint8_t* content, uint32_t length) {
  ar.AllocateData(length);
  uint8_t* area;
  uint32_t n;
  ar.GetContent(area, n);
  std::copy(content, content + length, area);
  ar.Rewind(CArchiveBuffer::LOADING);
}

std::vector<uint8_t> Content(CVCIIdentMsg msg) {
  CArchiveBuffer ar(CArchiveBuffer::STORING);
  msg.Serialize(ar);
  uint8_t* content;
  uint32_t length;
  ar.GetContent(content, length);
  return std::vector<uint8_t>(content, content + length);
}

// One received datagram's content read into the record, as the receive
// thread does for every announcement.
void BM_ReadAnnouncement(benchmark::State& state) {
  const std::vector<uint8_t> content = Content(Announcement(4711));
  for (auto _ : state) {
    CArchiveBuffer ar(CArchiveBuffer::LOADING);
    Receive(ar, content.data(), static_cast<uint32_t>(content.size()));
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

// The engine's receive path in process, without sockets and with the trace
// off: 1000 VCIs on the loopback subnet (routable, so each is bound by its
// first announcement) in module state 2, which lists a VCI without a fetch;
// once listed, an unchanged announcement takes the same path whatever the
// state.
struct EngineRig {
  enum : uint32_t { VCIS = 1000 };
  CVCIIdentClient engine;
  std::vector<std::vector<uint8_t>> contents;
  std::vector<std::string> remotes;
  TimePoint listed;
  bool ok = false;

  EngineRig() {
    CArchiveBuffer reply(CArchiveBuffer::STORING);
    for (uint32_t i = 0; i < VCIS; ++i) {
      contents.push_back(Content(Announcement(1000 + i, 2)));
      remotes.push_back("127.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 2));
      CArchiveBuffer request(CArchiveBuffer::LOADING);
      Receive(request, contents[i].data(), static_cast<uint32_t>(contents[i].size()));
      engine.OnDataReceived(request, reply, remotes[i], "127.0.0.1");
    }
    listed = TimePoint::Now();
    CVCIStatusMap map;
    engine.GetVCIStatusMap(map);
    ok = map.Count() == VCIS;
  }
};

EngineRig& Rig() {
  static EngineRig rig;
  return rig;
}

void BM_EngineUnchangedAnnouncements(benchmark::State& state) {
  EngineRig& rig = Rig();
  if (!rig.ok) state.SkipWithError("the engine did not list the VCIs");
  CArchiveBuffer reply(CArchiveBuffer::STORING);
  uint32_t i = 0;
  for (auto _ : state) {
    CArchiveBuffer request(CArchiveBuffer::LOADING);
    Receive(request, rig.contents[i].data(), static_cast<uint32_t>(rig.contents[i].size()));
    rig.engine.OnDataReceived(request, reply, rig.remotes[i], "127.0.0.1");
    i = (i + 1) % EngineRig::VCIS;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EngineUnchangedAnnouncements);

// The same datagrams decoded alone: what the engine adds is the difference.
void BM_DecodeEngineDatagrams(benchmark::State& state) {
  EngineRig& rig = Rig();
  uint32_t i = 0;
  for (auto _ : state) {
    CArchiveBuffer request(CArchiveBuffer::LOADING);
    Receive(request, rig.contents[i].data(), static_cast<uint32_t>(rig.contents[i].size()));
    CVCIIdentMsg msg;
    msg.SetLinkQualityZones(4, kZones);
    bool ok = msg.Serialize(request);
    benchmark::DoNotOptimize(ok);
    i = (i + 1) % EngineRig::VCIS;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeEngineDatagrams);

// One pass of the engine's timeout monitor over 1000 VCIs that are all
// still heard.
void BM_EngineSweep(benchmark::State& state) {
  EngineRig& rig = Rig();
  const TimePoint now = rig.listed.PlusMilliseconds(1000);
  for (auto _ : state) {
    if (rig.engine.Sweep(now) != 0) {
      state.SkipWithError("the sweep dropped a VCI that is still heard");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * EngineRig::VCIS);
}
BENCHMARK(BM_EngineSweep)->Unit(benchmark::kMicrosecond);

// The table of 1000 VCIs written as a table event carries it, straight
// from the live table.
void BM_EngineTableWritten(benchmark::State& state) {
  EngineRig& rig = Rig();
  CArchiveBuffer ar(CArchiveBuffer::STORING, 1 << 20);
  for (auto _ : state) {
    ar.Rewind(CArchiveBuffer::STORING);
    if (!rig.engine.SerializeVCIStatusMap(ar)) state.SkipWithError("the table was not written");
  }
  state.SetItemsProcessed(state.iterations() * EngineRig::VCIS);
}
BENCHMARK(BM_EngineTableWritten)->Unit(benchmark::kMicrosecond);

}  // namespace
