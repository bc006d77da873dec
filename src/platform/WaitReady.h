// The wait of a socket beside a wake descriptor (a CWakeSemaphore, an
// event): the one poll of the transport and of the registered clients.
#pragma once

#include <poll.h>  // the events: POLLIN, POLLOUT, POLLRDHUP (a peer's close)

namespace platform {

// Waits up to timeoutMs (-1: without limit) until fd (skipped when negative)
// shows one of events, or wakeFd (skipped when negative) is readable. Returns
// poll's count: above 0 when something is ready (revents: fd's, woke: the
// wake descriptor is readable), 0 when the time ran out, -1 with errno set.
// An interrupted wait starts again.
int WaitReady(int fd, short events, int wakeFd, int timeoutMs, short& revents, bool& woke);

}  // namespace platform
