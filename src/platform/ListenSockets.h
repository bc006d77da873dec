// Sockets handed over by the service manager (socket activation): systemd
// opens the listening socket of a socket unit itself, starts the service on
// the first connection, and passes the socket as descriptor 3 with
// $LISTEN_FDS (how many, from 3 on) and $LISTEN_PID (for which process: a
// program that inherited the variables from its parent takes nothing).
#pragma once

namespace platform {

// The first handed-over descriptor that is a listening IPv4 TCP socket, or
// -1 when there is none. It becomes close-on-exec, the other handed-over
// descriptors are closed, and the variables are removed, so that a program
// the service starts neither inherits nor takes them: the first call of a
// process takes, every later call gives -1.
int TakeListenSocket();

}  // namespace platform
