#pragma once
// The client slots: at most 100 users at a time, each owning one slot while it
// has a connection or holds a link or database that outlives the connection.
//
// Ownership: a slot is written by one thread at a time. The thread serving a
// connection owns its slot from the claim (ClaimSlot) to the release
// (ReleaseSlot); the web disconnect timer thread owns a slot that no
// connection serves while it gives the slot up. Allocation, release and the
// index are guarded by SlotLock(); the flags that other threads read are
// atomics.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "frame/connection_record.h"

constexpr int kSlotCount = 100;
constexpr int kDefaultWebTimeoutMs = 300000;

// Slot states, compared and copied exactly.
// A slot's state. Text() gives the words the logs, the console and the
// refusals show.
namespace state {
enum Id : std::uint8_t { kIdle, kOnline, kOffline, kDownload, kUpload };
constexpr const char* kTexts[] = {"idle", "online", "offline", "download", "upload"};
constexpr const char* Text(Id id) { return kTexts[id]; }
}  // namespace state

// Which of the slot's four database connections.
enum SlotDbKind { kWorkDb = 0, kOfflineDb = 1, kDownloadDb = 2, kUploadDb = 3, kSlotDbKinds = 4 };

struct WebTimer {
  std::atomic<int> stopped{1};            // 0 while running; written last on start
  std::atomic<std::uint32_t> startTick{0};
  std::uint32_t lastSeenTick = 0;         // timer thread only
  std::atomic<int> timeoutMs{kDefaultWebTimeoutMs};
};

struct Slot {
  // Written by the owning thread.
  state::Id state = state::kIdle;
  state::Id savedState = state::kIdle;
  std::string userId;                         // user logged in on this slot
  std::array<std::string, kSlotDbKinds> dsn;  // work, offline, download, upload names
  std::array<db::ConnectionRecord, kSlotDbKinds> db;
  int systemSocket = -1;

  // Under SlotLock().
  int inUse = 0;
  std::string indexEntry;  // "%d$%s" (slot number, user id) or empty

  // Read across threads.
  std::atomic<int> webMessageFlag{0};  // 1 while a thread owns the slot
  std::atomic<int> serialLineFlag{0};
  std::atomic<int> linkTakenOver{0};   // another user's takeover ended this slot's link
  std::atomic<int> webDisconnectTimeoutMs{kDefaultWebTimeoutMs};
  WebTimer timer;

  // What the status page shows, read by its own thread. Guarded by viewLock,
  // which every write of `state` also takes (the owner reads `state` without
  // it); the link and file are published by whoever makes or ends them.
  mutable std::mutex viewLock;
  std::string linkType;     // "IPv4", "IPv6", "modem"; empty when not linked
  std::string linkAddress;  // the system's address or dial string
  std::string openFile;     // the offline, download or upload file's name
};

// A consistent copy of what the status page may show of a slot: no password,
// session id or personal field is ever in it.
struct SlotView {
  std::string userId;
  std::string state;
  std::string linkType;
  std::string linkAddress;
  std::string openFile;
};
SlotView ViewOfSlot(int varNum);
void PublishSlotLink(int varNum, const std::string& type, const std::string& address);
void PublishSlotFile(int varNum, const std::string& name);

Slot& SlotAt(int varNum);
std::mutex& SlotLock();
// Signalled whenever a slot's owner lets it go.
std::condition_variable& SlotReleased();

// Table operations. Those without "Locked" take SlotLock() themselves.
int FindFreeSlot();                                   // lowest free slot, or -1
int SetSlotInUse(int value, int varNum);
int SetSlotIndex(const std::string& userId, int varNum);
int FindSlotByUser(const std::string& userId);        // slot number, or -1
int ResetSlotToIdle(int varNum);                      // 1; 203
int ClearAllFlags();
int ShowAllFlags();
void SetState(int varNum, state::Id newState);        // logs "Change to <state>"
state::Id SlotState(int varNum);
const char* SlotStateText(int varNum);

// The connection record that the slot's state selects; nullptr in "idle" or
// an unknown state.
db::ConnectionRecord* SlotDatabase(int varNum);

int FindFreeSlotLocked();
int FindSlotByUserLocked(const std::string& userId);

// Frees a slot whose state is "idle": in-use 0, index empty, serial-line flag
// 0, web-message flag 0. Caller holds SlotLock().
void FreeSlotLocked(int varNum);
