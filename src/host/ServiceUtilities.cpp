#include "host/ServiceUtilities.h"

#include <cstdarg>
#include <cstdio>

#include "host/TraceLog.h"

CServiceUtilities& CServiceUtilities::GetInstance() {
  static CServiceUtilities* instance = new CServiceUtilities;  // Lives until exit.
  return *instance;
}

void CServiceUtilities::WriteLog(int level, const char* format, ...) {
  if (level < m_iThreshold) return;
  char line[1000];
  va_list ap;
  va_start(ap, format);
  const int n = vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  if (n < 0) return;
  // A longer line is cut: the trace log would drop a message that does not fit.
  TraceLog(level == LOG_ERR ? TRACE_ERR : level == LOG_WARN ? TRACE_WARN : TRACE_INFO, "%s", line);
}
