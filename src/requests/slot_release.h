#pragma once
// Giving a slot's resources up: its databases, its system link, its state and
// the user's connection mark.
namespace requests {

// Closes what the slot's state holds open. 1; 202; the system disconnect's result.
int DisconnectSlot(int& systemSocket, int varNum);
// "idle" with the index emptied and the user's connection mark cleared. 1; 203; 204.
int ResetSlotAndUser(int varNum);
// Gives a slot up after its web connection or its web timer ended.
int ResetLinkAndFlag(int& systemSocket, int varNum);

}  // namespace requests
