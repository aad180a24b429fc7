#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "pgc/catalogue.h"
#include "setup/databases.h"
#include "setup/dataset.h"
#include "setup/installation.h"
#include "support/comm_server.h"
#include "support/test_installation.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using Rows = std::vector<std::vector<std::string>>;

Rows Query(const std::string& path, const std::string& sql) { return testsupport::SqliteRows(path, sql); }
void Exec(const std::string& path, const std::string& sql) { testsupport::SqliteRows(path, sql); }

std::vector<std::string> ColumnNames(const std::string& path, const std::string& table) {
  std::vector<std::string> names;
  for (const auto& row : Query(path, "select name from pragma_table_info('" + table + "')")) names.push_back(row[0]);
  return names;
}

std::vector<std::string> Numbered(const std::string& prefix, int count) {
  std::vector<std::string> names;
  for (int i = 1; i <= count; ++i) names.push_back(prefix + std::to_string(i));
  return names;
}

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

class Setup : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tavrel-setup-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    dir = root + "/inst";
    paths = PathsOf(dir);
  }
  void TearDown() override { fs::remove_all(root); }

  int Provision(std::vector<std::pair<std::string, std::string>> users, int port = 6000, int level = 2) {
    SetupOptions options;
    options.dir = dir;
    options.port = port;
    options.infoLevel = level;
    options.users = std::move(users);
    error.clear();
    return ProvisionInstallation(options, error);
  }

  std::string root, dir, error;
  InstallationPaths paths;
};

TEST_F(Setup, MakesTheInstallationLayout) {
  ASSERT_EQ(Provision({{"admin", "pw1"}}, 6123, 7), 1) << error;

  EXPECT_EQ(ReadFile(dir + "/web/info/tavrel.conf"), "TAVREL_PORT:6123\nINFO_LEVEL:7\n");
  EXPECT_EQ(ReadFile(dir + "/env"),
            "WEB_PATH=" + dir + "/web\nODBCSYSINI=" + dir + "/odbc\nODBCINI=" + dir + "/odbc/user.ini\n");
  EXPECT_TRUE(fs::exists(dir + "/comm/DB_WEB/WebInit.mdb"));
  EXPECT_EQ(fs::file_size(dir + "/odbc/user.ini"), 0u);

  std::string odbcinst = ReadFile(dir + "/odbc/odbcinst.ini");
  EXPECT_EQ(odbcinst.find("[SQLite3]\n"), 0u);
  EXPECT_NE(odbcinst.find("Driver=" + FindSqliteOdbcDriver() + "\n"), std::string::npos);
  EXPECT_TRUE(fs::exists(FindSqliteOdbcDriver()));
  EXPECT_NE(odbcinst.find("Threading = 2\n"), std::string::npos);
  std::string odbcIni = ReadFile(dir + "/odbc/odbc.ini");
  for (std::string name : {"WebUser", "WebInfo"}) {
    std::string section = "[" + name + "]\nDriver=SQLite3\nDatabase=" + dir + "/data/" + name +
                          ".db\nJournalMode=WAL\nSyncPragma=NORMAL\nTimeout=5000\n";
    EXPECT_NE(odbcIni.find(section), std::string::npos) << odbcIni;
  }

  std::vector<std::string> userinfo = Concat(
      {{"user_id", "user_pwd", "ip", "session_id", "login_state", "login_count", "login_time", "connect_state",
        "link_type", "connect_time", "connect_offline"},
       Numbered("connect_info", 48),
       {"user_level", "name", "phone", "mobile", "address", "job", "email"}});
  EXPECT_EQ(ColumnNames(paths.userDb, "userinfo"), userinfo);
  EXPECT_EQ(ColumnNames(paths.userDb, "linkinfo"),
            Concat({{"link_type"}, Numbered("link_info", 48), Numbered("link_name", 20)}));
  for (auto [table, columns] : {std::pair{"TableVersion", 8u}, {"Tablestrt", 48u}, {"TableLine", 36u}, {"dbinfo", 12u}})
    EXPECT_EQ(ColumnNames(paths.infoDb, table).size(), columns) << table;
  for (const std::string& db : {paths.userDb, paths.infoDb}) EXPECT_EQ(Query(db, "pragma journal_mode")[0][0], "wal");

  // A provisioned user has every one of the 66 columns filled.
  Rows admin = Query(paths.userDb, "select * from userinfo");
  ASSERT_EQ(admin.size(), 1u);
  ASSERT_EQ(admin[0].size(), 66u);
  EXPECT_EQ((std::vector{admin[0][0], admin[0][1], admin[0][59]}), (std::vector<std::string>{"admin", "pw1", "0"}));
  for (const std::string& column : userinfo)
    EXPECT_EQ(Query(paths.userDb, "select count(*) from userinfo where " + column + " is null")[0][0], "0") << column;
}

TEST_F(Setup, SecondRunKeepsRowsAndForeignSourcesAndAddsUsers) {
  ASSERT_EQ(Provision({{"admin", "old"}, {"bob", "pw"}}), 1) << error;
  Exec(paths.userDb, "update userinfo set login_count = 5 where user_id = 'bob'; insert into linkinfo (link_type) "
                     "values (3)");
  Exec(paths.infoDb, "insert into TableVersion (tv_no, db_version) values (9, 4)");
  std::ofstream(paths.odbcIni, std::ios::app) << "[workDB_4]\nDriver=SQLite3\nDatabase=/somewhere/x.mdb\n";

  ASSERT_EQ(Provision({{"admin", "new"}, {"carol", "c"}}, 6200), 1) << error;
  EXPECT_EQ(Query(paths.userDb, "select user_id, user_pwd, login_count from userinfo order by user_id"),
            (Rows{{"admin", "new", "0"}, {"bob", "pw", "5"}, {"carol", "c", "0"}}));
  EXPECT_EQ(Query(paths.userDb, "select link_type from linkinfo"), (Rows{{"3"}}));
  // The info tables hold the data set's rows again, not a second copy.
  EXPECT_EQ(Query(paths.infoDb, "select db_version from TableVersion order by tv_no"), (Rows{{"1"}, {"2"}}));
  EXPECT_EQ(ReadFile(dir + "/web/info/tavrel.conf"), "TAVREL_PORT:6200\nINFO_LEVEL:2\n");

  std::string odbcIni = ReadFile(paths.odbcIni);
  EXPECT_NE(odbcIni.find("[workDB_4]\nDriver=SQLite3\nDatabase=/somewhere/x.mdb\n"), std::string::npos);
  std::size_t first = odbcIni.find("[WebUser]");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(odbcIni.find("[WebUser]", first + 1), std::string::npos) << odbcIni;
}

TEST_F(Setup, RefusesBadOptionsBeforeTouchingAnything) {
  EXPECT_EQ(Provision({}, -5), 0);
  EXPECT_NE(error.find("port"), std::string::npos);
  EXPECT_EQ(Provision({}, 6000, 10), 0);
  EXPECT_EQ(Provision({{std::string(17, 'u'), "pw"}}), 0);
  EXPECT_EQ(Provision({{"", "pw"}}), 0);
  EXPECT_EQ(Provision({{"user", std::string(17, 'p')}}), 0);
  EXPECT_FALSE(fs::exists(dir));
}

TEST_F(Setup, RerunWithoutPortOrLevelKeepsTheConfigurationAsCommLeftIt) {
  ASSERT_EQ(Provision({}, 7001, 5), 1);
  std::ofstream(paths.config, std::ios::app) << "WEB_LOG:1\nCOMM_PATH:/somewhere\n";
  ASSERT_EQ(Provision({{"carol", "pw"}}, 0, -1), 1);
  EXPECT_EQ(ReadFile(paths.config), "TAVREL_PORT:7001\nINFO_LEVEL:5\nWEB_LOG:1\nCOMM_PATH:/somewhere\n");
  ASSERT_EQ(Provision({}, 7002, -1), 1);
  EXPECT_EQ(ReadFile(paths.config).rfind("TAVREL_PORT:7002\n", 0), 0u);
}

int RunTool(const std::string& arguments) {
  std::string command = std::string(TAVREL_BIN_DIR) + "/tavrel-setup " + arguments + " >/dev/null 2>&1";
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Setup, ToolRefusesBadArgumentsAndProvisionsGoodOnes) {
  if (!fs::exists(std::string(TAVREL_BIN_DIR) + "/tavrel-setup")) GTEST_SKIP() << "tavrel-setup is not built";
  for (std::string bad : {"", "--port 70000 ", "--port ", "--info-level 12 ", "--user nopassword ", "--bogus "})
    EXPECT_NE(RunTool(bad.empty() ? bad : bad + dir), 0) << bad;
  EXPECT_NE(RunTool(dir + " " + dir + "2"), 0);
  EXPECT_FALSE(fs::exists(dir));

  ASSERT_EQ(RunTool("--port 6001 --info-level 3 --user ann:a:b --user ben:x " + dir), 0);
  EXPECT_EQ(ReadFile(dir + "/web/info/tavrel.conf"), "TAVREL_PORT:6001\nINFO_LEVEL:3\n");
  EXPECT_EQ(Query(paths.userDb, "select user_id, user_pwd from userinfo order by user_id"),
            (Rows{{"ann", "a:b"}, {"ben", "x"}}));
}

// --keep-logs lives in the env file, where COMM reads it, never in tavrel.conf.
TEST_F(Setup, KeepLogsIsStoredInTheEnvFileKeptOnRefreshAndTurnedOffWithZero) {
  auto env = [&] { return ReadFile(dir + "/env"); };
  ASSERT_EQ(RunTool("--port 6100 --keep-logs 250 " + dir), 0);
  EXPECT_NE(env().find("\nTAVREL_KEEP_LOGS_MB=250\n"), std::string::npos) << env();
  EXPECT_EQ(ReadFile(paths.config), "TAVREL_PORT:6100\nINFO_LEVEL:2\n");
  ASSERT_EQ(RunTool("--user ann:pw " + dir), 0);
  EXPECT_NE(env().find("\nTAVREL_KEEP_LOGS_MB=250\n"), std::string::npos) << env();
  ASSERT_EQ(RunTool("--keep-logs 0 " + dir), 0);
  EXPECT_EQ(env().find("TAVREL_KEEP_LOGS"), std::string::npos) << env();
}

TEST_F(Setup, BadKeepLogsValuesAreRefusedAndChangeNothing) {
  ASSERT_EQ(RunTool("--keep-logs 40 " + dir), 0);
  std::string env = ReadFile(dir + "/env"), config = ReadFile(paths.config);
  for (std::string bad : {"lots", "-5", "1000001", "12MB", ""}) {
    std::string output;
    EXPECT_EQ(testsupport::RunProgram({std::string(TAVREL_BIN_DIR) + "/tavrel-setup", "--keep-logs", bad, dir},
                                      output),
              2)
        << bad;
    EXPECT_NE(output.find("--keep-logs"), std::string::npos) << output;
  }
  EXPECT_EQ(RunTool("--keep-logs"), 2);
  EXPECT_EQ(ReadFile(dir + "/env"), env);
  EXPECT_EQ(ReadFile(paths.config), config);
}

// Every key column the catalogue names must exist in every row of its PGC,
// or storing a row would address a column past its end.
TEST(Dataset, EveryRowHoldsTheKeyColumnsOfItsPgc) {
  const setup::Dataset& data = setup::DefaultDataset();
  auto check = [&](const char* const* records, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      std::string record = records[i];
      std::string number = record.substr(0, record.find('$'));
      std::stringstream columns(record.substr(record.find('$') + 1));
      int widest = 0;
      for (std::string column; std::getline(columns, column, ',');) widest = std::max(widest, std::stoi(column.substr(1)));
      const setup::PgcEntry* entry = data.Find(number);
      if (entry == nullptr) continue;  // a key-table PGC without a message ID has no table
      for (const auto& row : entry->lengths) EXPECT_GE(row.length, widest) << "PGC " << number;
    }
  };
  check(pgc::PGCKeyTable(), pgc::kKeyTableRecords);
  check(pgc::PGCKeyTable2(), pgc::kKeyTable2Records);
  for (const auto& row : data.Find("852")->lengths) EXPECT_GE(row.length, 11);  // its special key ends at d11
  // PGC 723 rows are copied into PGC 722 as they are.
  EXPECT_EQ(data.Find("722")->Width(), data.Find("723")->Width());
}

TEST(Dataset, RowLengthComesFromTheFirstLineThatAcceptsSystemCountryAndVersion) {
  setup::Dataset data;
  std::string error;
  ASSERT_EQ(setup::ParseDataset("pgc 100 20 1 * *\n"
                                "pgc 100 24 2,3 1 2-4   # comment\n"
                                "pgc 100 30\n"
                                "pgc 101 7\n",
                                data, error),
            1)
      << error;
  EXPECT_EQ(data.RowLength("100", 1, 5, 9), 20);
  EXPECT_EQ(data.RowLength("100", 3, 1, 4), 24);
  EXPECT_EQ(data.RowLength("100", 3, 0, 4), 30);  // wrong country
  EXPECT_EQ(data.RowLength("100", 2, 1, 5), 30);  // past the version range
  EXPECT_EQ(data.RowLength("101", 8, 7, 0), 7);
  EXPECT_EQ(data.RowLength("102", 1, 0, 1), 0);
  EXPECT_EQ(data.Find("100")->Width(), 30);

  const setup::PgcRowLength& second = data.Find("100")->lengths[1];
  EXPECT_EQ(second.SystemMask(), "01100000");   // system n at position n
  EXPECT_EQ(second.CountryMask(), "01000000");  // country n at position n + 1
  EXPECT_EQ(second.VersionRange(), "0000200004");
  EXPECT_EQ(data.Find("100")->lengths[2].SystemMask(), "11111111");
}

TEST(Dataset, RefusesMalformedLinesNamingTheLine) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"pgc 100 0\n", "line 1"},
      {"pgc 100 20\npgc 101 241\n", "line 2"},
      {"pgc 10 20\n", "line 1"},
      {"pgc 100 20 9 * *\n", "line 1"},
      {"pgc 100 20 * * 5-2\n", "line 1"},
      {"pgc 100 20 * *\n", "line 1"},
      {"tables 5\n", "line 1"},
      {"line 100 1\n", "line 1"},
      {"line 1\n", "line 1"},
      {"pgc 501 40\nfield 501 52 web_timeout\n", "web_timeout"},
  };
  for (const auto& [text, where] : bad) {
    setup::Dataset data;
    std::string error;
    EXPECT_EQ(setup::ParseDataset(text, data, error), 0) << text;
    EXPECT_NE(error.find(where), std::string::npos) << text << " -> " << error;
  }
}

TEST_F(Setup, TemplateHasEveryPgcTableAsWideAsItsWidestRowInWalMode) {
  ASSERT_EQ(Provision({}), 1) << error;
  const setup::Dataset& data = setup::DefaultDataset();
  std::string path = paths.templateDb;
  EXPECT_EQ(Query(path, "pragma journal_mode")[0][0], "wal");
  EXPECT_FALSE(fs::exists(path + "-wal"));
  for (const setup::PgcEntry& entry : data.pgcs) {
    EXPECT_EQ(ColumnNames(path, "PGC" + entry.number), Numbered("d", entry.Width())) << entry.number;
  }
  EXPECT_EQ(ColumnNames(path, "PGC20000").size(), 14u);
  EXPECT_GE(ColumnNames(path, "PGC501").size(), 52u);
  EXPECT_EQ(ColumnNames(path, "dbinfo"), ColumnNames(paths.infoDb, "dbinfo"));
  EXPECT_EQ(Query(path, "select count(*) from sqlite_master where type = 'table'")[0][0],
            std::to_string(data.pgcs.size() + 1));
}

TEST_F(Setup, InfoTablesHoldTheDataSetAndARerunReplacesThem) {
  ASSERT_EQ(Provision({}), 1) << error;
  Exec(paths.infoDb, "insert into Tablestrt (pgcno, row_length) values (999, 1)");
  Exec(paths.templateDb, "create table leftover (x)");
  ASSERT_EQ(Provision({}), 1) << error;

  const setup::Dataset& data = setup::DefaultDataset();
  std::size_t rows = 0;
  for (const auto& entry : data.pgcs) rows += entry.lengths.size();
  EXPECT_EQ(Query(paths.infoDb, "select count(*) from Tablestrt")[0][0], std::to_string(rows));
  EXPECT_EQ(Query(paths.infoDb, "select row_length, system_mask, country_mask, version_range from Tablestrt "
                                "where pgcno = 724 order by rowid"),
            (Rows{{"12", "11111111", "11111111", "0000100001"}, {"14", "11111111", "11111111", "0000200002"}}));
  EXPECT_EQ(Query(paths.infoDb, "select tv_no, db_version, key_low, key_high from TableVersion order by tv_no"),
            (Rows{{"1", "1", "100", "199"}, {"2", "2", "200", "299"}}));
  Rows line = Query(paths.infoDb, "select pgc_no, line_count, value1, value2, value3, value4 from TableLine "
                                  "where pgc_no = '72307'");
  EXPECT_EQ(line, (Rows{{"72307", "3", "1", "3", "4", ""}}));
  // The template is rebuilt whole: nothing of a former one survives.
  EXPECT_EQ(Query(paths.templateDb, "select count(*) from sqlite_master where name = 'leftover'")[0][0], "0");
}

}  // namespace
