#include "platform/PollEvent.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform {

CPollEvent::~CPollEvent() {
  if (m_Fd >= 0) close(m_Fd);
}

int CPollEvent::Open() {
  if (m_Fd >= 0) return 0;
  m_Fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return m_Fd >= 0 ? 0 : errno;
}

// An eventfd is readable while its counter is not zero: a Set adds one, a
// Reset reads the counter back to zero. Neither blocks.
void CPollEvent::Set() {
  const uint64_t one = 1;
  if (m_Fd >= 0 && write(m_Fd, &one, sizeof one) < 0) {
    // EAGAIN only at the counter's limit, when the descriptor is readable.
  }
}

void CPollEvent::Reset() {
  uint64_t count;
  if (m_Fd >= 0 && read(m_Fd, &count, sizeof count) < 0) {
    // EAGAIN: it was not set.
  }
}

}  // namespace platform
