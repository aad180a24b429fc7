#pragma once
// Giving a slot's resources up: its databases, its system link, its state and
// the user's connection mark.
namespace requests {

// How a slot's system link ends: with the link-control packet, or quietly
// when the system has handed the link to another client already.
enum class LinkEnd { kNotify, kQuiet };

// Closes everything the slot's state holds open, also past a failure. 1; 202.
int DisconnectSlot(int& systemSocket, int varNum, LinkEnd end = LinkEnd::kNotify);
// "idle" with the index emptied and the user's connection mark cleared. 1; 203; 204.
int ResetSlotAndUser(int varNum);
// Gives a slot up after its web connection or its web timer ended.
int ResetLinkAndFlag(int& systemSocket, int varNum, LinkEnd end = LinkEnd::kNotify);
// The slot of a user whose system another user took over: given up at once
// when no thread serves it, else marked for the serving thread, which calls
// ReleaseIfTakenOver before each request and at the end of its connection.
int ReleaseTakenOverSlot(int oldVarNum, int varNum);
int ReleaseIfTakenOver(int varNum);

}  // namespace requests
