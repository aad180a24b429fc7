#pragma once
// Opening and closing a slot's link to the system over TCP (IPv4 or IPv6),
// or through the modem on the process's one serial port (system/modem.h),
// which a slot holds from its connect to its disconnect.
//
// A connect runs under two deadlines kept by the connecting thread itself:
// the accept timer (15 s) bounds the TCP connect, the reject timer (3 s) is
// how long request 12 watches for the reject packet with which the system
// refuses a second client. Request 13 connects to the takeover port and
// sends the link-control packet instead.
//
// The system listens on 5080 (5081 for a takeover). Another base port can be
// given with the environment variable TAVREL_SYSTEM_PORT (read once, on the
// first connect) or with SetSystemPort; the takeover port is always base + 1.
// Both exist so that tests and trial installations can reach a simulated
// system on a free port. TAVREL_REJECT_MS (1..3000) shortens the reject
// watch in the same way, for tests against a system that rejects at once.
#include <cstddef>
#include <cstdint>
#include <string>

#include "web/web_message.h"
#include "frame/result_codes.h"

namespace systemlink {

constexpr std::uint16_t kConnectRequest = web::CONNECT_SYSTEM;
constexpr std::uint16_t kTakeoverRequest = web::TAKEOVER_SYSTEM;

// Connect request body (the packet's data): link type, modem settings, address.
constexpr std::size_t kLinkTypeAt = 0;
constexpr std::size_t kIPv6AddressAt = 4;   // 16 bytes
constexpr std::size_t kIPv4AddressAt = 16;  // 4 octets
enum LinkType { kLinkIPv4 = 0, kLinkIPv6 = 1, kLinkModem = 2 };

constexpr std::uint16_t kSystemPort = 5080;
constexpr int kAcceptTimerMs = 15000;
constexpr int kRejectTimerMs = 3000;
constexpr int kCompletionWaitMs = 5000;  // one wait for a connect to complete
constexpr int kSocketTimeoutMs = 15000;  // send and receive time-outs of the link

// Result codes of the connect beyond the named ones.

// One line saying which of the two variables changes how this server
// reaches the system, and to what; empty when neither is set.
std::string LinkOverridesLine();

void SetSystemPort(std::uint16_t basePort);
std::uint16_t SystemPort();  // the base port in use
// Shorter timers let tests reach the time-outs quickly; 0 restores a default.
void SetLinkTimers(int acceptMs, int rejectMs);

// Opens the link that the request's body describes. `systemSocket` receives
// the socket as soon as it exists; after a failure it may still hold one,
// which the caller closes. 1; 134; 155; 156; 161; 162; 170; 193; 194; 195;
// 196; 198; 199; 201; 214; over a modem 144, 154 (the serial port is held
// by another slot) and the modem connect's failures, after which the port
// is closed again. A link type other than 0, 1 and 2 does nothing and gives 1.
int ConnectToSystem(int& systemSocket, const web::WebMsg& request, std::uint16_t requestId, int varNum);
// The TCP connect for an address already in text form.
int ConnectToAddress(int& systemSocket, int linkType, const std::string& addressText, const web::WebMsg& request,
                     std::uint16_t requestId, int varNum);

// Sends the link-control packet and closes the link: the socket, or the
// serial port of a modem link (whose alive timer stops). A link that cannot
// carry the packet is closed all the same; `systemSocket` is -1 afterwards.
// 1; 144; 200; the send's result.
int DisconnectFromSystem(int& systemSocket, int varNum);

// Closes the link without sending anything on it: the socket, or the
// serial port of a modem link (whose alive timer stops). For a link the
// system has already handed to another client, where a link-control packet
// could be taken as the new client's. `systemSocket` is -1 afterwards. 1; 144.
int CloseLinkQuietly(int& systemSocket, int varNum);

// Giving up the slot of the user whose link a takeover ends. The default
// only resets the slot's table entry; request handling, which knows how to
// close that slot's databases and system link, installs the whole release.
// Returns 1 or the failure to pass up.
using OldSlotRelease = int (*)(int oldVarNum, int varNum);
void SetOldSlotRelease(OldSlotRelease release);
// After the takeover packet: finds the user connected to the same system,
// releases that user's slot and clears the user's connection mark. 1 (also
// when nobody was connected); 134; the release's failure. Replaceable so that
// a connect can be exercised without the user database.
using TakeoverRelease = int (*)(const web::WebMsg& request, int varNum);
void SetTakeoverRelease(TakeoverRelease release);  // nullptr: the default
int ReleaseOldUser(const web::WebMsg& request, int varNum);

// The timers of one slot. Starting fills the slot's record and clears its
// timed-out flag; the waiting code asks whether the deadline has passed.
int StartAcceptTimer(int varNum);
int StopAcceptTimer(int varNum);
int StartRejectTimer(int varNum);
int StopRejectTimer(int varNum);

}  // namespace systemlink
