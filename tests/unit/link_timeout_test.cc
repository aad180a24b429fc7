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
  sxm::Fields fields;
  fields.result = sxm::kResultAck;
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

TEST_F(LinkTimeoutAnswer, NinthBodyByteGivesMinutesOf55Seconds) {
  EXPECT_EQ(requests::ReadLinkTimeout(Answer(9, 10), kSlot), RESULT_OK);
  EXPECT_EQ(Timeout(), 550000);
  EXPECT_EQ(requests::ReadLinkTimeout(Answer(240, 255), kSlot), RESULT_OK);
  EXPECT_EQ(Timeout(), 255 * 55000);
  EXPECT_EQ(requests::ReadLinkTimeout(Answer(14, 0), kSlot), RESULT_OK);
  EXPECT_EQ(Timeout(), 0);
}

TEST_F(LinkTimeoutAnswer, BodyWithoutANinthByteLeavesTheTimeOut) {
  for (std::size_t body : {0u, 7u, 8u}) {
    EXPECT_NE(requests::ReadLinkTimeout(Answer(body, 10), kSlot), RESULT_OK) << body;
    EXPECT_EQ(Timeout(), kUntouched) << body;
  }
}

TEST_F(LinkTimeoutAnswer, LengthFieldOutsideThePacketLeavesTheTimeOut) {
  sxm::Packet below = Answer(9, 10);
  sxm::Put16(below.data() + sxm::kLength, 9);
  EXPECT_NE(requests::ReadLinkTimeout(below, kSlot), RESULT_OK);
  sxm::Packet above = Answer(9, 10);
  sxm::Put16(above.data() + sxm::kLength, 0xFFFF);
  EXPECT_NE(requests::ReadLinkTimeout(above, kSlot), RESULT_OK);
  EXPECT_EQ(Timeout(), kUntouched);
}

}  // namespace
