// The web disconnect time-out that the link check's answer carries. The
// simulated system always answers with a whole identity row, so the short
// answers are driven here.
#include <gtest/gtest.h>

#include <vector>

#include "frame/log.h"
#include "frame/result_codes.h"
#include "frame/slots.h"
#include "requests/link_requests.h"
#include "web/sxm_format.h"

namespace {

constexpr int kSlot = 6;
constexpr int kUntouched = 123456;

sxm::Packet Answer(std::size_t bodyLength, std::uint8_t byte8) {
  sxm::Packet packet{};
  std::vector<std::uint8_t> body(bodyLength + 1, 0x55);
  if (bodyLength > 8) body[8] = byte8;
  std::size_t length = 0;
  sxm::Fields fields{.result = sxm::kResultAck};
  sxm::BuildPacket(fields, body.data(), bodyLength, packet, length);
  // A stale byte where a short body ends must not be taken for the time-out.
  packet[sxm::kBody + 8] = bodyLength > 8 ? byte8 : 4;
  return packet;
}

class LinkTimeoutAnswer : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogDirectory("/tmp/");
    SetInfoLevel(0);
    ClearAllFlags();
    SlotAt(kSlot).webDisconnectTimeoutMs = kUntouched;
  }
  void TearDown() override {
    ClearAllFlags();
    SetInfoLevel(9);
  }
  static int Timeout() { return SlotAt(kSlot).webDisconnectTimeoutMs.load(); }
};

TEST_F(LinkTimeoutAnswer, NinthBodyByteGivesMinutesOf55SecondsAndShortOrBadAnswersLeaveIt) {
  for (auto [body, minutes] : {std::pair<std::size_t, int>{9, 10}, {240, 255}, {14, 0}}) {
    EXPECT_EQ(requests::ReadLinkTimeout(Answer(body, static_cast<std::uint8_t>(minutes)), kSlot), RESULT_OK);
    EXPECT_EQ(Timeout(), minutes * 55000) << body;
  }
  SlotAt(kSlot).webDisconnectTimeoutMs = kUntouched;
  std::vector<sxm::Packet> bad = {Answer(0, 10), Answer(7, 10), Answer(8, 10), Answer(9, 10), Answer(9, 10)};
  sxm::Put16(bad[3].data() + sxm::kLength, 9);       // the length field below the header
  sxm::Put16(bad[4].data() + sxm::kLength, 0xFFFF);  // and beyond the packet
  for (std::size_t i = 0; i < bad.size(); ++i) {
    EXPECT_NE(requests::ReadLinkTimeout(bad[i], kSlot), RESULT_OK) << i;
    EXPECT_EQ(Timeout(), kUntouched) << i;
  }
}

}  // namespace
