// Readiness for the service manager: the systemd notification protocol, a
// datagram of "KEY=VALUE" lines to the socket named by $NOTIFY_SOCKET ("@"
// for the abstract namespace). A unit of Type=notify, and a test, learn from
// "READY=1" that the service answers its window.
#pragma once

namespace platform {

// False when $NOTIFY_SOCKET is not set or the datagram cannot be sent.
bool NotifyServiceManager(const char* state);
// Whether a service manager listens ($NOTIFY_SOCKET is set).
bool HasServiceManager();

}  // namespace platform
