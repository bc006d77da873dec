// A count or length word read from a datagram or a cache file is the
// sender's word: a record whose count is larger than the bytes behind it
// could hold must fail right behind that word, before it allocates or reads
// a single element. Every image below carries one whole element after the
// forged count, so a reader that trusts the count gets past that element
// before it fails, and is caught by the position at which it stops.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "discovery/ArgList.h"
#include "discovery/BindMap.h"
#include "discovery/InvalidVCIList.h"
#include "discovery/SessionList.h"
#include "discovery/VCICachedMap.h"
#include "discovery/VCIStatus.h"
#include "discovery/VCIStatusDynMap.h"
#include "discovery/VCIStatusMap.h"
#include "discovery/VCIStatusMsg.h"
#include "service_clients/WireBytes.h"

using wire::Builder;
using wire::Bytes;

namespace {

const uint32_t kForged = 0x10000000;

Builder Session() {
  return Builder().u32(2117).u32(1).u32(7).str("diag").str("pc").str("10.0.0.5").u32(1).u32(1);
}

// A status up to (not including) its address count: serial 42, empty lists.
Builder StatusHead() {
  Builder b;
  b.u32(2108).u32(3).u32(42).u32(0);
  b.u32(2114).i32(0).u32(1).u32(0);
  b.u32(2118).i32(0).u8(1).u8(0);
  b.u32(2154).i32(0).u32(1).u32(0);
  b.u32(2154).i32(0).u32(1).u32(0);
  b.u32(2123).i32(0).u32(1).str("").u32(0);
  b.u32(1).u8(0).u8(0);
  return b;
}

Builder Status() {
  return Builder().raw(StatusHead()).u32(0).u32(2123).i32(0).u32(1).str("").u32(0).u32(0);
}

struct Case {
  const char* name;
  std::function<std::unique_ptr<CSerialize>()> make;
  Bytes head;  // up to and including the forged count
  Bytes rest;  // one whole element, and what else the record needs
};

template <typename T>
std::unique_ptr<CSerialize> Make() {
  return std::unique_ptr<CSerialize>(new T());
}

// The read position at which a read of image into record stopped; -1 when
// the read succeeded.
int64_t StopPosition(CSerialize& record, const Bytes& image) {
  CArchiveBuffer ar(CArchiveBuffer::LOADING);
  EXPECT_TRUE(ar.AllocateData(static_cast<uint32_t>(image.size())));
  uint8_t* p;
  uint32_t n;
  ar.GetContent(p, n);
  std::copy(image.begin(), image.end(), p);
  ar.Rewind(CArchiveBuffer::LOADING);
  if (record.Serialize(ar)) return -1;
  return ar.GetPosition();
}

TEST(RecordCounts, ACountBeyondTheBytesLeftFailsRightBehindIt) {
  const std::vector<Case> cases = {
      {"CArgList pairs", Make<CArgList>, Builder().u32(2123).i32(0).u32(1).str("wl").u32(kForged),
       Builder().u32(2122).u32(1).str("IFEnable").str("True")},
      {"CSessionList sessions (one-byte count)", Make<CSessionList>, Builder().u32(2118).i32(0).u8(1).u8(255),
       Session()},
      {"CVCIStatus addresses", Make<CVCIStatus>, Builder().raw(StatusHead()).u32(kForged),
       Builder().u32(1).str("10.0.0.5")},
      {"CVCIStatusMap statuses", Make<CVCIStatusMap>, Builder().u32(2121).u32(1).u32(kForged), Status()},
      {"CVCIStatusDynMap items", Make<CVCIStatusDynMap>, Builder().u32(2161).u32(1).u32(kForged),
       Builder().u32(42).u32(2160).u32(3).raw(Status())},
      {"CBindMap foreign addresses", Make<CBindMap>, Builder().u32(2164).u32(1).u32(kForged),
       Builder().u32(1).str("10.0.0.5").u32(1).u32(0).u32(0).u32(0).str("10.0.0.1")},
      {"CBindMap bindings of one address", Make<CBindMap>,
       Builder().u32(2164).u32(1).u32(1).u32(kForged).str("10.0.0.5"),
       Builder().u32(1).u32(0).u32(0).u32(0).str("10.0.0.1")},
      {"CVCIStatusMsg clients", Make<CVCIStatusMsg>,
       Builder().u32(2026).u32(2).str("").str("").str("").str("10.0.0.5").u32(77).u32(0).u32(0)
           .u32(0).u32(0).u32(0).u32(0).u32(0).u32(1).u32(0).u32(0).u32(0).u32(kForged),
       Builder().u32(2025).u8(1).u32(1).str("Ethernet").str("a").str("b").u32(0)},
      {"CVCICachedMap entries", Make<CVCICachedMap>, Builder().u32(2163).u32(1).u32(kForged),
       Builder().u32(42).u32(2162).u32(0)},
      {"CInvalidVCIList serials", Make<CInvalidVCIList>, Builder().u32(2159).u32(1).u32(kForged),
       Builder().u32(42)},
  };
  for (const Case& c : cases) {
    Bytes image = c.head;
    image.insert(image.end(), c.rest.begin(), c.rest.end());
    std::unique_ptr<CSerialize> record = c.make();
    EXPECT_EQ(StopPosition(*record, image), static_cast<int64_t>(c.head.size())) << c.name;
  }
}

// The same images with the true count read whole: the guard does not refuse
// a count that the bytes do hold.
TEST(RecordCounts, TheTrueCountReads) {
  CArgList args;
  EXPECT_EQ(StopPosition(args, Builder().u32(2123).i32(0).u32(1).str("wl").u32(1)
                                   .u32(2122).u32(1).str("IFEnable").str("True")), -1);
  CSessionList sessions;
  EXPECT_EQ(StopPosition(sessions, Builder().u32(2118).i32(0).u8(1).u8(1).raw(Session())), -1);
  CVCIStatusMsg legacy;
  EXPECT_EQ(StopPosition(legacy, Builder().u32(2026).u32(2).str("").str("").str("").str("10.0.0.5").u32(77)
                                     .u32(0).u32(0).u32(0).u32(0).u32(0).u32(0).u32(0).u32(1).u32(0).u32(0)
                                     .u32(0).u32(1).u32(2025).u8(1).u32(1).str("Ethernet").str("").str("")
                                     .u32(0)), -1);
  CBindMap binds;
  EXPECT_EQ(StopPosition(binds, Builder().u32(2164).u32(1).u32(1).u32(1).str("10.0.0.5")
                                    .u32(1).u32(0).u32(0).u32(0).str("")), -1);
  CVCIStatus status;
  EXPECT_EQ(StopPosition(status, Builder().raw(StatusHead()).u32(1).u32(1).str("")
                                     .u32(2123).i32(0).u32(1).str("").u32(0).u32(0)), -1);
}

}  // namespace
