#include <gtest/gtest.h>

#include <set>
#include <string>

#include "pgc/catalogue.h"
#include "setup/dataset.h"

namespace {

constexpr int kSlot = 3;

std::string KeyCondition(const std::string& pgcNo, std::vector<std::uint8_t> row, int* rc = nullptr) {
  std::string condition;
  int result = pgc::BuildKeyCondition(pgcNo, row.data(), row.size(), condition, kSlot);
  if (rc != nullptr) *rc = result;
  return result == 1 ? condition : "<" + std::to_string(result) + ">";
}

TEST(PgcCatalogue, PGCNumbersOfThreeOrFourCharactersReadAsHexCodes) {
  std::uint16_t code = 0;
  EXPECT_EQ(pgc::ParsePGCNumber("724", code, kSlot), 1);
  EXPECT_EQ(code, 0x7240);
  EXPECT_EQ(pgc::ParsePGCNumber("8451", code, kSlot), 1);
  EXPECT_EQ(code, 0x8451);
  EXPECT_EQ(pgc::ParsePGCNumber("105", code, kSlot), 1);
  EXPECT_EQ(code, 0x1050);
  EXPECT_EQ(pgc::ParsePGCNumber("20000", code, kSlot), 133);
  EXPECT_EQ(pgc::ParsePGCNumber("72", code, kSlot), 133);
  EXPECT_EQ(pgc::IsSpecialKeyPGC("72", kSlot), 133);
}

TEST(PgcCatalogue, MessageIdsFindTheirPGCIncludingTheTwoOf217AndTheNonTableKeys) {
  std::string pgcNo;
  EXPECT_EQ(pgc::FindPGCByMessageID(0x2170, pgcNo, kSlot), 1);
  EXPECT_EQ(pgcNo, "217");
  pgcNo.clear();
  EXPECT_EQ(pgc::FindPGCByMessageID(0x2171, pgcNo, kSlot), 1);
  EXPECT_EQ(pgcNo, "217");
  EXPECT_EQ(pgc::FindPGCByMessageID(0x0000, pgcNo, kSlot), 1);
  EXPECT_EQ(pgcNo, "20000");
  EXPECT_EQ(pgc::FindPGCByMessageID(0x0001, pgcNo, kSlot), 1);
  EXPECT_EQ(pgcNo, "tmID_LINK_DISC");
  EXPECT_EQ(pgc::FindPGCByMessageID(0x8451, pgcNo, kSlot), 1);
  EXPECT_EQ(pgcNo, "8451");
  EXPECT_EQ(pgc::FindPGCByMessageID(0x1060, pgcNo, kSlot), 167);
}

// Every table number's code is its own message ID, so a store by message ID
// and a read by PGC number meet in the same table.
TEST(PgcCatalogue, MessageTableNumbersAreDistinctTablesWhoseCodeIsTheirMessageId) {
  const auto& numbers = pgc::MessageTablePGCNumbers();
  EXPECT_EQ(std::set<std::string>(numbers.begin(), numbers.end()).size(), numbers.size());
  for (const std::string& number : numbers) {
    std::uint16_t code = 0;
    ASSERT_EQ(pgc::ParsePGCNumber(number, code, kSlot), 1) << number;
    std::string found;
    ASSERT_EQ(pgc::FindPGCByMessageID(code, found, kSlot), 1) << number;
    EXPECT_EQ(found, number);
  }
  for (std::size_t i = 0; i < pgc::kKeyTableRecords; ++i) {
    std::string_view record = pgc::PGCKeyTable()[i];
    EXPECT_LT(record.size(), pgc::kRecordSize);
  }
}

TEST(PgcCatalogue, KeyConditionsFollowKeyTablesThenSpecialFormats) {
  // 710 stands in both tables (and is special); the second table wins.
  EXPECT_EQ(KeyCondition("710", {1, 2, 3, 4, 5, 6, 7, 8, 9}), "d1 = 1 and d3 = 3 and d4 = 4 ");
  EXPECT_EQ(KeyCondition("724", {5, 6, 7, 8, 9, 10, 11, 12, 13}), "d1 = 5 and d2 = 6 and d4 = 8 ");
  EXPECT_EQ(KeyCondition("845", {1, 2, 3, 4, 5, 6, 7, 8, 99}), "d9 = 99 ");
  EXPECT_EQ(KeyCondition("100", {200, 7, 1}), "d1 = 200 and d2 = 7 ");
  EXPECT_EQ(pgc::IsKeyTablePGC("10"), 0) << "whole numbers only, no prefix match";
  // A key column past the row reads as 0, never past the given bytes.
  EXPECT_EQ(KeyCondition("730", {1, 2}), "d1 = 1 and d2 = 2 and d13 = 0 ");
}

TEST(PgcCatalogue, KeyConditionFailures) {
  int rc = 0;
  KeyCondition("199", {1, 2}, &rc);
  EXPECT_EQ(rc, 175);
  KeyCondition("20000", {1, 2}, &rc);
  EXPECT_EQ(rc, 133);
  std::string condition = "untouched";
  std::uint8_t row[4] = {1, 2, 3, 4};
  EXPECT_EQ(pgc::BuildSpecialKeyCondition(row, 4, "99999", condition, kSlot), 133);
  // A code without a special format must not give an empty condition, which
  // would select or delete every row.
  EXPECT_EQ(pgc::BuildSpecialKeyCondition(row, 4, "100", condition, kSlot), 175);
}

// How the read conditions and orders work on rows: PgcRead.
TEST(PgcCatalogue, EverySpecialKeyCodeHasAReadConditionOfItsOwn) {
  std::string condition;
  for (std::size_t i = 0; i < pgc::kSpecialKeyCodes; ++i) {
    pgc::BuildReadCondition(pgc::SpecialKeyCodes()[i], 1, 2, condition);
    EXPECT_NE(condition, " and ") << std::hex << pgc::SpecialKeyCodes()[i];
  }
}

// The template database gets its tables from the data set: it must describe
// a table for every PGC the message table can deliver, and no other.
TEST(PgcCatalogue, DatasetDescribesExactlyTheTablesOfTheMessageTable) {
  const setup::Dataset& dataset = setup::DefaultDataset();
  std::set<std::string> fromCatalogue(pgc::MessageTablePGCNumbers().begin(), pgc::MessageTablePGCNumbers().end());
  std::set<std::string> fromDataset;
  for (const setup::PgcEntry& entry : dataset.pgcs) fromDataset.insert(entry.number);
  fromDataset.erase("20000");
  EXPECT_EQ(fromDataset, fromCatalogue);
}

}  // namespace
