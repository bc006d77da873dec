// Archive throughput: a message of ordinary size must serialise and read back
// without reallocating and without per-field allocation beyond strings.
#include <benchmark/benchmark.h>

#include <string>

#include "serialize/ArchiveBuffer.h"

namespace {

void WriteMessage(CArchiveBuffer& ar, int fields) {
  ar.Write(uint32_t(2157));
  ar.Write(int32_t(3));
  for (int i = 0; i < fields; ++i) {
    ar.Write(uint32_t(i));
    ar.Write(std::string("VCI-SERIAL-000123"));
    ar.Write(true);
  }
}

void BM_StoreMessage(benchmark::State& state) {
  const int fields = static_cast<int>(state.range(0));
  for (auto _ : state) {
    CArchiveBuffer ar(CArchiveBuffer::STORING);
    WriteMessage(ar, fields);
    uint8_t* frame;
    uint32_t length;
    ar.GetFrame(frame, length);
    benchmark::DoNotOptimize(length);
  }
}
BENCHMARK(BM_StoreMessage)->Arg(8)->Arg(64)->Arg(512);

void BM_LoadMessage(benchmark::State& state) {
  const int fields = static_cast<int>(state.range(0));
  CArchiveBuffer source(CArchiveBuffer::STORING);
  WriteMessage(source, fields);
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
    uint32_t id, v;
    int32_t version;
    std::string s;
    bool b;
    ar.Read(id);
    ar.Read(version);
    for (int i = 0; i < fields; ++i) {
      ar.Read(v);
      ar.Read(s);
      ar.Read(b);
    }
    benchmark::DoNotOptimize(s);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
}
BENCHMARK(BM_LoadMessage)->Arg(8)->Arg(64)->Arg(512);

}  // namespace
