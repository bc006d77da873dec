#include "ControlChannel.h"

#include "records/BluetoothReq.h"
#include "records/IdentDisconnect.h"
#include "records/LogFile.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"
#include "transport/ClientSocket.h"
#include "vci-ident/IdentResult.h"

namespace vciident {

namespace {

// A connection can be reset before its request was read: the service closes
// the oldest conversations that have not delivered their request when it
// holds the most it takes (a storm of idle peers), and it replaces its
// control server when the listening socket itself fails, which resets the
// connections waiting in the old one's backlog. Such an exchange is made
// again on a new connection, as many times as a storm may need; a port that
// refuses right after such a reset is a replacement under way.
const int kExchangeAttempts = 20;

bool ResetUnanswered(int result) {
  return result == CClientSocket::CS_ERR_RECV_LENGTH || result == CClientSocket::CS_ERR_RECV_LENGTH_SHUTDOWN;
}

// A registration without a wish for the service's trace file: the layout of
// version 1, event port and client name, which ends before the wish.
class CIdentConnectWithoutWish : public CSerialize {
 public:
  CIdentConnectWithoutWish(uint32_t eventPort, const std::string& clientName)
      : CSerialize(OBJID_CIdentConnect_Send), m_uiEventPort(eventPort), m_strClientName(clientName) {}
  bool Serialize(CArchiveBuffer& ar) override {
    uint32_t version = 1;
    return ar.IsStoring() && SerializeHead(ar, version, version) && ar.Write(m_uiEventPort) &&
           ar.Write(m_strClientName);
  }

 private:
  const uint32_t m_uiEventPort;
  const std::string m_strClientName;
};

}  // namespace

int CControlChannel::Exchange(CSerialize& request, CSerialize& reply, uint32_t waitMs, Refusal refusal) const {
  CArchiveBuffer out(CArchiveBuffer::STORING);
  CArchiveBuffer in(CArchiveBuffer::LOADING);
  if (!request.Serialize(out)) return RESULT_FAILED;
  int iRet = 0;
  bool reset = false;
  auto again = [&]() {
    reset = reset || ResetUnanswered(iRet);
    return ResetUnanswered(iRet) || (reset && iRet == CClientSocket::CS_ERR_CONNECT_ATTEMPTS);
  };
  for (int attempt = 0; attempt == 0 || (attempt < kExchangeAttempts && again()); ++attempt) {
    CClientSocket socket(false);
    CClientSocket::Timeouts timeouts;
    // Without pauses the connect calls to a refusing port are over at once.
    timeouts.uiConnectPauseMs = refusal == REFUSAL_ANSWERS ? 0 : m_Settings.connectPauseMs;
    timeouts.uiReplyFloorMs = m_Settings.replyWaitMs;
    socket.SetTimeouts(timeouts);
    // A registration's reply carries the VCI table.
    socket.SetMaxReplyLength(MAX_TABLE_FRAME_LENGTH);
    in.Rewind(CArchiveBuffer::LOADING);
    // The connection leaves from the service's own address, so that the
    // service connects back to the event port on the address it listens on.
    iRet = socket.Initialize(nullptr, SOCKTYPE_TCP, m_Settings.serviceAddress, m_Settings.serviceAddress,
                             m_Settings.controlPort, false);
    if (iRet == 0) iRet = socket.SendRecv_ArchiveBuffer(out, in, waitMs);
    socket.Shutdown(CClientSocket::SHUTDOWN_ABORT);
  }
  if (iRet != 0) return iRet;
  return !in.IsStoring() && reply.Serialize(in) ? 0 : RESULT_BAD_REPLY;
}

int CControlChannel::Register(uint16_t eventPort, const std::string& clientName, PersistWish wish,
                              bool noReplyTimeout, Refusal refusal, CIdentConnect_Recv& reply) const {
  if (wish == PERSIST_AS_IS) {
    if (noReplyTimeout) return RESULT_BAD_ARGUMENT;
    CIdentConnectWithoutWish request(eventPort, clientName);
    return Exchange(request, reply, m_Settings.replyWaitMs, refusal);
  }
  CIdentConnect_Send request(eventPort, clientName, wish == PERSIST_ON, noReplyTimeout ? 1 : 0);
  return Exchange(request, reply, m_Settings.replyWaitMs, refusal);
}

int CControlChannel::Unregister(uint32_t sessionId) const {
  CIdentDisconnect_Send request(sessionId);
  CIdentDisconnect_Recv reply;
  const int iRet = Exchange(request, reply, m_Settings.replyWaitMs);
  return iRet != 0 ? iRet : reply.GetResult();
}

int CControlChannel::BluetoothCommand(uint32_t sessionId, uint32_t serial, uint32_t command) const {
  CBluetoothReq_Send request(sessionId, serial, command);
  CBluetoothReq_Recv reply;
  const int iRet = Exchange(request, reply, m_Settings.bluetoothReplyWaitMs);
  return iRet != 0 ? iRet : reply.GetResult();
}

int CControlChannel::FetchDataFiles(std::map<std::string, std::vector<uint8_t>>& files, uint32_t& unreadable) const {
  CLogFile_Send request;
  CLogFiles_Recv reply;
  files.clear();
  unreadable = 0;
  const int iRet = Exchange(request, reply, m_Settings.replyWaitMs, REFUSAL_ANSWERS);
  if (iRet != 0) return iRet;
  if (reply.GetResult() != 0) return reply.GetResult();
  for (const auto& entry : reply.GetFiles()) {
    if (entry.second.GetResult() != 0)
      ++unreadable;
    else
      files[entry.first] = entry.second.GetContents();
  }
  return 0;
}

}  // namespace vciident
