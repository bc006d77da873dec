// IServerEvent: the listener of a server socket and of the control server.
//
// A server socket's calls come from its receive thread, one at a time; the
// control server's OnDataReceived calls come from its workers, several at
// once (CControlServer). Shutdown returns only after the calls in progress
// have ended and the threads have been joined, so the caller of Shutdown
// must not hold a lock that the listener takes: the two would wait for each
// other for good. The discovery engine's interface handling (closing the
// socket of an interface that went away) and the control server's
// replacement both stop a server from code that may hold their own locks;
// they must let go of any lock their listener needs before they call
// Shutdown.
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
  // A server socket runs it on its receive thread with its lock held.
  virtual int OnDataReceived(CArchiveBuffer& request, CArchiveBuffer& reply, const std::string& remoteAddress,
                             const std::string& localAddress) = 0;
  // code -2 = an error, -1 = the peer closed the connection. true stops the
  // receive thread. The control server tells only of its listening socket's
  // failure (-2).
  virtual bool OnErrorDetected(int code) = 0;
  // Told after each accepted TCP connection.
  virtual void OnAccept(const std::string& remoteAddress) { (void)remoteAddress; }
};
