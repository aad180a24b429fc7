#pragma once
// The web disconnect timer of a slot: a slot that is not idle outlives its
// connection until the user's next connection stops its timer, or the timer
// fires and the slot is given up (the sweeping and giving up sit on top, in
// server/web_timer.h, because they close the slot's links).
namespace web {

// Arms the slot's timer with its current time-out, from now. 1.
int StartWebDisconnectTimer(int varNum);
// 1.
int StopWebDisconnectTimer(int varNum);

}  // namespace web
