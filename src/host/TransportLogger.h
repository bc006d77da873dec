// CTransportLogger: the transport log shared by every socket of the process.
// One file, "<program>_<month>_<day>.txt" in the transport log folder
// ($VCI_IDENT_TRANSPORT_LOG_DIR, default /var/log/qmx-logs/), written only
// when that folder exists. Each line is "<seconds>.<100ns ticks> <message>".
#pragma once

#include <string>

class CTransportLogger {
 public:
  CTransportLogger() = default;
  virtual ~CTransportLogger() = default;

  // 0 when the shared transport file is open (opening it now if needed), -1
  // when this logger is disabled or the file cannot be opened; a logger that
  // failed once stays disabled. The label is not used.
  int OpenTransportLog(const char* label);
  // printf-style transport line; a message of 256 or more characters is not
  // written. With echo set the line also goes to the runtime log.
  void TrnLog(const char* format, ...) __attribute__((format(printf, 2, 3)));

  void SetEcho(bool echo) { m_bEcho = echo; }
  bool GetEcho() const { return m_bEcho; }
  bool IsDisabled() const { return m_bDisabled; }

  // Flushes, closes and forgets the shared file (the host at stop and at
  // session end); a later open creates a new one.
  static void CloseTransportLog();
  // Path the shared file has or would have now (folder, program name, date).
  static std::string TransportLogPath();

 private:
  bool m_bEcho = false;
  bool m_bDisabled = false;
};
