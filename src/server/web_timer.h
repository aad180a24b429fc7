#pragma once
// The web disconnect timers' sweep (the timers themselves: web/web_timer.h).
// An expired timer gives its slot up, which closes the slot's links: hence
// this sits on top.
#include <cstdint>

namespace server {

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
