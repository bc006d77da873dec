// IClientSocketEvent: the listener of a client socket.
#pragma once

class IClientSocketEvent {
 public:
  virtual ~IClientSocketEvent() = default;
  // Told -2 when a send gives up waiting for the socket to become writable;
  // the answer is not used.
  virtual bool OnErrorDetected(int code) = 0;
};
