#include "system/transfer.h"

namespace systemlink {

void AcquireTransferFlag(int) {}
void ReleaseTransferFlag() {}
bool TransferFlagHeld() { return false; }
long LongestTransferFlagWaitUs() { return 0; }
void ResetTransferFlagStatistics() {}
bool IsStoredMessage(std::uint16_t) { return false; }
int RequestFromSystem(int, int, std::uint16_t, const web::WebMsg&, sxm::Packet&, const std::uint8_t*, bool,
                      std::uint8_t, std::uint16_t, Gathering, int) { return 0; }
int ReadTableFromSystem(int, int, std::uint16_t, const web::WebMsg&, sxm::Packet&, const std::uint8_t*, bool,
                        std::uint8_t, std::uint16_t, Gathering, int) { return 0; }
int ReadFromSystem(int, int, std::uint16_t, const web::WebMsg&, sxm::Packet&, Gathering, int) { return 0; }
int WriteToSystem(int, int, std::uint16_t, const web::WebMsg&, sxm::Packet&, Gathering, int) { return 0; }
int SendTableToSystem(int, std::uint16_t, const web::WebMsg&, const std::uint8_t*, int, int, int) { return 0; }
int RestartSystem(int, std::uint16_t, const web::WebMsg&, sxm::Packet&, int) { return 0; }

}  // namespace systemlink
