// CServiceUtilities: the runtime log that the client sockets, the VCI
// service clients and the cache files report their errors to. The service
// sets up no file of its own for it: a line at or above its threshold (the
// errors) goes into the trace log as it is, at its level, where the trace
// level, the window, the trace file and the journal decide what becomes of
// it. Below the threshold (the transport lines that the service clients
// echo, the warnings) nothing is written.
#pragma once

class CServiceUtilities {
 public:
  enum { LOG_INFO = 0, LOG_WARN = 1, LOG_ERR = 2 };

  static CServiceUtilities& GetInstance();

  // Lines below the threshold are dropped.
  void WriteLog(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

 private:
  CServiceUtilities() = default;
  const int m_iThreshold = LOG_ERR;
};
