// The control requests as the control server hands them to the connection
// manager: the input is a request frame's content, its first byte steering
// the id word towards the four requests the manager knows. The manager is
// not initialised, so its discovery engine answers from an empty table and
// no event thread runs; a registration's connection to its event port fails
// at once (the target runs in a network of its own, else it asks for port
// 0). Every request is answered by its reply class or not at
// all, and only a request shorter than the id word fails.
#include "FuzzSupport.h"

#include <cstring>

#include "client_service/ClientConnectionMgr.h"
#include "records/BluetoothReq.h"
#include "records/IdentConnect.h"
#include "records/IdentDisconnect.h"
#include "records/LogFile.h"
#include "serialize/ObjectId.h"

namespace {

const uint32_t kIds[] = {OBJID_CIdentConnect_Send, OBJID_CIdentDisconnect_Send, OBJID_CBluetoothReq_Send,
                         OBJID_CLogFile_Send};

template <typename Reply>
void CheckReply(CArchiveBuffer& reply) {
  uint8_t* data;
  uint32_t length;
  reply.GetContent(data, length);
  if (length == 0) return;
  Reply read;
  FUZZ_CHECK(fuzz::Load(read, data, length));
}

CClientConnectionMgr& Manager() {
  static CClientConnectionMgr* mgr = [] {
    // A data file for the data-file request to send.
    const char text[] = "[4711]\nBDADDR = 00:11:22:33:44:55\n";
    fuzz::WriteFile(fuzz::ScratchPath("home/data_files/notes.txt"), text, sizeof text - 1);
    fuzz::MakeDataLocation("home");
    CClientConnectionMgr* m = new CClientConnectionMgr;
    CClientSocket::Timeouts quick;
    quick.uiConnectPauseMs = 0;
    quick.uiConnectWaitMs = 1;
    m->SetClientSocketTimeouts(quick);
    return m;
  }();
  return *mgr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t steer = in.Byte();
  fuzz::Bytes content(in.Data(), in.Data() + in.Size());
  if (steer < 4 * 60 && content.size() >= 4) {
    const uint32_t id = kIds[steer % 4];
    std::memcpy(content.data(), &id, 4);
  }
  // A registration names its event port in the word after the version; in
  // the shared network it is made port 0, which no connection reaches.
  uint32_t id = 0;
  if (content.size() >= 4) std::memcpy(&id, content.data(), 4);
  if (!fuzz::g_bPrivateNetwork && id == OBJID_CIdentConnect_Send && content.size() >= 12)
    std::memset(&content[8], 0, 4);
  CArchiveBuffer request(CArchiveBuffer::LOADING);
  FUZZ_CHECK(fuzz::Fill(request, content));
  CArchiveBuffer reply(CArchiveBuffer::STORING);
  const int result = Manager().OnDataReceived(request, reply, "127.0.0.1", "127.0.0.1");
  FUZZ_CHECK(result == (content.size() < 4 ? -1 : 0));
  if (content.size() < 4) return 0;
  switch (id) {
    case OBJID_CIdentConnect_Send:
      CheckReply<CIdentConnect_Recv>(reply);
      break;
    case OBJID_CIdentDisconnect_Send:
      CheckReply<CIdentDisconnect_Recv>(reply);
      break;
    case OBJID_CBluetoothReq_Send:
      CheckReply<CBluetoothReq_Recv>(reply);
      break;
    case OBJID_CLogFile_Send:
      CheckReply<CLogFiles_Recv>(reply);
      break;
    default: {
      uint8_t* d;
      uint32_t length;
      reply.GetContent(d, length);
      FUZZ_CHECK(length == 0);
    }
  }
  return 0;
}
