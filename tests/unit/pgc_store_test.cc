#include <gtest/gtest.h>

#include <algorithm>

#include "pgc/store.h"
#include "pgc_test_support.h"
#include "requests/request.h"

namespace pgctest {
namespace {

class PgcStore : public PgcSlotTest {
 protected:
  // One packet of the web's for message `id`, through the gathering of buffer_ and counter_.
  int Store(std::uint8_t type, std::uint16_t id, int rowLength, const Bytes& data,
            std::uint16_t finalSeq = kOnlyPacket) {
    return pgc::StoreWebData(Packet(type, id, finalSeq, static_cast<std::uint8_t>(rowLength), data), buffer_,
                             counter_, id, kSlot);
  }
  WorkingBuffer buffer_;
  int counter_ = 0;
};

Bytes Sequence(int count, int first = 1) {
  Bytes out;
  for (int i = 0; i < count; ++i) out.push_back(static_cast<std::uint8_t>(first + i));
  return out;
}

// A PGC outside the key tables is replaced whole; one of the key table is
// merged row by row; PGC 724 merges by its own key columns d1, d2 and d4,
// not by its table's d9.
TEST_F(PgcStore, TablesAreReplacedOrMergedByTheirKeys) {
  struct Case {
    const char* table;
    std::uint8_t type;
    std::uint16_t id;
    int width;
    std::vector<Bytes> before;
    Bytes data;
    const char* order;
    std::vector<Bytes> after;
  } cases[] = {
      {"PGC201", web::REQ_TABLE_DOWNLOAD, 0x2010, 4, {{9, 9, 9, 9}}, {1, 2, 3, 4, 5, 6, 7, 200}, "rowid",
       {{1, 2, 3, 4}, {5, 6, 7, 200}}},
      {"PGC100", web::REQ_PGC, 0x1000, 4, {{1, 1, 10, 10}, {1, 2, 20, 20}}, {1, 2, 99, 98, 3, 3, 30, 31}, "d1, d2",
       {{1, 1, 10, 10}, {1, 2, 99, 98}, {3, 3, 30, 31}}},
      {"PGC724", web::REQ_PGC, 0x7240, 10, {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, {1, 2, 3, 5, 5, 6, 7, 8, 9, 10}},
       {1, 2, 77, 4, 0, 0, 0, 0, 9, 0}, "d4", {{1, 2, 77, 4, 0, 0, 0, 0, 9, 0}, {1, 2, 3, 5, 5, 6, 7, 8, 9, 10}}},
  };
  for (const Case& c : cases) {
    for (const Bytes& row : c.before) InsertRow(c.table, row);
    EXPECT_EQ(Store(c.type, c.id, c.width, c.data), 1);
    EXPECT_EQ(TableRows(c.table, c.width, c.order), c.after) << c.table;
  }
}

TEST_F(PgcStore, PacketsAreGatheredUntilTheFinalOneAndStoredByteForByte) {
  // Three packets of 60 rows of 4 bytes.
  counter_ = 12345;  // left over from another table: the first packet starts over
  std::vector<Bytes> expected;
  for (int p = 0; p < 3; ++p) {
    Bytes data;
    for (int r = 0; r < 60; ++r) {
      Bytes row = {static_cast<std::uint8_t>(p), static_cast<std::uint8_t>(r), static_cast<std::uint8_t>(255 - r),
                   static_cast<std::uint8_t>(r * 3)};
      data.insert(data.end(), row.begin(), row.end());
      expected.push_back(row);
    }
    std::uint16_t seq = static_cast<std::uint16_t>((p == 2 ? 0xF000 : 0) | (p + 1));
    EXPECT_EQ(Store(web::REQ_TABLE_UPLOAD, 0x2010, 4, data, seq), 1);
    if (p < 2) {
      EXPECT_TRUE(TableRows("PGC201", 4).empty()) << "stored before the final packet";
    }
  }
  EXPECT_EQ(counter_, 720);
  EXPECT_EQ(TableRows("PGC201", 4), expected);
}

TEST_F(PgcStore, RefusedDataStoresNothingAndGatheringStartsClean) {
  InsertRow("PGC201", {9, 9, 9, 9});
  // 26 bytes of 5-byte rows; 25 bytes of 0-byte rows; rows above 240 bytes.
  EXPECT_EQ(Store(web::REQ_PGC, 0x2010, 5, Sequence(26)), 169);
  EXPECT_EQ(counter_, 0);
  EXPECT_EQ(Store(web::REQ_PGC, 0x2010, 0, Sequence(25)), 166);
  EXPECT_EQ(Store(web::REQ_PGC, 0x2010, 241, Sequence(241)), 166);
  EXPECT_EQ(TableRows("PGC201", 4), (std::vector<Bytes>{{9, 9, 9, 9}}));

  // Packets past the working buffer: refused at the packet that would not fit.
  const int full = static_cast<int>(WorkingBuffer::size()) / 240;
  int rc = 1;
  int packet = 0;
  for (; packet <= full && rc == 1; ++packet) {
    rc = Store(web::REQ_PGC, 0x2010, 4, Bytes(240, 1), static_cast<std::uint16_t>((packet + 1) & 0x0FFF));
  }
  EXPECT_EQ(rc, GATHER_OVERFLOW);
  EXPECT_EQ(packet, full + 1);
  EXPECT_EQ(counter_, 0);
  EXPECT_EQ(TableRows("PGC201", 4), (std::vector<Bytes>{{9, 9, 9, 9}}));

  // The next table is stored from its own data alone.
  EXPECT_EQ(Store(web::REQ_PGC, 0x2010, 4, Sequence(8)), 1);
  EXPECT_EQ(TableRows("PGC201", 4), (std::vector<Bytes>{{1, 2, 3, 4}, {5, 6, 7, 8}}));
}

TEST_F(PgcStore, PacketWithoutDataStoresNothing) {
  InsertRow("PGC201", {9, 9, 9, 9});
  EXPECT_EQ(Store(web::REQ_PGC, 0x2010, 4, {}), 1);
  EXPECT_EQ(TableRows("PGC201", 4).size(), 1u);
}

TEST_F(PgcStore, WideRowsAreUpdatedInStatementsOfAtMostOneHundredColumns) {
  for (auto [table, width] : {std::pair{"101", 150}, std::pair{"102", 210}}) {
    Bytes old(static_cast<std::size_t>(width), 0);
    old[0] = 1;
    old[1] = 2;
    InsertRow(std::string("PGC") + table, old);
    Bytes row = Sequence(width);
    row[0] = 1;
    row[1] = 2;
    auto statements = pgc::BuildUpdatePGCSql(table, row.data(), width, "d1 = 1 and d2 = 2 ");
    ASSERT_EQ(statements.size(), width > 200 ? 3u : 2u);
    EXPECT_EQ(statements[1].find(width > 200 ? "set d100=100,d101=101" : "set d100=100,"), 14u) << statements[1];
    EXPECT_NE(statements[0].find("d100=100 where d1 = 1 and d2 = 2  "), std::string::npos);
    EXPECT_EQ(pgc::UpdatePGC(table, row.data(), width, kSlot), 1);
    EXPECT_EQ(TableRows(std::string("PGC") + table, width), (std::vector<Bytes>{row}));
  }
  Bytes tooWide(256, 1);
  EXPECT_EQ(pgc::UpdatePGC("101", tooWide.data(), 256, kSlot), 217);
}

TEST_F(PgcStore, WritesOutsideAStoringStateFail) {
  UseState(state::kUpload);
  Bytes row = {1, 2, 3, 4};
  EXPECT_EQ(pgc::InsertPGCRow("100", row.data(), 4, kSlot), 218);
  EXPECT_EQ(pgc::UpdatePGC("100", row.data(), 4, kSlot), 217);
  EXPECT_EQ(pgc::ReplacePGCRows(row.data(), 4, 4, 0x2010, "", kSlot), 165);
}

TEST_F(PgcStore, MultiDatabasePGCFillsItsSlaveFromTableLineAndPGC724) {
  InfoExec("DELETE FROM TableLine WHERE pgc_no LIKE '723%'");
  InfoExec("INSERT INTO TableLine (pgc_no, line_count, value1, value2) VALUES ('72305', '2', '30', '31')");
  InsertRow("PGC724", {7, 8, 30, 0, 0, 0, 0, 0, 0, 0});
  InsertRow("PGC724", {9, 10, 31, 0, 0, 0, 0, 0, 0, 0});
  InsertRow("PGC724", {11, 12, 32, 0, 0, 0, 0, 0, 0, 0});  // not named by TableLine
  InsertRow("PGC723", {5, 0, 0, 1});                       // key 5: replaced
  InsertRow("PGC723", {6, 0, 0, 1});                       // key 6: kept
  InsertRow("PGC722", {7, 8, 0, 1});                       // pair (7, 8): replaced
  InsertRow("PGC722", {11, 12, 0, 1});                     // other pair: kept

  Bytes data = {5, 1, 2, 3, 5, 4, 5, 6};
  EXPECT_EQ(pgc::StoreMultiDatabase(data.data(), 8, 4, 0x7230, kSlot), 1);
  EXPECT_EQ(TableRows("PGC723", 4, "d1, d2"), (std::vector<Bytes>{{5, 1, 2, 3}, {5, 4, 5, 6}, {6, 0, 0, 1}}));
  EXPECT_EQ(TableRows("PGC722", 4, "d1, d2, d3"),
            (std::vector<Bytes>{{7, 8, 2, 3}, {7, 8, 5, 6}, {9, 10, 2, 3}, {9, 10, 5, 6}, {11, 12, 0, 1}}));

  // Key 4 has no TableLine row: its PGC723 rows are stored, then -2.
  Bytes other = {4, 9, 9, 9};
  EXPECT_EQ(pgc::StoreMultiDatabase(other.data(), 4, 4, 0x7230, kSlot), -2);
  EXPECT_EQ(TableRows("PGC723", 4, "d1").front(), (Bytes{4, 9, 9, 9}));
}

TEST_F(PgcStore, SlaveInsertNeedsOnlineOrOfflineState) {
  InfoExec("DELETE FROM TableLine WHERE pgc_no = '72305'");
  InfoExec("INSERT INTO TableLine (pgc_no, line_count, value1) VALUES ('72305', '1', '30')");
  UseState(state::kDownload);
  Bytes data = {5, 1, 2, 3};
  EXPECT_EQ(pgc::StoreMultiDatabase(data.data(), 4, 4, 0x7230, kSlot), 190);
  EXPECT_EQ(TableRows("PGC723", 4).size(), 1u);
}

TEST_F(PgcStore, InfoRecordReplacesTheDbinfoRow) {
  PgcExec("INSERT INTO dbinfo (db_version) VALUES (1)");
  Bytes data(58, 0);
  std::copy_n("\x01\x02\x07\x03", 4, data.begin());  // version 258, country 7, system 3
  std::copy_n("Land", 4, data.begin() + 4);
  std::copy_n("it's", 4, data.begin() + 24);
  std::copy_n("12345678", 8, data.begin() + 44);  // fills its field: no zero byte
  data[52] = 200;
  data[57] = 255;
  EXPECT_EQ(Store(web::REQ_CONTROL, 29, 0, data), 1);
  Rows rows = PgcQuery("SELECT db_version, country_id, country_name, system_id, system_name, version_text, info1, "
                       "info6 FROM dbinfo");
  EXPECT_EQ(rows, (Rows{{"258", "7", "Land", "3", "it's", "12345678", "200", "255"}}));

  // A short record leaves the row in place.
  EXPECT_NE(Store(web::REQ_CONTROL, 29, 0, Bytes(20, 1)), 1);
  EXPECT_EQ(PgcQuery("SELECT db_version FROM dbinfo"), (Rows{{"258"}}));
}

TEST_F(PgcStore, TransferPacketsEmptyTheTableAtTheFirstAndAppendAfter) {
  InsertRow("PGC201", {9, 9, 9, 9});
  EXPECT_EQ(pgc::StorePGCPacket(Packet(web::REQ_PGC, 0x2010, 0x0001, 4, Sequence(4)), 0x2010, kSlot), 1);
  EXPECT_EQ(pgc::StorePGCPacket(Packet(web::REQ_PGC, 0x2010, 0xF002, 4, Sequence(4, 5)), 0x2010, kSlot), 1);
  EXPECT_EQ(TableRows("PGC201", 4), (std::vector<Bytes>{{1, 2, 3, 4}, {5, 6, 7, 8}}));
  EXPECT_EQ(pgc::StorePGCPacket(Packet(web::REQ_PGC, 0x2010, 0x0001, 4, Sequence(5)), 0x2010, kSlot), 169);
}

TEST_F(PgcStore, ClearAndReplaceEmptiesEvenForNoDataButNeverForBadData) {
  InsertRow("PGC201", {9, 9, 9, 9});
  Bytes bad = Sequence(6);
  EXPECT_EQ(pgc::ClearAndReplacePGCRows(bad.data(), 6, 4, 0x2010, "", kSlot), 169);
  EXPECT_EQ(TableRows("PGC201", 4).size(), 1u);
  EXPECT_EQ(pgc::ReplacePGCRows(nullptr, 0, 4, 0x2010, "", kSlot), 1);
  EXPECT_EQ(TableRows("PGC201", 4).size(), 1u);
  EXPECT_EQ(pgc::ClearAndReplacePGCRows(nullptr, 0, 4, 0x2010, "", kSlot), 1);
  EXPECT_TRUE(TableRows("PGC201", 4).empty());
}

TEST_F(PgcStore, AReplaceThatFailsPartWayLeavesTheTableAsItWas) {
  // Rows one byte wider than the table: every insert fails after the old
  // rows were deleted.
  InsertRow("PGC201", {9, 9, 9, 9});
  Bytes tooWide = Sequence(10);
  EXPECT_EQ(pgc::ReplacePGCRows(tooWide.data(), 10, 5, 0x2010, "", kSlot), DB_INSERT_ERROR);
  EXPECT_EQ(pgc::ClearAndReplacePGCRows(tooWide.data(), 10, 5, 0x2010, "", kSlot), DB_INSERT_ERROR);
  EXPECT_EQ(pgc::StorePGCPacket(Packet(web::REQ_PGC, 0x2010, 0x0001, 5, tooWide), 0x2010, kSlot), DB_INSERT_ERROR);
  EXPECT_EQ(TableRows("PGC201", 4), (std::vector<Bytes>{{9, 9, 9, 9}}));
  // The connection is left clean for the next table.
  Bytes good = Sequence(8);
  EXPECT_EQ(pgc::ReplacePGCRows(good.data(), 8, 4, 0x2010, "", kSlot), 1);
  EXPECT_EQ(TableRows("PGC201", 4), (std::vector<Bytes>{{1, 2, 3, 4}, {5, 6, 7, 8}}));
}

TEST(PgcCounts, RowsAndPacketsOfData) {
  int count = -1;
  EXPECT_TRUE(pgc::RowCountOf(25, 5, count, kSlot) == 1 && count == 5);
  EXPECT_EQ(pgc::RowCountOf(26, 5, count, kSlot), 169);
  EXPECT_EQ(pgc::RowCountOf(25, 0, count, kSlot), 166);
  EXPECT_TRUE(pgc::RowsPerPacket(7, count, kSlot) == 1 && count == 34);
  EXPECT_EQ(pgc::RowsPerPacket(0, count, kSlot), 166);
  EXPECT_TRUE(pgc::PacketCountOf(70, 7, 34, count, kSlot) == 1 && count == 1);
  EXPECT_TRUE(pgc::PacketCountOf(7 * 69, 7, 34, count, kSlot) == 1 && count == 3);
  EXPECT_EQ(pgc::PacketCountOf(71, 7, 34, count, kSlot), 169);
}

}  // namespace
}  // namespace pgctest
