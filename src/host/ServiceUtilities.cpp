#include "host/ServiceUtilities.h"

#include <cstdarg>
#include <cstdio>

#include "platform/Paths.h"

CServiceUtilities& CServiceUtilities::GetInstance() {
  static CServiceUtilities* instance = new CServiceUtilities;  // Lives until exit.
  return *instance;
}

void CServiceUtilities::WriteLog(int level, const char* format, ...) {
  // This service never names a folder or a file, so every line ends here.
  if (m_sFolder.empty() || m_sFile.empty()) return;
  if (level < m_iThreshold) return;
  FILE* f = fopen(platform::JoinPath(m_sFolder, m_sFile).c_str(), "a");
  if (!f) return;
  va_list ap;
  va_start(ap, format);
  fprintf(f, "%d ", level);
  vfprintf(f, format, ap);
  fputc('\n', f);
  va_end(ap);
  fclose(f);
}
