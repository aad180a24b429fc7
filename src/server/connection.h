#pragma once
// One accepted web connection, served on its own thread: the first message,
// the slot of its user, then every further message until the exchange ends.
namespace server {

// Takes ownership of the (non-blocking) socket.
void ServeConnection(int socket);

// 1 when the slot is still busy after a wait of 2000 ms, 0 when it is free.
int WaitUserNotBusy(int varNum);

}  // namespace server
