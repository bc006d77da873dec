// IServiceCore: what the service host starts and stops, the process-wide
// client connection manager. The host makes exactly these calls, all on its
// main thread; keeping them behind this interface lets the host run, and be
// tested, with another core.
#pragma once

#include <string>

class IServiceCore {
 public:
  virtual ~IServiceCore() = default;
  // 0 on success. The connection manager fails a second Initialize.
  virtual int Initialize() = 0;
  virtual int Uninitialize() = 0;
  virtual int DisconnectClients() = 0;
  // Reads the settings again (SIGHUP): at once, or when the applications
  // registered now have gone.
  virtual void Reload() = 0;
  // What the start line tells of the core: its brand and control port.
  virtual std::string Describe() = 0;
};

// The core the vci-identd program runs (ServiceCore*.cpp).
IServiceCore& ServiceCore();
