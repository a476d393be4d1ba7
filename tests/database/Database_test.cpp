#include "database/Database.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "database/Encrypt.h"
#include "support/RecordingLog.h"
#include "support/TestDatabases.h"

namespace vnpp::database {
namespace {

class TFakeProfile : public common::IProfile {
 public:
  std::map<std::string, std::string> Values;  // key in "Database Settings"
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const override {
    if (section != "Database Settings") return def;
    const auto it = Values.find(key);
    return it == Values.end() ? def : it->second;
  }
};

// Records what is logged; LogDetail 0.
class TFakeLog : public vnpp::testing::TRecordingLog {
 public:
  TFakeLog() : TRecordingLog(0) {}
};

std::string EncodedPassword(const std::string& password) {
  return Base64Encode(TVEncrypt().EncodeCredential(password));
}

// Points the registry at a file of this test (or at a missing one) for the object's life.
class TScopedRegistry {
 public:
  explicit TScopedRegistry(const std::string& body) {
    path_ =
        std::filesystem::temp_directory_path() / ("vnpp-hklm-" + testing::RandomSuffix() + ".reg");
    if (!body.empty()) {
      std::ofstream(path_) << "Windows Registry Editor Version 5.00\r\n\r\n"
                              "[HKEY_LOCAL_MACHINE\\Software\\Ostrel Corporation\\Varnex\\"
                              "Settings]\r\n"
                           << body;
    }
    ::setenv("VNPPSVC_REGISTRY", path_.c_str(), 1);
  }
  ~TScopedRegistry() {
    ::unsetenv("VNPPSVC_REGISTRY");
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }

 private:
  std::filesystem::path path_;
};

TEST(TDatabase, LoadsSettingsFromTheFileSectionOrElseFromTheRegistry) {
  const std::string regPass = RegistryHex(TVEncrypt().EncodeCredential("regpw"));
  const std::string fullRegistry =
      "\"ODBC_Source\"=\"RegDsn\"\r\n\"ODBC_User\"=\"reguser\"\r\n\"ODBC_Pass\"=" + regPass +
      "\r\n";
  struct Case {
    const char* Name;
    std::map<std::string, std::string> File;
    std::string Registry;  // values under the settings key; empty: no registry file
    std::string DataSource, UserName, Password;
    std::vector<std::string> Log;
  };
  const Case cases[] = {
      {"data source in the file, registry not read",
       {{"ODBC Data Source", "FileDsn"}, {"ODBC Password", EncodedPassword("filepw")}},
       fullRegistry,
       "FileDsn",
       "",
       "filepw",
       {}},
      {"only a user in the file",
       {{"ODBC Username", "bob"}, {"ODBC Password", EncodedPassword("pw")}},
       fullRegistry,
       "",
       "bob",
       "pw",
       {}},
      {"file empty, all from the registry without Base64",
       {{"ODBC Data Source", " \t"}},
       fullRegistry,
       "RegDsn",
       "reguser",
       "regpw",
       {}},
      {"password with line breaks in the file",
       {{"ODBC Data Source", "FileDsn"},
        {"ODBC Password", EncodedPassword("x").insert(12, "\r\n").insert(3, " ")}},
       "",
       "FileDsn",
       "",
       "x",
       {}},
      {"file and registry empty", {}, "", "", "", "", {" Database NOT connected."}},
      {"registry key without values",
       {},
       "\"Other\"=\"1\"\r\n",
       "",
       "",
       "",
       {" Database NOT connected."}},
      {"registry with a user only", {}, "\"ODBC_User\"=\"u\"\r\n", "", "u", "", {}},
      {"registry with a blank data source",
       {},
       "\"ODBC_Source\"=\"  \"\r\n",
       "  ",
       "",
       "",
       {"   Database NOT connected."}},
      {"registry password shorter than a credential",
       {},
       "\"ODBC_Source\"=\"D\"\r\n\"ODBC_Pass\"=hex:00\r\n",
       "D",
       "",
       "",
       {}},
  };
  for (const Case& c : cases) {
    TScopedRegistry registry(c.Registry);
    TFakeProfile profile;
    profile.Values = c.File;
    TFakeLog log;
    TDatabase db(nullptr);
    db.SetSettings("", "", "before");
    db.LoadDatabaseSettings(profile, log);
    EXPECT_EQ(db.DataSource(), c.DataSource) << c.Name;
    EXPECT_EQ(db.UserName(), c.UserName) << c.Name;
    EXPECT_EQ(db.Password(), c.Password) << c.Name;
    EXPECT_EQ(log.Messages(), c.Log) << c.Name;
  }
}

TEST(TDatabase, InvalidPasswordTextEndsTheLoadSilentlyAndKeepsThePassword) {
  TScopedRegistry registry("");
  TFakeProfile profile;
  profile.Values = {{"ODBC Data Source", "Dsn"}, {"ODBC Username", "u"}, {"ODBC Password", "ab!c"}};
  TFakeLog log;
  TDatabase db(nullptr);
  db.SetSettings("", "", "old");
  db.LoadDatabaseSettings(profile, log);
  EXPECT_EQ(db.DataSource(), "Dsn");
  EXPECT_EQ(db.UserName(), "u");
  EXPECT_EQ(db.Password(), "old");
  EXPECT_TRUE(log.Messages().empty());
}

TEST(TDatabase, UnreadableRegistryFileContributesNothing) {
  const auto path =
      std::filesystem::temp_directory_path() / ("vnpp-bad-" + testing::RandomSuffix());
  std::ofstream(path) << "not a registry file\n";
  ::setenv("VNPPSVC_REGISTRY", path.c_str(), 1);
  TDatabase db(nullptr);
  std::string ds = "x", user = "y", pw = "z";
  EXPECT_FALSE(db.ReadRegistrySettings(ds, user, pw));
  EXPECT_EQ(ds + user + pw, "");
  ::unsetenv("VNPPSVC_REGISTRY");
  std::filesystem::remove(path);
}

// The temporary table lives as long as one connection: it tells a reused connection from
// a new one.
bool HasSessionTable(TDatabase& db) {
  try {
    auto q = db.Connection().Prepare("SELECT * FROM SESSION_MARK");
    q->Execute();
    return true;
  } catch (const EDatabaseError&) {
    return false;
  }
}

TEST(TDatabase, ReusesAnUnchangedConnectionAndReconnectsForAnotherUser) {
  testing::TTestSqlite sqlite;
  std::vector<std::string> errors;
  TDatabase db([&](const std::string& text) { errors.push_back(text); });
  db.SetSettings(sqlite.ConnectionString(), "first", "");
  ASSERT_TRUE(db.ConnectDatabase());
  EXPECT_TRUE(db.IsConnected());
  EXPECT_EQ(db.LastDataSource(), db.DataSource());
  EXPECT_EQ(db.LastUserName(), "first");
  db.Connection().ExecuteDirect("CREATE TEMP TABLE SESSION_MARK (X INTEGER)");

  EXPECT_TRUE(db.ConnectDatabase());
  EXPECT_TRUE(HasSessionTable(db)) << "unchanged settings opened a new connection";
  db.SetSettings(db.DataSource(), "first", "changed");  // a changed password alone is not noticed
  EXPECT_TRUE(db.ConnectDatabase());
  EXPECT_TRUE(HasSessionTable(db));

  db.SetSettings(db.DataSource(), "second", "changed");
  EXPECT_TRUE(db.ConnectDatabase());
  EXPECT_EQ(db.LastUserName(), "second");
  EXPECT_FALSE(HasSessionTable(db)) << "a changed user kept the old connection";

  db.DisconnectDatabase();
  EXPECT_FALSE(db.IsConnected());
  EXPECT_THROW(db.Connection().Prepare("SELECT 1"), EDatabaseError);
  db.DisconnectDatabase();  // a second disconnect does nothing
  EXPECT_TRUE(errors.empty());

  db.SetSettings(" ", "second", "changed");
  EXPECT_FALSE(db.ConnectDatabase());
  EXPECT_TRUE(errors.empty()) << "a blank data source is no connection failure";
}

// A call that waits on a connection of its own (the background writer's) is silence of the
// database as much as one on the main connection: the stop's message counts it.
TEST(TDatabase, BusySecondsCountTheConnectionsItOpened) {
  testing::TTestSqlite sqlite;
  TDatabase db([](const std::string&) {});
  db.SetSettings(sqlite.ConnectionString() + ";Timeout=5000", "", "");
  ASSERT_TRUE(db.ConnectDatabase());
  db.Connection().BeginTransaction();
  db.Connection().ExecuteDirect("CREATE TABLE HOLD_LOCK (X INTEGER)");
  std::unique_ptr<TConnection> second = db.OpenConnection();
  std::thread waiter([&] {
    try {
      second->ExecuteDirect("CREATE TABLE WAIT_LOCK (X INTEGER)");
    } catch (const EDatabaseError&) {
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_GE(db.BusySeconds(), 1.0);
  db.Connection().Commit();
  waiter.join();
  EXPECT_EQ(db.BusySeconds(), 0);
}

// One line with the data source, the user and the driver's reason; never the password.
TEST(TDatabase, RefusedConnectionShowsError1501WithTheDriversText) {
  std::vector<std::string> errors;
  TDatabase db([&](const std::string& text) { errors.push_back(text); });
  db.SetSettings("Driver=SQLite3;Database=/nonexistent/dir/vn.db;NoCreat=1;pwd={se;cret}", "ann",
                 "hidden");
  EXPECT_FALSE(db.ConnectDatabase());
  EXPECT_FALSE(db.IsConnected());
  ASSERT_EQ(errors.size(), 1u);
  const std::string head =
      "Error 1501: Unable to connect to database. Data source "
      "\"Driver=SQLite3;Database=/nonexistent/dir/vn.db;NoCreat=1;pwd=***\", user \"ann\": ";
  EXPECT_EQ(errors[0].substr(0, head.size()), head);
  EXPECT_GT(errors[0].size(), head.size() + 5) << "the driver's reason";
  EXPECT_EQ(errors[0].find_first_of("\r\n"), std::string::npos) << errors[0];
  EXPECT_EQ(errors[0].find("cret"), std::string::npos) << errors[0];
  EXPECT_EQ(errors[0].find("hidden"), std::string::npos) << errors[0];

  // The next attempt starts afresh and succeeds once the database is there.
  testing::TTestSqlite sqlite;
  db.SetSettings(sqlite.ConnectionString(), "", "");
  EXPECT_TRUE(db.ConnectDatabase());
  EXPECT_EQ(errors.size(), 1u);
}

TEST(TDatabase, EncodedPasswordFromTheSwitchLogsIntoPostgreSQL) {
  VNPP_REQUIRE_POSTGRES();
  const std::string password = testing::EnvOr("VNPP_TEST_PG_PASSWORD", "");
  ASSERT_FALSE(password.empty());
  std::istringstream in(password + "\n");
  std::ostringstream out, err;
  ASSERT_EQ(RunEncodePassword(in, out, err), 0) << err.str();
  std::string encoded, line;
  std::istringstream lines(out.str());
  while (std::getline(lines, line)) {
    if (line.rfind("ODBC Password=", 0) == 0) encoded = line.substr(14);
  }
  ASSERT_FALSE(encoded.empty()) << out.str();

  const std::string base = testing::WithoutAttribute(
      testing::WithoutAttribute(testing::EnvOr("VNPP_TEST_PG", ""), "PWD"), "UID");
  TScopedRegistry registry("");
  TFakeProfile profile;
  profile.Values = {
      {"ODBC Data Source", base}, {"ODBC Username", "vnpp"}, {"ODBC Password", encoded}};
  TFakeLog log;
  std::vector<std::string> errors;
  TDatabase db([&](const std::string& text) { errors.push_back(text); });
  db.LoadDatabaseSettings(profile, log);
  EXPECT_TRUE(db.ConnectDatabase()) << (errors.empty() ? "" : errors[0]);
  auto q = db.Connection().Prepare("SELECT COUNT(*) AS N FROM VN_PPDATA1");
  q->Execute();
  EXPECT_TRUE(q->Fetch());
  db.DisconnectDatabase();

  // A wrong password is refused with the server's reason on the second line.
  profile.Values["ODBC Password"] = EncodedPassword("wrong");
  db.LoadDatabaseSettings(profile, log);
  EXPECT_FALSE(db.ConnectDatabase());
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("password authentication failed"), std::string::npos) << errors[0];
}

}  // namespace
}  // namespace vnpp::database
