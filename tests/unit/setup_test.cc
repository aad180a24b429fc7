#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "setup/installation.h"

namespace {

namespace fs = std::filesystem;
using Rows = std::vector<std::vector<std::string>>;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// NULL comes back as "<NULL>" so that tests can tell it from an empty text.
Rows Query(const std::string& path, const std::string& sql) {
  Rows rows;
  sqlite3* db = nullptr;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db);
  } else {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      auto& row = rows.emplace_back();
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        auto text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
        row.emplace_back(text ? text : "<NULL>");
      }
    }
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

void Exec(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  char* message = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) ADD_FAILURE() << sql << ": " << message;
  sqlite3_free(message);
  sqlite3_close(db);
}

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
  EXPECT_TRUE(fs::is_directory(dir + "/comm/DB_WEB"));
  EXPECT_FALSE(fs::exists(dir + "/comm/DB_WEB/WebInit.mdb"));
  EXPECT_TRUE(fs::exists(dir + "/odbc/user.ini"));
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
  EXPECT_EQ(ColumnNames(paths.infoDb, "TableVersion").size(), 8u);
  EXPECT_EQ(ColumnNames(paths.infoDb, "Tablestrt").size(), 48u);
  EXPECT_EQ(ColumnNames(paths.infoDb, "TableLine").size(), 36u);
  EXPECT_EQ(ColumnNames(paths.infoDb, "dbinfo").size(), 12u);
  EXPECT_EQ(Query(paths.infoDb, "select count(*) from Tablestrt")[0][0], "0");
  EXPECT_EQ(Query(paths.userDb, "pragma journal_mode")[0][0], "wal");
  EXPECT_EQ(Query(paths.infoDb, "pragma journal_mode")[0][0], "wal");

  // A provisioned user has every one of the 66 columns filled.
  Rows admin = Query(paths.userDb, "select * from userinfo");
  ASSERT_EQ(admin.size(), 1u);
  ASSERT_EQ(admin[0].size(), 66u);
  EXPECT_EQ(admin[0][0], "admin");
  EXPECT_EQ(admin[0][1], "pw1");
  EXPECT_EQ(admin[0][59], "0");
  for (std::size_t i = 0; i < admin[0].size(); ++i) EXPECT_NE(admin[0][i], "<NULL>") << "column " << userinfo[i];
}

TEST_F(Setup, SecondRunKeepsRowsAndForeignSourcesAndAddsUsers) {
  ASSERT_EQ(Provision({{"admin", "old"}, {"bob", "pw"}}), 1) << error;
  Exec(paths.userDb, "update userinfo set login_count = 5 where user_id = 'bob'; insert into linkinfo (link_type) "
                     "values (3)");
  Exec(paths.infoDb, "insert into TableVersion (tv_no, db_version) values (1, 4)");
  std::ofstream(paths.odbcIni, std::ios::app) << "[workDB_4]\nDriver=SQLite3\nDatabase=/somewhere/x.mdb\n";

  ASSERT_EQ(Provision({{"admin", "new"}, {"carol", "c"}}, 6200), 1) << error;
  EXPECT_EQ(Query(paths.userDb, "select user_id, user_pwd, login_count from userinfo order by user_id"),
            (Rows{{"admin", "new", "0"}, {"bob", "pw", "5"}, {"carol", "c", "0"}}));
  EXPECT_EQ(Query(paths.userDb, "select link_type from linkinfo"), (Rows{{"3"}}));
  EXPECT_EQ(Query(paths.infoDb, "select db_version from TableVersion"), (Rows{{"4"}}));
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
  std::ifstream in(paths.config);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "TAVREL_PORT:7001\nINFO_LEVEL:5\nWEB_LOG:1\nCOMM_PATH:/somewhere\n");
  ASSERT_EQ(Provision({}, 7002, -1), 1);
  std::ifstream again(paths.config);
  std::string first;
  std::getline(again, first);
  EXPECT_EQ(first, "TAVREL_PORT:7002");
}

int RunTool(const std::string& arguments) {
  std::string command = std::string(TAVREL_BIN_DIR) + "/tavrel-setup " + arguments + " >/dev/null 2>&1";
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Setup, ToolRefusesBadArgumentsAndProvisionsGoodOnes) {
  if (!fs::exists(std::string(TAVREL_BIN_DIR) + "/tavrel-setup")) GTEST_SKIP() << "tavrel-setup is not built";
  EXPECT_NE(RunTool(""), 0);
  EXPECT_NE(RunTool("--port 70000 " + dir), 0);
  EXPECT_NE(RunTool("--port " + dir), 0);
  EXPECT_NE(RunTool("--info-level 12 " + dir), 0);
  EXPECT_NE(RunTool("--user nopassword " + dir), 0);
  EXPECT_NE(RunTool("--bogus " + dir), 0);
  EXPECT_NE(RunTool(dir + " " + dir + "2"), 0);
  EXPECT_FALSE(fs::exists(dir));

  ASSERT_EQ(RunTool("--port 6001 --info-level 3 --user ann:a:b --user ben:x " + dir), 0);
  EXPECT_EQ(ReadFile(dir + "/web/info/tavrel.conf"), "TAVREL_PORT:6001\nINFO_LEVEL:3\n");
  EXPECT_EQ(Query(paths.userDb, "select user_id, user_pwd from userinfo order by user_id"),
            (Rows{{"ann", "a:b"}, {"ben", "x"}}));
}

}  // namespace
