#pragma once
// Transfer sequences: one web request that reads from or writes to the
// system. A request packet goes out, the answer comes back in one or more
// packets; long answers are acknowledged after every tenth and the final
// packet, their bodies gathered in the caller's buffer, stored in the slot's
// database when the message is one that is kept, and relayed to the web.
//
// The transfer-busy flag keeps two slots from talking to the system at the
// same time between a request's send and its first answer packet.
#include <cstddef>
#include <cstdint>

#include "web/sxm_format.h"
#include "web/web_message.h"
#include "frame/result_codes.h"

namespace systemlink {

constexpr int kMaxRefusals = 5;     // re-sends after a TVRL_MSG_NOK answer

// The caller's accumulation buffer: the bodies of one PGC transfer gathered
// at `*length`. A first packet starts over at 0. Data that would not fit in
// `capacity` bytes is refused (168) and nothing is stored.
struct Gathering {
  std::uint8_t* buffer = nullptr;
  std::size_t capacity = 0;
  int* length = nullptr;
};

// Takes the transfer-busy flag, waiting as long as another thread holds it.
// The wait logs one Debug line however long it lasts.
void AcquireTransferFlag(int varNum);
void ReleaseTransferFlag();
bool TransferFlagHeld();
// Takes the flag only when it is free at this moment; never waits.
bool TryAcquireTransferFlag();
// The longest time any thread has waited for the flag since start,
// in microseconds (for measurements).
long LongestTransferFlagWaitUs();

// The messages whose gathered data is stored in the slot's database at the
// end of a sequence.
bool IsStoredMessage(std::uint16_t messageId);

// Sends `body` (packetLength - 10 bytes) as a one-packet request and runs
// the answer loop: no acknowledgement for message ids 0 and 1, the answer
// stored at the end when its message is kept, each packet relayed to the web
// when `relay` is set. `packet` receives each answer packet.
// 1; 168; 205; a send, receive, store or relay failure.
int RequestFromSystem(int webSocket, int systemSocket, std::uint16_t messageId, const web::WebMsg& request,
                      sxm::Packet& packet, const std::uint8_t* body, bool relay, std::uint8_t recordLength,
                      std::uint16_t packetLength, Gathering gathering, int varNum);

// As RequestFromSystem, but every answer replaces the table's rows (also
// with no data), only message id 0 goes unacknowledged, and gathered data
// that is not whole records is refused. 1; 166; 168; 169; 205; ...
int ReadTableFromSystem(int webSocket, int systemSocket, std::uint16_t messageId, const web::WebMsg& request,
                        sxm::Packet& packet, const std::uint8_t* body, bool relay, std::uint8_t recordLength,
                        std::uint16_t packetLength, Gathering gathering, int varNum);

// Relays the packet the web prepared and every answer packet back, each
// tenth and final one acknowledged; a kept message is stored at its final
// packet. 1; 168; 199; 205; a send, receive or store failure.
int ReadFromSystem(int webSocket, int systemSocket, std::uint16_t messageId, const web::WebMsg& request,
                   sxm::Packet& packet, Gathering gathering, int varNum);

// Relays the packet the web prepared, waits for the system's one-packet
// answer and relays it back. At the final packet of a kept message the data
// sent is stored: merged for a key-table PGC whose table has rows, replaced
// otherwise, PGC 723 as its multi-database set. 1; 167; 168; 199; 252; ...
int WriteToSystem(int webSocket, int systemSocket, std::uint16_t messageId, const web::WebMsg& request,
                  sxm::Packet& packet, Gathering gathering, int varNum);

// Sends `dataLength` bytes of `recordLength`-byte rows in numbered packets
// of whole rows, each answered by the system. 1; 166; 169; a send or
// receive failure.
int SendTableToSystem(int systemSocket, std::uint16_t messageId, const web::WebMsg& request, const std::uint8_t* data,
                      int recordLength, int dataLength, int varNum);

// Relays the restart packet the web prepared (no answer comes) and stores it
// when its message is kept. Once it is `sent` the system drops the link, and
// the caller gives the slot up whatever the store did. 1; 170; 199; the
// store's failure.
int RestartSystem(int systemSocket, std::uint16_t messageId, const web::WebMsg& request, sxm::Packet& packet,
                  bool& sent, int varNum);

}  // namespace systemlink
