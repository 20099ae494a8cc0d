// What a service manager asks of the server, and a terminal too: to say
// when it is ready, and to stop gently when it is sent SIGTERM or SIGINT.
#pragma once

#include <csignal>

// Tells the service manager that started us, if any, how we are
// (e.g. "READY=1"), by the datagram systemd documents for $NOTIFY_SOCKET.
// Without $NOTIFY_SOCKET it does nothing; a notice that cannot be sent is
// only lost.
void notifyManager(const char* state);

// From now on SIGTERM and SIGINT are held back except while the caller
// waits with the mask this returns, in ppoll: so that a stop is never
// missed between a look at stopsAsked and the wait, and no other call is
// interrupted. SIGHUP, which a terminal closing or a reload sends, is
// ignored: only the two stop the server.
sigset_t holdStopSignals();

// How many times SIGTERM or SIGINT came.
int stopsAsked();
