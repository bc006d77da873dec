// The shared transport file: one FILE for every transport logger of the
// process, opened and written under one lock.
#include "host/TransportLogger.h"

#include <cstdarg>
#include <cstdio>

#include "host/ServiceUtilities.h"
#include "platform/Files.h"
#include "platform/Kernel.h"
#include "platform/Mutex.h"
#include "platform/Paths.h"

namespace {
CMutex g_Lock;
platform::CAppendFile g_File GUARDED_BY(g_Lock);
}  // namespace

std::string CTransportLogger::TransportLogPath() {
  const SYSTEMTIME today = GetWallClock().Local;
  char name[300];
  snprintf(name, sizeof name, "%s_%d_%d.txt", platform::ProgramFileName().c_str(), today.wMonth, today.wDay);
  return platform::TransportLogFolder() + name;
}

int CTransportLogger::OpenTransportLog(const char*) {
  if (m_bDisabled) return -1;
  CMutexLock g(g_Lock);
  if (g_File.IsOpen()) return 0;
  // A missing folder makes the open fail: no transport log, as designed.
  if (!g_File.Open(TransportLogPath(), false)) {
    m_bDisabled = true;
    return -1;
  }
  g_File.Write("######### Log File Started #########\n");
  return 0;
}

void CTransportLogger::TrnLog(const char* format, ...) {
  CMutexLock g(g_Lock);
  if (!g_File.IsOpen() && !m_bEcho) return;
  char message[256];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(message, sizeof message, format, ap);
  va_end(ap);
  // A message that does not fit is neither written nor echoed.
  if (n < 0 || n >= static_cast<int>(sizeof message)) return;
  if (g_File.IsOpen()) {
    const WallClock now = GetWallClock();
    char line[sizeof message + 40];
    const int length =
        snprintf(line, sizeof line, "%lld.%07u %s\n", static_cast<long long>(now.llSeconds), now.uiTicks100ns, message);
    if (length > 0) g_File.Write(line, static_cast<size_t>(length));
  }
  if (m_bEcho) CServiceUtilities::GetInstance().WriteLog(CServiceUtilities::LOG_INFO, "%s:%s", "TrnLog", message);
}

void CTransportLogger::CloseTransportLog() {
  CMutexLock g(g_Lock);
  g_File.Close();
}
