#pragma once
// The web disconnect timer: a slot that is not idle outlives its connection
// until the user's next connection stops its timer, or the timer fires and
// the slot is given up.
#include <cstdint>

namespace server {

int StartWebDisconnectTimer(int varNum);
int StopWebDisconnectTimer(int varNum);

// Gives up a slot that the calling thread has claimed (its web-message flag
// set by this thread, its timer stopped): the modem's timers, the link, the
// databases, the state and the user's mark, as an expired timer does; then
// frees the slot and lets the claim go.
void GiveUpClaimedSlot(int varNum);

// One sweep over every slot's timer at the tick `now`; fires the expired ones.
// Returns the number of timers fired.
int SweepWebTimers(std::uint32_t now);
// The thread body: sweeps every 10 ms, for ever.
void CheckWebDisconnectTime();

}  // namespace server
