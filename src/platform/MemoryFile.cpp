#include "platform/MemoryFile.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

CMemoryFile::CMemoryFile(const void* data, size_t size) : m_iFd(memfd_create("vci-ident", MFD_CLOEXEC)) {
  const char* p = static_cast<const char*>(data);
  while (m_iFd >= 0 && size > 0) {
    ssize_t n = write(m_iFd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(m_iFd);
      m_iFd = -1;
      break;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  if (m_iFd >= 0) m_strPath = "/proc/self/fd/" + std::to_string(m_iFd);
}

CMemoryFile::~CMemoryFile() {
  if (m_iFd >= 0) close(m_iFd);
}
