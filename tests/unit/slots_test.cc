#include <gtest/gtest.h>

#include "frame/log.h"
#include "frame/slots.h"

namespace {

class SlotTable : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogDirectory("/tmp/");
    SetInfoLevel(0);
    ClearAllFlags();
  }
  void TearDown() override {
    ClearAllFlags();
    SetInfoLevel(9);
  }
};

TEST_F(SlotTable, FreeSlotIsTheLowestUnused) {
  for (int taken : {0, 1, 3}) SetSlotInUse(1, taken);
  EXPECT_EQ(FindFreeSlot(), 2);
  for (int i = 0; i < kSlotCount; ++i) SetSlotInUse(1, i);
  EXPECT_EQ(FindFreeSlot(), -1);
}

TEST_F(SlotTable, SlotStillNamedOrOwnedIsNotFree) {
  // A slot whose giving-up is under way (index still set, or owned by a
  // thread) must not be handed to another user.
  SetSlotIndex("alice", 0);
  SlotAt(1).webMessageFlag = 1;
  EXPECT_EQ(FindFreeSlot(), 2);
}

TEST_F(SlotTable, UserLookupComparesWholeIds) {
  SetSlotIndex("administrator", 4);
  EXPECT_EQ(FindSlotByUser("administrator"), 4);
  for (const char* other : {"adm", "administrator2", ""}) EXPECT_EQ(FindSlotByUser(other), -1) << other;
  SetSlotIndex("", 4);
  EXPECT_EQ(FindSlotByUser("administrator"), -1);
  EXPECT_TRUE(SlotAt(4).indexEntry.empty());
}

TEST_F(SlotTable, ResetToIdleLeavesAnIdleSlotAlone) {
  SetSlotInUse(1, 5);
  SetSlotIndex("bob", 5);
  EXPECT_EQ(ResetSlotToIdle(5), 1);
  EXPECT_EQ(SlotAt(5).inUse, 1);
  EXPECT_EQ(FindSlotByUser("bob"), 5);

  SetState(5, state::kOffline);
  EXPECT_EQ(ResetSlotToIdle(5), 1);
  EXPECT_EQ(SlotState(5), state::kIdle);
  EXPECT_EQ(SlotAt(5).inUse, 0);
  EXPECT_EQ(FindSlotByUser("bob"), -1);
}

}  // namespace
