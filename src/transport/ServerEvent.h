// IServerEvent: the listener of a server socket.
//
// Every call comes from the socket's receive thread. CServerSocket::Shutdown
// returns only after the call in progress (if any) has ended and the thread
// has been joined, so the caller of Shutdown must not hold a lock that the
// listener takes: the two would wait for each other for good. The discovery
// engine's interface handling (closing the socket of an interface that went
// away) and the control server's replacement both stop a socket from code
// that may hold their own locks; they must let go of any lock their
// listener needs before they call Shutdown.
#pragma once

#include <string>

class CArchiveBuffer;

class IServerEvent {
 public:
  virtual ~IServerEvent() = default;
  // One received frame or datagram. request is in loading mode with its
  // cursor at the end of the received bytes (Rewind (LOADING) to read it);
  // reply is an empty storing archive (TCP: sent back when 0 is returned).
  // 0 = handled; anything else counts as an error of the conversation.
  // Runs on the receive thread with the socket's lock held.
  virtual int OnDataReceived(CArchiveBuffer& request, CArchiveBuffer& reply, const std::string& remoteAddress,
                             const std::string& localAddress) = 0;
  // code -2 = an error, -1 = the peer closed the connection. true stops the
  // receive thread.
  virtual bool OnErrorDetected(int code) = 0;
  // Told after each accepted TCP connection.
  virtual void OnAccept(const std::string& remoteAddress) { (void)remoteAddress; }
};
