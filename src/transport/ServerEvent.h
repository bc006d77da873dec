// IServerEvent: the listener of a server socket.
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
