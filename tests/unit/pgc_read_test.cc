#include <gtest/gtest.h>

#include "pgc/read.h"
#include "pgc_test_support.h"
#include "requests/request.h"

namespace pgctest {
namespace {

// The offline test database describes system 3, country 2, version 7.
class PgcRead : public PgcSlotTest {
 protected:
  void SetUp() override {
    PgcSlotTest::SetUp();
    PgcExec("INSERT INTO dbinfo (db_version, country_id, system_id) VALUES (7, 2, 3)");
    InfoExec("DELETE FROM Tablestrt; DELETE FROM TableVersion");
    for (auto [pgcNo, length] : {std::pair{100, 4}, {201, 4}, {702, 3}, {710, 4}, {724, 10}}) {
      Strt(pgcNo, length, "0010", "001", "0000100010");
    }
  }
  static void Strt(int pgcNo, int length, const char* systemMask, const char* countryMask, const char* range) {
    InfoExec("INSERT INTO Tablestrt (pgcno, row_length, system_mask, country_mask, version_range) VALUES (" +
             std::to_string(pgcNo) + ", " + std::to_string(length) + ", '" + systemMask + "', '" + countryMask +
             "', '" + range + "')");
  }
  static void Version(int version, int low, int high) {
    InfoExec("INSERT INTO TableVersion (db_version, key_low, key_high) VALUES (" + std::to_string(version) + ", " +
             std::to_string(low) + ", " + std::to_string(high) + ")");
  }

  struct Read {
    int rc = 0;
    Bytes bytes;  // the first byteCount bytes
    int rowLength = 0;
    std::size_t bufferSize = 0;
  };
  static Read ReadAs(std::uint8_t type, std::uint16_t messageId, std::uint8_t keyLength = 0, const Bytes& keys = {}) {
    Read out;
    std::vector<std::uint8_t> buffer;
    int byteCount = -1;
    web::WebMsg request = Packet(type, messageId, kOnlyPacket, keyLength, keys);
    out.rc = pgc::ReadPGCData(request, messageId, buffer, out.rowLength, byteCount, kSlot);
    out.bufferSize = buffer.size();
    EXPECT_GE(byteCount, 0);
    EXPECT_LE(static_cast<std::size_t>(byteCount), buffer.size());
    out.bytes.assign(buffer.begin(), buffer.begin() + std::max(byteCount, 0));
    return out;
  }
};

TEST_F(PgcRead, WholeTableComesBackAsRowsOfItsRowLength) {
  InsertRow("PGC201", {1, 2, 3, 4});
  InsertRow("PGC201", {255, 0, 7, 8});
  PgcExec("INSERT INTO PGC201 (d1, d2) VALUES (9, 9)");  // d3, d4 NULL
  Read read = ReadAs(web::REQ_TABLE_DOWNLOAD, 0x2010);
  EXPECT_EQ(read.rc, 1);
  EXPECT_EQ(read.rowLength, 4);
  EXPECT_EQ(read.bytes, (Bytes{1, 2, 3, 4, 255, 0, 7, 8, 9, 9, 0, 0}));
  EXPECT_EQ(read.bufferSize, 3u * 5u);

  PgcExec("DELETE FROM PGC201");  // an empty table hands over one zero byte
  read = ReadAs(web::REQ_TABLE_UPLOAD, 0x2010);
  EXPECT_EQ(read.rc, 1);
  EXPECT_TRUE(read.bytes.empty());
  EXPECT_EQ(read.bufferSize, 1u);
}

TEST_F(PgcRead, WholeTablesAreOrderedByTheirOrderColumns) {
  InsertRow("PGC702", {2, 1, 0});
  InsertRow("PGC702", {1, 9, 0});
  InsertRow("PGC702", {1, 3, 0});
  EXPECT_EQ(ReadAs(web::REQ_TABLE_DOWNLOAD, 0x7020).bytes, (Bytes{1, 3, 0, 1, 9, 0, 2, 1, 0}));
  InsertRow("PGC710", {1, 0, 5, 2});
  InsertRow("PGC710", {2, 0, 4, 9});
  InsertRow("PGC710", {3, 0, 5, 1});
  EXPECT_EQ(ReadAs(web::REQ_TABLE_DOWNLOAD, 0x7100).bytes, (Bytes{2, 0, 4, 9, 3, 0, 5, 1, 1, 0, 5, 2}));
}

TEST_F(PgcRead, KeyRowsOfARequestAreReadInRequestOrder) {
  InsertRow("PGC100", {1, 2, 20, 21});
  InsertRow("PGC100", {1, 1, 10, 11});
  InsertRow("PGC100", {3, 3, 30, 31});
  Read read = ReadAs(web::REQ_PGC, 0x1000, 2, {1, 1, 1, 2});
  EXPECT_EQ(read.rc, 1);
  EXPECT_EQ(read.bytes, (Bytes{1, 1, 10, 11, 1, 2, 20, 21}));

  // A special-key PGC reads by its read condition: 724 by d1 and d2.
  InsertRow("PGC724", {4, 5, 1, 0, 0, 0, 0, 0, 0, 0});
  InsertRow("PGC724", {4, 6, 2, 0, 0, 0, 0, 0, 0, 0});
  InsertRow("PGC724", {4, 5, 3, 0, 0, 0, 0, 0, 0, 0});
  read = ReadAs(web::REQ_PGC, 0x7240, 2, {4, 5});
  EXPECT_EQ(read.rc, 1);
  EXPECT_EQ(read.bytes, (Bytes{4, 5, 1, 0, 0, 0, 0, 0, 0, 0, 4, 5, 3, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(PgcRead, KeyRequestsWithoutKeysOrOutsideTheKeyTableReadTheWholeTable) {
  InsertRow("PGC100", {1, 2, 20, 21});
  InsertRow("PGC201", {5, 6, 7, 8});
  EXPECT_EQ(ReadAs(web::REQ_PGC, 0x1000).bytes, (Bytes{1, 2, 20, 21}));
  EXPECT_EQ(ReadAs(web::REQ_PGC, 0x2010, 2, {9, 9}).bytes, (Bytes{5, 6, 7, 8}));
  EXPECT_EQ(ReadAs(web::REQ_PGC, 0x1000, 0, {1, 2}).rc, 166);
}

// Duplicate keys in a request must not write past the counted rows.
TEST_F(PgcRead, KeyRowsReadingMoreThanTheTableHoldsAreRefused) {
  InsertRow("PGC100", {1, 1, 10, 11});
  InsertRow("PGC100", {1, 2, 20, 21});
  EXPECT_EQ(ReadAs(web::REQ_PGC, 0x1000, 2, {1, 1, 1, 1, 1, 1}).rc, 253);
}

TEST_F(PgcRead, RowLengthIsTheFirstRowWhoseMasksAndVersionRangeAccept) {
  InfoExec("DELETE FROM Tablestrt");
  Strt(300, 3, "1100", "111", "0000099999");  // systems 1 and 2
  Strt(300, 5, "0010", "001", "0000100005");  // system 3, country 2, versions 1-5
  Strt(300, 6, "0010", "110", "0000100010");  // countries 0 and 1
  Strt(300, 7, "0010", "001", "0000600010");
  int length = 0;
  EXPECT_EQ(pgc::GetPGCRowLength(length, "300", "3", "2", "7", kSlot), 1);
  EXPECT_EQ(length, 7);
  EXPECT_EQ(pgc::GetPGCRowLength(length, "300", "3", "2", "4", kSlot), 1);
  EXPECT_EQ(length, 5);
  EXPECT_EQ(pgc::GetPGCRowLength(length, "300", "2", "0", "7", kSlot), 1);
  EXPECT_EQ(length, 3);
  EXPECT_EQ(pgc::GetPGCRowLength(length, "300", "3", "2", "11", kSlot), 211);
  EXPECT_EQ(pgc::GetPGCRowLength(length, "300", "9", "2", "7", kSlot), 211);  // past the mask
  EXPECT_EQ(pgc::GetPGCRowLength(length, "301", "3", "2", "7", kSlot), 211);
  EXPECT_EQ(pgc::GetPGCRowLength(length, "300 or 1=1", "3", "2", "7", kSlot), 211);
}

TEST_F(PgcRead, CurrentVersionByKeyRangeAndPastTheLastRange) {
  std::string version;
  EXPECT_EQ(pgc::GetCurrentVersion(version, "1", "5", kSlot), 129);
  Version(3, 100, 199);
  Version(4, 200, 299);
  EXPECT_EQ(pgc::GetCurrentVersion(version, "1", "5", kSlot), 1);  // key 105
  EXPECT_EQ(version, "3");
  EXPECT_EQ(pgc::GetCurrentVersion(version, "2", "10", kSlot), 1);
  EXPECT_EQ(version, "4");
  EXPECT_EQ(pgc::GetCurrentVersion(version, "3", "05", kSlot), 1);  // key 305: newer than every row
  EXPECT_EQ(version, "5");
}

TEST_F(PgcRead, OnlineSlotTakesItsSystemFromPGC20000AndTableVersion) {
  UseState(state::kOnline);
  PgcExec("INSERT INTO PGC20000 (d1, d4, d10, d11) VALUES ('3', '2', '1', '5')");
  Version(7, 100, 199);
  InsertRow("PGC201", {1, 2, 3, 4});
  Read read = ReadAs(web::REQ_TABLE_DOWNLOAD, 0x2010);
  EXPECT_EQ(read.rc, 1);
  EXPECT_EQ(read.bytes, (Bytes{1, 2, 3, 4}));

  InfoExec("DELETE FROM TableVersion");
  Version(12, 100, 199);  // version 12 lies outside every Tablestrt range
  EXPECT_EQ(ReadAs(web::REQ_TABLE_DOWNLOAD, 0x2010).rc, 211);
}

TEST_F(PgcRead, ValueOfOneColumn) {
  Bytes row(60, 0);
  row[52] = 15;
  InsertRow("PGC501", row);
  int value = 0;
  EXPECT_EQ(pgc::GetPGCValue(value, "", 52, "PGC501", kSlot), 1);
  EXPECT_EQ(value, 15);
  PgcExec("DELETE FROM PGC501");
  EXPECT_EQ(pgc::GetPGCValue(value, "", 52, "PGC501", kSlot), -2);
}

}  // namespace
}  // namespace pgctest
