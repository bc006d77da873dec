// CServiceUtilities: the runtime log that the client sockets and the VCI
// service clients report their errors to. This service never gives it a
// folder or a file name, so every line sent to it is dropped.
#pragma once

#include <string>

class CServiceUtilities {
 public:
  enum { LOG_INFO = 0, LOG_WARN = 1, LOG_ERR = 2 };

  static CServiceUtilities& GetInstance();

  // Writes nothing while the folder or the file name is empty.
  void WriteLog(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

 private:
  CServiceUtilities() = default;
  int m_iThreshold = 2;
  std::string m_sFolder;
  std::string m_sFile;
};
