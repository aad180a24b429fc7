#include "frame/slots.h"

#include <cstdlib>
#include <cstring>

#include "frame/log.h"
#include "frame/result_codes.h"

namespace {
std::array<Slot, kSlotCount>& Slots() {
  static std::array<Slot, kSlotCount> slots;
  return slots;
}

// The user id part of an index entry "%d$%s" (up to a further '$', if any).
std::string_view IndexUser(const std::string& entry) {
  auto dollar = entry.find('$');
  if (dollar == std::string::npos) return {};
  std::string_view user(entry);
  user.remove_prefix(dollar + 1);
  return user.substr(0, user.find('$'));
}
// Every change of a slot's state goes through here, so that the status page
// reads it whole. An idle slot holds no link and no file.
void WriteState(Slot& slot, state::Id newState) {
  std::lock_guard lock(slot.viewLock);
  slot.state = newState;
  if (slot.state == state::kIdle) {
    slot.linkType.clear();
    slot.linkAddress.clear();
    slot.openFile.clear();
  }
}

}  // namespace

Slot& SlotAt(int varNum) { return Slots().at(static_cast<std::size_t>(varNum)); }

std::mutex& SlotLock() {
  static std::mutex lock;
  return lock;
}

std::condition_variable& SlotReleased() {
  static std::condition_variable released;
  return released;
}

int FindFreeSlotLocked() {
  for (int i = 0; i < kSlotCount; ++i) {
    const Slot& slot = SlotAt(i);
    if (slot.inUse == 0 && slot.indexEntry.empty() && slot.webMessageFlag.load() == 0) return i;
  }
  return -1;
}

int FindFreeSlot() {
  std::lock_guard lock(SlotLock());
  return FindFreeSlotLocked();
}

int SetSlotInUse(int value, int varNum) {
  std::lock_guard lock(SlotLock());
  SlotAt(varNum).inUse = value;
  return RESULT_OK;
}

int SetSlotIndex(const std::string& userId, int varNum) {
  std::lock_guard lock(SlotLock());
  SlotAt(varNum).indexEntry = userId.empty() ? std::string() : std::to_string(varNum) + "$" + userId;
  return RESULT_OK;
}

int FindSlotByUser(const std::string& userId) {
  std::lock_guard lock(SlotLock());
  return FindSlotByUserLocked(userId);
}

int FindSlotByUserLocked(const std::string& userId) {
  // No entry is ever made for an empty id; an empty lookup finds nothing.
  if (userId.empty()) return -1;
  for (int i = 0; i < kSlotCount; ++i) {
    const std::string& entry = SlotAt(i).indexEntry;
    if (!entry.empty() && IndexUser(entry) == userId) return std::atoi(entry.c_str());
  }
  return -1;
}

int ResetSlotToIdle(int varNum) {
  Slot& slot = SlotAt(varNum);
  if (slot.state == state::kIdle) {
    Console("Reset an IDLE thread memory state!");
    return RESULT_OK;
  }
  WriteState(slot, state::kIdle);
  SetSlotInUse(0, varNum);
  if (SetSlotIndex("", varNum) != RESULT_OK) {
    LogError(varNum, "Index array error", "Set NULL to varNum index array error");
    return SLOT_INDEX_ERROR;
  }
  return RESULT_OK;
}

int ClearAllFlags() {
  std::lock_guard lock(SlotLock());
  for (int i = 0; i < kSlotCount; ++i) {
    Slot& slot = SlotAt(i);
    slot.webMessageFlag = 0;
    slot.serialLineFlag = 0;
    slot.inUse = 0;
    WriteState(slot, state::kIdle);
    slot.savedState = state::kIdle;
    slot.indexEntry.clear();
    slot.webDisconnectTimeoutMs = kDefaultWebTimeoutMs;
    for (auto& name : slot.dsn) name.clear();
    slot.userId.clear();
  }
  return RESULT_OK;
}

int ShowAllFlags() {
  Console("\nShow all current flags");
  return RESULT_OK;
}

void SetState(int varNum, state::Id newState) {
  WriteState(SlotAt(varNum), newState);
  LogStateChanged(varNum, std::string("Change to ") + state::Text(newState));
}

state::Id SlotState(int varNum) { return SlotAt(varNum).state; }
const char* SlotStateText(int varNum) { return state::Text(SlotAt(varNum).state); }

db::ConnectionRecord* SlotDatabase(int varNum) {
  Slot& slot = SlotAt(varNum);
  if (slot.state == state::kOnline) return &slot.db[kWorkDb];
  if (slot.state == state::kOffline) return &slot.db[kOfflineDb];
  if (slot.state == state::kDownload) return &slot.db[kDownloadDb];
  if (slot.state == state::kUpload) return &slot.db[kUploadDb];
  return nullptr;
}

void FreeSlotLocked(int varNum) {
  Slot& slot = SlotAt(varNum);
  slot.inUse = 0;
  slot.indexEntry.clear();
  slot.serialLineFlag = 0;
  slot.linkTakenOver = 0;
  slot.webMessageFlag = 0;
}

SlotView ViewOfSlot(int varNum) {
  Slot& slot = SlotAt(varNum);
  SlotView view;
  {
    std::lock_guard lock(SlotLock());
    view.userId = std::string(IndexUser(slot.indexEntry));
  }
  std::lock_guard lock(slot.viewLock);
  view.state = state::Text(slot.state);
  view.linkType = slot.linkType;
  view.linkAddress = slot.linkAddress;
  view.openFile = slot.openFile;
  return view;
}

void PublishSlotLink(int varNum, const std::string& type, const std::string& address) {
  Slot& slot = SlotAt(varNum);
  std::lock_guard lock(slot.viewLock);
  slot.linkType = type;
  slot.linkAddress = address;
}

void PublishSlotFile(int varNum, const std::string& name) {
  Slot& slot = SlotAt(varNum);
  std::lock_guard lock(slot.viewLock);
  slot.openFile = name;
}
