// Supervision of the running daemon: a service manager learns that start-up
// is done and, while the daemon works, that it is alive; `callctl status`
// learns the same from the bus.
#pragma once

// Sends one state ("READY=1", "WATCHDOG=1") to the service manager over the
// datagram socket named by NOTIFY_SOCKET ("@name": an abstract socket).
// Without NOTIFY_SOCKET nothing is sent. True when the datagram went out.
bool notify_service_manager(const char* state);

// Called by the input loop at every turn: at most once a second, renews the
// bus heartbeat through a pool loan and, only when the server stored it,
// pings the service manager's watchdog. A loop that stops turning, or a pool
// that cannot lend a connection that answers, lets both lapse.
void liveness_tick();
