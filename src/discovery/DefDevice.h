// CVCIIdentClient::CDefDevice: the default-device watcher. The registry
// value "DefaultDevice" may name one Bluetooth VCI that the PC keeps
// connected: the watcher connects it once the Bluetooth discovery lists it,
// checks the connection every 500 ms, reconnects after a loss, follows
// changes of the value, and beeps on connect and disconnect. Its commands
// use the session 1233.
#pragma once

#include <cstdint>

#include "base/Thread.h"
#include "discovery/VCIIdentClient.h"
#include "platform/Event.h"

class CVCIIdentClient::CDefDevice : public IThread {
 public:
  // Starts the thread.
  explicit CDefDevice(CVCIIdentClient* pEngine);
  // Signals the shutdown and joins the thread (a command in progress ends
  // first).
  ~CDefDevice() override;

 protected:
  void Run(uint32_t uiArg1, uint32_t uiArg2) override;

 private:
  // The value's serial number, 0 when it is empty, not a number or cannot
  // be read (code then nonzero).
  static uint32_t ReadDefault(LONG& code, std::string& text);
  // Two tones of the frequency with a pause between them.
  static void Signal(DWORD frequency);
  // Connected, the connection checked; not connected, the default VCI
  // looked for and connected. Returns whether it is connected now.
  bool Supervise(bool connected);
  void Disconnect();

  CVCIIdentClient* const m_pEngine;  // Not owned.
  // The watcher thread's own.
  uint32_t m_uiDefaultSerial = 0;
  // Set by the registry layer on a change and by the destructor, so that
  // one wait serves both; the shutdown event tells them apart.
  CEvent m_Change{false, false};
  CEvent m_Shutdown{true, false};
};
