#include "ControlChannel.h"

#include "client_service/BluetoothReq.h"
#include "client_service/IdentDisconnect.h"
#include "client_service/LogFile.h"
#include "serialize/ArchiveBuffer.h"
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

}  // namespace

int CControlChannel::Exchange(CSerialize& request, CSerialize& reply, uint32_t waitMs) const {
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
    timeouts.uiConnectPauseMs = m_Settings.connectPauseMs;
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

int CControlChannel::Register(uint16_t eventPort, const std::string& clientName, bool persistLog,
                              bool noReplyTimeout, CIdentConnect_Recv& reply) const {
  CIdentConnect_Send request(eventPort, clientName, persistLog, noReplyTimeout ? 1 : 0);
  return Exchange(request, reply, m_Settings.replyWaitMs);
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
  const int iRet = Exchange(request, reply, m_Settings.replyWaitMs);
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
