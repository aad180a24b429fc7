#pragma once
// The graceful stop. On SIGTERM or SIGINT COMM takes no new connection, lets
// the requests in progress finish (10 seconds at most), gives every slot up
// as its web disconnect timer would, writes a last log line and ends with
// exit code 0. A second signal ends it at once.
#include "platform/process.h"

namespace server {

// The connection threads report here, so that a stop knows which
// connections are between requests (and may be ended) and which are busy.
void ConnectionOpened(int socket);
void ConnectionClosed(int socket);
void RequestStarted(int socket);
// The request is answered. False when the server is stopping: the connection
// ends instead of waiting for another message.
bool RequestFinished(int socket);

// Runs the stop after the first stop signal. Never returns.
[[noreturn]] void StopGracefully(platform::StopSignals& signals, int signal, int listener);

}  // namespace server
