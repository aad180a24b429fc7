#include "web/sxm_format.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using sxm::Packet;


// The layout itself is checked against the simulated system's own code by
// every link test; here, what interworking does not show.
TEST(SxmPacket, BuildZeroesTheTailAndMarksTheFinalPacket) {
  sxm::Fields f{.final = false, .sequence = 0x123};
  const std::uint8_t body[] = {0xAA, 0xBB, 0xCC};
  Packet p;
  p.fill(0x55);
  std::size_t length = 0;
  ASSERT_EQ(sxm::BuildPacket(f, body, sizeof body, p, length), 1);
  EXPECT_EQ(length, 13u);
  EXPECT_EQ(p[13], 0) << "stale bytes past the body must not travel in a later, longer use of the buffer";
  EXPECT_EQ(p[249], 0);
  EXPECT_EQ(p[sxm::kFinalSeq], 0x01);
  f.final = true;
  ASSERT_EQ(sxm::BuildPacket(f, body, sizeof body, p, length), 1);
  EXPECT_EQ(p[sxm::kFinalSeq], 0xF1);
  EXPECT_EQ(p[sxm::kFinalSeq + 1], 0x23);
}

TEST(SxmPacket, BuildRefusesSequencesOutside1To4095AndBodiesOver240) {
  sxm::Fields f;
  std::vector<std::uint8_t> body(241, 1);
  Packet p{};
  std::size_t length = 7;
  f.sequence = 0;
  EXPECT_EQ(sxm::BuildPacket(f, nullptr, 0, p, length), 0);
  f.sequence = 4096;
  EXPECT_EQ(sxm::BuildPacket(f, nullptr, 0, p, length), 0);
  f.sequence = 1;
  EXPECT_EQ(sxm::BuildPacket(f, body.data(), 241, p, length), 0);
  EXPECT_EQ(length, 7u) << "a refused build leaves the length alone";

  f.sequence = 4095;
  ASSERT_EQ(sxm::BuildPacket(f, body.data(), 240, p, length), 1);
  EXPECT_EQ(length, 250u);
  EXPECT_EQ(sxm::SequenceOf(p.data()), 4095);
  EXPECT_TRUE(sxm::IsFinalPacket(p.data()));
}

TEST(SxmPacket, HeaderCheckTakesLengths10To250AndRefusesTypeLengthAndShortHeaders) {
  Packet p{};
  std::size_t length = 0;
  sxm::BuildPacket({}, nullptr, 0, p, length);
  std::size_t body = 99;
  EXPECT_EQ(sxm::CheckHeader(p.data(), 10, body), sxm::kHeaderOk);
  EXPECT_EQ(body, 0u);
  EXPECT_EQ(sxm::CheckHeader(p.data(), 9, body), sxm::kHeaderIncomplete);

  sxm::Put16(&p[sxm::kLength], 250);
  EXPECT_EQ(sxm::CheckHeader(p.data(), 10, body), sxm::kHeaderOk);
  EXPECT_EQ(body, 240u);
  for (std::uint16_t bad : {251, 9, 0}) {
    sxm::Put16(&p[sxm::kLength], bad);
    EXPECT_EQ(sxm::CheckHeader(p.data(), 10, body), sxm::kHeaderBadLength) << bad;
  }

  sxm::Put16(&p[sxm::kLength], 10);
  p[sxm::kType] = 0x14;
  EXPECT_EQ(sxm::CheckHeader(p.data(), 10, body), sxm::kHeaderWrongType);
}

TEST(SxmPacket, ClassificationOfFFFFZeroIdFirstFinalAndTenthPackets) {
  Packet p{};
  EXPECT_EQ(sxm::BuildFFFFPacket(sxm::kModeRead, p), 10u);
  EXPECT_TRUE(sxm::IsFFFFPacket(p.data()));
  EXPECT_TRUE(sxm::IsTcpFFFFPacket(p.data()));
  p[sxm::kType] = 0x12;
  EXPECT_TRUE(sxm::IsFFFFPacket(p.data()));
  EXPECT_FALSE(sxm::IsTcpFFFFPacket(p.data())) << "over TCP an FF FF header of another type is checked";
  p[sxm::kMessageId + 1] = 0xFE;
  EXPECT_FALSE(sxm::IsFFFFPacket(p.data()));

  std::size_t length = 0;
  sxm::Fields f{.messageId = 0x0000, .final = false, .sequence = 1};
  sxm::BuildPacket(f, nullptr, 0, p, length);
  EXPECT_TRUE(sxm::IsZeroIdPacket(p.data()) && sxm::IsFirstPacket(p.data()));
  EXPECT_FALSE(sxm::IsFinalPacket(p.data()) || sxm::IsTenthPacket(p.data()));

  f.messageId = 0x0100;  // one zero byte is not a zero ID
  for (std::uint16_t seq : {10, 20, 4090}) {
    f.sequence = seq;
    sxm::BuildPacket(f, nullptr, 0, p, length);
    EXPECT_TRUE(sxm::IsTenthPacket(p.data()) && !sxm::IsFirstPacket(p.data())) << seq;
  }
  EXPECT_FALSE(sxm::IsZeroIdPacket(p.data()));
  f.sequence = 11;
  f.final = true;
  sxm::BuildPacket(f, nullptr, 0, p, length);
  EXPECT_TRUE(!sxm::IsTenthPacket(p.data()) && sxm::IsFinalPacket(p.data()));
  p[sxm::kFinalSeq] = 0x70;  // only all four bits mark the final packet
  EXPECT_FALSE(sxm::IsFinalPacket(p.data()));
}

// A link check answer shares the reject's ID and numbering: only the whole
// header tells them apart.
TEST(SxmPacket, OnlyTheWholeRejectHeaderIsAReject) {
  const auto& reject = sxm::RejectPacket();
  EXPECT_TRUE(sxm::IsRejectPacket(reject.data()));
  for (auto [at, value] : {std::pair{sxm::kResult, sxm::kResultAck}, {sxm::kLength + 1, std::uint8_t{24}}}) {
    auto other = reject;
    other[at] = value;
    EXPECT_FALSE(sxm::IsRejectPacket(other.data())) << at;
  }
}

TEST(SxmReceiveState, SequenceMustContinueAndMessageIdStayTheFirstPackets) {
  Packet p{};
  std::size_t length = 0;
  sxm::Fields f{.messageId = 0x7240, .final = false};

  sxm::ReceiveState fresh;
  f.sequence = 2;
  sxm::BuildPacket(f, nullptr, 0, p, length);
  EXPECT_EQ(sxm::AcceptSequence(fresh, p.data()), sxm::kSequenceGap) << "a message starts at 1";
  EXPECT_EQ(fresh.expectedSequence, 0);

  sxm::ReceiveState state;
  for (std::uint16_t seq = 1; seq <= 3; ++seq) {
    f.sequence = seq;
    sxm::BuildPacket(f, nullptr, 0, p, length);
    ASSERT_EQ(sxm::AcceptSequence(state, p.data()), sxm::kSequenceOk) << seq;
  }
  EXPECT_EQ(state.expectedSequence, 3);
  EXPECT_EQ(state.messageId, 0x7240);

  f.sequence = 5;
  sxm::BuildPacket(f, nullptr, 0, p, length);
  EXPECT_EQ(sxm::AcceptSequence(state, p.data()), sxm::kSequenceGap);
  EXPECT_EQ(state.expectedSequence, 3);

  f.sequence = 4;
  f.messageId = 0x7241;
  sxm::BuildPacket(f, nullptr, 0, p, length);
  EXPECT_EQ(sxm::AcceptSequence(state, p.data()), sxm::kMessageIdChanged);
  EXPECT_EQ(state.messageId, 0x7240) << "only a first packet sets the message ID";
}

}  // namespace
