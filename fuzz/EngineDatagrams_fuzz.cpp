// Datagrams as the announcement sockets hand them to the discovery engine:
// the first input byte picks the sender (a VCI on this machine's subnet, one
// behind a router, the Bluetooth VCI's address) and the rest is the
// datagram's content. A fresh engine, not initialised (no sockets, no
// event sink, no engine thread, no workers), takes one datagram; the detail
// fetches and route checks it asks for find no worker and are dropped. It
// always answers 0, and whatever table and bindings it built write and read
// back.
#include "FuzzSupport.h"

#include <cstring>

#include "discovery/VCIIdentClient.h"
#include "records/BindMap.h"
#include "records/VCIStatusMap.h"
#include "serialize/ObjectId.h"

namespace {

const char* const kSenders[] = {"127.0.0.2", "10.1.2.3", "192.168.178.2", "127.0.0.1"};
const uint32_t kIds[] = {OBJID_CVCIIdentMsg, OBJID_CVCIStatusMsg, OBJID_CRecoveryStatus};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t pick = in.Byte();
  fuzz::Bytes content(in.Data(), in.Data() + in.Size());
  // Most inputs are steered to one of the three formats.
  if ((pick & 0x30) != 0x30 && content.size() >= 4) {
    const uint32_t id = kIds[(pick >> 4) % 3];
    std::memcpy(content.data(), &id, 4);
  }
  CArchiveBuffer request(CArchiveBuffer::LOADING);
  FUZZ_CHECK(fuzz::Fill(request, content));
  CArchiveBuffer reply(CArchiveBuffer::STORING);
  CVCIIdentClient engine;
  FUZZ_CHECK(engine.OnDataReceived(request, reply, kSenders[pick % 4], "127.0.0.1") == 0);
  CVCIStatusMap table;
  CBindMap bindings;
  FUZZ_CHECK(engine.GetVCIStatusMap(table) == 0 && engine.GetBindMap(bindings) == 0);
  fuzz::CheckRewrite(table);
  fuzz::CheckRewrite(bindings);
  // Empties the engine as the service's stop does.
  engine.Uninitialize();
  return 0;
}
