#pragma once
// Moving single SXM packets between a slot and the system: building and
// sending, receiving with the header and body checks, and relaying packets
// that the web front end prepared (to the system) or that the system sent
// (to the web client).
//
// Every operation looks at the slot's serial-line flag to choose the link:
// the socket, or the process's serial port with its framed protocol. While
// that port is closed, a slot whose flag is set gets SERIAL_OPEN_ERROR
// and nothing is sent.
#include <cstdint>

#include "web/sxm_format.h"
#include "web/web_message.h"
#include "frame/result_codes.h"

namespace systemlink {

// Peek attempts for a header and for a body, and the pause between them.
constexpr int kHeadAttempts = 5;
constexpr int kBodyAttempts = 20;
constexpr int kAttemptPauseMs = 300;

// The fields of a packet COMM sends; the type and the mode come from the
// request and the slot.
struct OutgoingPacket {
  std::uint16_t messageId = 0;
  const std::uint8_t* body = nullptr;  // packetLength - 10 bytes
  bool ack = false;                    // result 1 (an acknowledgement), else 0xFF
  bool final = true;
  std::uint16_t sequence = 1;
  std::uint8_t recordLength = 0;
  std::uint16_t packetLength = static_cast<std::uint16_t>(sxm::kHeaderSize);
};

// Fills `packet`: type, the mode the slot's state calls for ("upload" 0xF3,
// "online" the request's own mode, else 0xF0), and the fields given. 1; 170
// when the length lies outside 10..250 or the sequence outside 1..4095.
int BuildSystemHead(sxm::Packet& packet, const web::WebMsg& request, const OutgoingPacket& fields, int varNum);

// Builds one packet and sends it in one call. 1; 170; 199.
int SendToSystem(int systemSocket, const web::WebMsg& request, const OutgoingPacket& fields, int varNum);

// The keep-alive travels on the serial line only, whatever the slot's flag.
int SendFFFFToSystem(const web::WebMsg& request, int varNum);
int ExchangeFFFF(int systemSocket, int varNum);

// Receives one packet into `out` (header and body, the rest zeroed) and
// checks it against `state`, which the caller keeps across the packets of
// one message. 1; 170; 198 nothing whole within the attempts; 214; a
// serial read failure. On the serial line a packet other than FF FF stops
// the modem alive timer and the last packet of a message starts it again.
int ReceiveFromSystem(int systemSocket, sxm::Packet& out, sxm::ReceiveState& state, int varNum);
// A packet that is a message of its own.
int ReceiveOneFromSystem(int systemSocket, sxm::Packet& out, int varNum);

// `count` is the number of header bytes received. On 1 `bodyLength` is the
// length field less 10 and `state` has moved on. 1; 170.
int CheckSystemHead(const std::uint8_t* header, long count, std::uint16_t& bodyLength, sxm::ReceiveState& state,
                    int varNum);
int CheckSystemBody(const std::uint8_t* body, long count, std::uint16_t bodyLength, int varNum);

// Sends the packet embedded in the web request unchanged; `packet` receives
// a copy. 1; 170 when its length field lies outside 10..250; 199.
int TransferToSystem(int systemSocket, sxm::Packet& packet, const web::WebMsg& request, int varNum);
// Wraps a system packet in a web message for the request's user and sends
// it. 1; 170 when its length field lies outside 10..250; 199.
int TransferToWeb(int webSocket, const std::uint8_t* systemPacket, const web::WebMsg& request, int varNum);

}  // namespace systemlink
