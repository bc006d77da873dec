#include "EventListener.h"

#include <climits>

#include "records/IdentEvent.h"
#include "serialize/ArchiveBuffer.h"
#include "transport/ServerSocket.h"

namespace vciident {

CEventListener::CEventListener(IEventSink& sink) : m_Sink(sink) {}

CEventListener::~CEventListener() { Stop(); }

int CEventListener::Start(const std::string& address, uint16_t port) {
  m_pServer.reset(new CServerSocket(this, true));
  // The service may send nothing for hours while the table stays as it is:
  // silence on the kept connection is no failure here.
  CServerSocket::Timeouts timeouts;
  timeouts.uiSilentPeerMs = INT_MAX;
  m_pServer->SetTimeouts(timeouts);
  m_pServer->SetMaxFrameLength(MAX_TABLE_FRAME_LENGTH);
  m_pServer->SetSystemChosenPort(true);
  m_pServer->SetLocalAddress(address);
  const int iRet = m_pServer->Initialize(SOCKTYPE_TCP, port, true);
  if (iRet != 0) m_pServer.reset();
  return iRet;
}

int CEventListener::Restart(const std::string& address, uint16_t port) {
  std::unique_ptr<CServerSocket> old = std::move(m_pServer);
  if (old && port != 0) {
    old->Shutdown();
    old.reset();
  }
  const int iRet = Start(address, port);
  if (old) old->Shutdown();
  return iRet;
}

void CEventListener::Stop() {
  if (!m_pServer) return;
  m_pServer->Shutdown();
  m_pServer.reset();
}

uint16_t CEventListener::GetPort() const { return m_pServer ? m_pServer->GetPort() : 0; }

int CEventListener::OnDataReceived(CArchiveBuffer& request, CArchiveBuffer& reply, const std::string&,
                                   const std::string&) {
  request.Rewind(CArchiveBuffer::LOADING);
  CIdentEvent_Send event;
  const bool bRead = event.Serialize(request);
  // The acknowledgement goes out when this returns, before the application
  // hears of the event; one that cannot be read is acknowledged as failed.
  CIdentEvent_Recv ack(bRead ? 0 : -1);
  if (!ack.Serialize(reply)) return -1;
  if (bRead) m_Sink.OnEvent(event);
  return 0;
}

bool CEventListener::OnErrorDetected(int) {
  m_Sink.OnEventConnectionClosed();
  return false;  // back to accepting: the next registration connects anew
}

void CEventListener::OnAccept(const std::string&) { m_Sink.OnEventConnection(); }

}  // namespace vciident
