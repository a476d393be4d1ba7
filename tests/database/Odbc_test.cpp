#include "database/Odbc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "common/DateTime.h"
#include "support/TestDatabases.h"

namespace vnpp::database {
namespace {

using common::EncodeDateTime;
using testing::MakeTestDatabase;
using testing::TBackend;

const char* const kInsertResult =
    "INSERT INTO VN_PPDATA1 (STATION_ID, DATA_LABEL, FUNCTION_NAME, TIME_TAG, TIME_PERIOD, "
    "PP_VALUE, FLAG1, VALUE_TIME_TAG, PROCESS_TIME_TAG, SENSORNAME, ALTERNATE_LABEL) VALUES "
    "(:STATION_ID, :DATA_LABEL, :FUNCTION_NAME, :TIME_TAG, :TIME_PERIOD, :PP_VALUE, :FLAG1, "
    ":VALUE_TIME_TAG, :PROCESS_TIME_TAG, :SENSORNAME, :ALTERNATE_LABEL)";

void BindResult(TStatement& s, const std::string& station, TDateTime timeTag, double value) {
  s.BindText("STATION_ID", station);
  s.BindText("DATA_LABEL", "Level");
  s.BindText("FUNCTION_NAME", "AVG");
  s.BindDateTime("TIME_TAG", timeTag);
  s.BindDouble("TIME_PERIOD", 1.0);
  s.BindDouble("PP_VALUE", value);
  s.BindNull("FLAG1", TParamType::Text);
  s.BindNull("VALUE_TIME_TAG", TParamType::DateTime);
  s.BindDateTime("PROCESS_TIME_TAG", timeTag);
  s.BindText("SENSORNAME", "WL");
  s.BindNull("ALTERNATE_LABEL", TParamType::Text);
}

class OdbcOnBothDrivers : public ::testing::TestWithParam<TBackend> {
 protected:
  void SetUp() override {
    VNPP_REQUIRE_BACKEND(GetParam());
    db_ = MakeTestDatabase(GetParam());
    connection_.Open(db_->ConnectionString(), "", "");
  }

  std::unique_ptr<testing::TTestDatabase> db_;
  TConnection connection_;
};

TEST_P(OdbcOnBothDrivers, RoundTripsDateTimesNullsAndDoubles) {
  struct Row {
    const char* Station;
    TDateTime TimeTag;
    double Value;
    bool NullValueTime;
    TDateTime ValueTime;
    bool NullFlag;
  };
  const Row rows[] = {
      {"S1", EncodeDateTime(2001, 5, 1, 10, 0, 0, 123), 3.141592653589793, true, 0, true},
      {"S2", EncodeDateTime(2024, 2, 29, 23, 59, 59, 999), -1e-300, false,
       EncodeDateTime(2024, 2, 29, 23, 30, 0, 0), false},
      {"S3", EncodeDateTime(1985, 1, 1, 0, 0, 0, 0), 0.1 + 0.2, false,
       EncodeDateTime(1985, 1, 1, 0, 0, 0, 1), true},
  };
  auto insert = connection_.Prepare(kInsertResult);
  for (const Row& r : rows) {
    BindResult(*insert, r.Station, r.TimeTag, r.Value);
    if (!r.NullValueTime) insert->BindDateTime("VALUE_TIME_TAG", r.ValueTime);
    if (!r.NullFlag) insert->BindText("FLAG1", "F");
    insert->Execute();
    EXPECT_EQ(insert->RowCount(), 1);
  }

  auto select = connection_.Prepare(
      "SELECT * FROM VN_PPDATA1 WHERE STATION_ID = :STATION_ID AND TIME_TAG = :TIME_TAG");
  for (const Row& r : rows) {
    select->BindText("STATION_ID", r.Station);
    select->BindDateTime("TIME_TAG", r.TimeTag);
    select->Execute();
    ASSERT_TRUE(select->Fetch()) << r.Station;
    EXPECT_EQ(select->GetText("station_id"), r.Station);
    EXPECT_DOUBLE_EQ(select->GetDateTime("TIME_TAG"), r.TimeTag) << r.Station;
    // The SQLite driver hands out a stored double as text with 15 significant digits; the
    // value stored is exact (an update finds a row by the same double it inserted).
    const double tolerance = GetParam() == TBackend::SQLite ? std::abs(r.Value) * 1e-14 : 0;
    EXPECT_NEAR(select->GetDouble("PP_VALUE"), r.Value, tolerance) << r.Station;
    EXPECT_EQ(select->IsNull("FLAG1"), r.NullFlag) << r.Station;
    EXPECT_EQ(select->IsNull("VALUE_TIME_TAG"), r.NullValueTime) << r.Station;
    if (!r.NullValueTime) {
      EXPECT_DOUBLE_EQ(select->GetDateTime("VALUE_TIME_TAG"), r.ValueTime);
    }
    EXPECT_TRUE(select->IsNull("ALTERNATE_LABEL"));
    EXPECT_EQ(select->GetText("ALTERNATE_LABEL"), "");
    EXPECT_FALSE(select->Fetch());
  }
}

TEST_P(OdbcOnBothDrivers, DuplicateKeyIsAKeyViolationAndNotNullIsNot) {
  const TDateTime t = EncodeDateTime(2001, 5, 1, 10, 0, 0);
  auto insert = connection_.Prepare(kInsertResult);
  BindResult(*insert, "S1", t, 1.0);
  insert->Execute();

  BindResult(*insert, "S1", t, 2.0);
  try {
    insert->Execute();
    FAIL() << "duplicate insert accepted";
  } catch (const EDatabaseError& e) {
    EXPECT_TRUE(e.IsKeyViolation()) << e.what();
    EXPECT_FALSE(e.SqlStates().empty());
    EXPECT_EQ(e.SqlStates().size(), e.NativeCodes().size());
  }

  // The refused insert leaves the connection usable: the update goes through.
  auto update = connection_.Prepare(
      "UPDATE VN_PPDATA1 SET PP_VALUE = :PP_VALUE WHERE STATION_ID = :STATION_ID AND "
      "TIME_TAG = :TIME_TAG AND TIME_PERIOD = :TIME_PERIOD");
  update->BindDouble("PP_VALUE", 2.0);
  update->BindText("STATION_ID", "S1");
  update->BindDateTime("TIME_TAG", t);
  update->BindDouble("TIME_PERIOD", 1.0);
  update->Execute();
  EXPECT_EQ(update->RowCount(), 1);
  // An update that matches nothing is no failure.
  update->BindText("STATION_ID", "none");
  update->Execute();
  EXPECT_EQ(update->RowCount(), 0);

  auto check = connection_.Prepare("SELECT PP_VALUE FROM VN_PPDATA1");
  check->Execute();
  ASSERT_TRUE(check->Fetch());
  EXPECT_EQ(check->GetDouble("PP_VALUE"), 2.0);
  EXPECT_FALSE(check->Fetch());

  BindResult(*insert, "S2", t, 1.0);
  insert->BindNull("STATION_ID", TParamType::Text);
  try {
    insert->Execute();
    FAIL() << "NULL key accepted";
  } catch (const EDatabaseError& e) {
    EXPECT_FALSE(e.IsKeyViolation()) << e.what();
  }
}

TEST_P(OdbcOnBothDrivers, WindowTakesTheReadingAtItsStartAndLeavesOutTheOneAtItsEnd) {
  // Readings stored as another program stores them: text without fraction.
  const char* const stamps[] = {"2001-05-01 09:59:59", "2001-05-01 10:00:00", "2001-05-01 10:30:00",
                                "2001-05-01 10:59:59", "2001-05-01 11:00:00"};
  std::string script;
  double value = 1;
  for (const char* stamp : stamps) {
    script +=
        "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) VALUES ('ST', "
        "'WL', '" +
        std::string(stamp) + "', " + std::to_string(value++) + ");";
  }
  if (GetParam() == TBackend::SQLite) {
    const auto& file = static_cast<const testing::TTestSqlite&>(*db_).Path();
    const std::string command = "sqlite3 '" + file + "' \"" + script + "\"";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  } else {
    connection_.ExecuteDirect(script.substr(0, script.size() - 1).c_str());
  }

  auto query = connection_.Prepare(
      "SELECT * FROM VN_DATA1 WHERE (STATION_ID = :STATION_ID) AND (SENSORNAME = :SENSORNAME) "
      "AND (:STARTTIME <= TIME_TAG) AND (TIME_TAG < :ENDTIME)  ORDER BY TIME_TAG ");
  query->BindText("STATION_ID", "ST");
  query->BindText("SENSORNAME", "WL");
  // The window bounds as computed: a whole hour may lie a hair off in floating point.
  query->BindDateTime("STARTTIME", EncodeDateTime(2001, 5, 1, 10, 0, 0) + 1e-12);
  query->BindDateTime("ENDTIME", EncodeDateTime(2001, 5, 1, 11, 0, 0) - 1e-12);
  query->Execute();
  std::vector<double> values;
  std::vector<TDateTime> times;
  while (query->Fetch()) {
    times.push_back(query->GetDateTime("TIME_TAG"));
    values.push_back(query->GetDouble("ED_VALUE"));
  }
  EXPECT_EQ(values, (std::vector<double>{2, 3, 4}));
  ASSERT_EQ(times.size(), 3u);
  EXPECT_DOUBLE_EQ(times[0], EncodeDateTime(2001, 5, 1, 10, 0, 0));

  // Executed again with the next window, the prepared statement gives the next readings.
  query->BindDateTime("STARTTIME", EncodeDateTime(2001, 5, 1, 11, 0, 0));
  query->BindDateTime("ENDTIME", EncodeDateTime(2001, 5, 1, 12, 0, 0));
  query->Execute();
  ASSERT_TRUE(query->Fetch());
  EXPECT_EQ(query->GetDouble("ED_VALUE"), 5);
  EXPECT_FALSE(query->Fetch());
}

TEST_P(OdbcOnBothDrivers, TimeTextReadsEveryTagItTakesAsTheDriverConvertsIt) {
  // Stored as text (SQLite) or converted by the server (PostgreSQL, which refuses the forms
  // it cannot read). Parsed: whether the service converts the text itself; every other text
  // must be left to the driver.
  struct Case {
    const char* Text;
    bool Parsed;
    bool SqliteOnly;
  };
  const Case cases[] = {
      {"2026-03-14 10:15:00", true, false},
      {"2026-03-14 10:15:00.5", true, false},
      {"2026-03-14 10:15:00.05", true, false},
      {"2026-03-14 10:15:00.123", true, false},
      {"2024-02-29 23:59:59.999", true, false},
      {"2026-03-29 02:30:00", true, false},      // a local time that DST skips in Europe
      {"2026-10-25 02:30:00.250", true, false},  // and one it repeats
      {"0999-12-31 23:59:59", true, false},
      {"2026-03-14 10:15:00.1234567", true, true},
      {"2026-03-14 10:15:00.123456789", true, true},
      {"2024-02-29 23:59:59.9996", true, true},
      {"2026-03-14 10:15:00.1234567891", false, true},
      {"2026-03-14 10:15", false, true},
      {"2026-03-14T10:15:00", false, true},
      {"2026/03/14 10:15:00", false, true},
      {"14.03.2026 10:15", false, true},
      {"2026-02-29 10:15:00", false, true},
      {"2026-03-14 24:00:00", false, true},
      {"2026-03-14 10:15:00.", false, true},
      {"2026-03-14 10:15:00 ", false, true},
      {"46095.4270833", false, true},
  };
  const bool sqlite = GetParam() == TBackend::SQLite;
  auto insert = connection_.Prepare(
      sqlite ? "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG) VALUES ('ST', 'WL', :T)"
             : "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG) VALUES ('ST', 'WL', "
               "CAST(:T AS TIMESTAMP))");
  // Only the forms the service parses are stored: the SQLite driver's own conversion reads
  // past the end of some of the others (a tag without seconds, a day number), which the
  // address sanitizer reports. The others are checked by ParseTimeTagText alone, below.
  std::size_t stored = 0;
  for (const Case& c : cases) {
    if ((c.SqliteOnly && !sqlite) || !c.Parsed) continue;
    insert->BindText("T", c.Text);
    insert->Execute();
    ++stored;
  }
  auto query = connection_.Prepare("SELECT TIME_TAG, TIME_TAG, ED_VALUE FROM VN_DATA1");
  query->BindColumns({TColumnType::DateTime, TColumnType::TimeText, TColumnType::Text}, 4);
  query->Execute();
  std::size_t rows = 0;
  std::size_t parsed = 0;
  for (std::size_t n; (n = query->FetchBlock()) > 0;) {
    for (std::size_t r = 0; r < n; ++r, ++rows) {
      const TTimeTag driver = query->TimeTagAt(0, r);
      TTimeTag own{-1, -1};
      if (!query->TimeTextAt(1, r, own)) continue;
      ++parsed;
      EXPECT_EQ(own.Micros, driver.Micros) << "row " << rows;
      EXPECT_EQ(own.Value, driver.Value) << "row " << rows;
    }
  }
  EXPECT_EQ(rows, stored);
  EXPECT_EQ(parsed, stored);
  for (const Case& c : cases) {
    TTimeTag tag;
    EXPECT_EQ(ParseTimeTagText(c.Text, tag), c.Parsed) << c.Text;
  }
}

TEST_P(OdbcOnBothDrivers, BindsARepeatedNameToEveryOccurrence) {
  connection_.ExecuteDirect(
      "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) VALUES "
      "('A', 'B', '2001-05-01 10:00:00', 7)");
  auto query = connection_.Prepare(
      "SELECT ED_VALUE FROM VN_DATA1 WHERE STATION_ID = :ID OR SENSORNAME = :ID -- :NONE");
  query->BindText("id", "B");
  query->Execute();
  ASSERT_TRUE(query->Fetch());
  EXPECT_EQ(query->GetDouble("ED_VALUE"), 7);
  query->BindInteger("ID", 0);
  query->BindText("ID", "X");
  query->Execute();
  EXPECT_FALSE(query->Fetch());
}

TEST_P(OdbcOnBothDrivers, MisuseRaisesTheDatabaseError) {
  auto query = connection_.Prepare("SELECT * FROM VN_DATA1 WHERE STATION_ID = :ID");
  EXPECT_THROW(query->BindText("OTHER", "x"), EDatabaseError);
  EXPECT_THROW(query->Execute(), EDatabaseError);  // ID has no value
  query->BindText("ID", "x");
  query->Execute();
  EXPECT_FALSE(query->Fetch());
  EXPECT_THROW(query->GetText("STATION_ID"), EDatabaseError);  // no current row
  EXPECT_THROW(connection_.Prepare("SELECT * FROM NO_SUCH_TABLE")->Execute(), EDatabaseError);

  connection_.ExecuteDirect(
      "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG) VALUES ('x', 'B', "
      "'2001-05-01 10:00:00')");
  query->Execute();
  ASSERT_TRUE(query->Fetch());
  EXPECT_THROW(query->GetDouble("NO_SUCH_COLUMN"), EDatabaseError);
  EXPECT_TRUE(query->IsNull("ED_VALUE"));

  // A statement that outlives its connection fails instead of touching freed handles.
  connection_.Close();
  EXPECT_FALSE(connection_.IsOpen());
  EXPECT_THROW(query->Execute(), EDatabaseError);
  EXPECT_THROW(connection_.Prepare("SELECT 1"), EDatabaseError);
}

// A transaction left without Commit, by an exception or a return, is rolled back; a
// committed one stays, and the connection is back in autocommit either way.
TEST_P(OdbcOnBothDrivers, TransactionNotCommittedIsRolledBackAtTheEndOfItsScope) {
  auto insert = [&](const char* station) {
    auto q = connection_.Prepare(
        "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG) VALUES (:S, 'B', "
        "'2001-05-01 10:00:00')");
    q->BindText("S", station);
    q->Execute();
  };
  try {
    TTransaction transaction(connection_);
    insert("dropped");
    throw std::runtime_error("failure on the way");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(connection_.InTransaction());
  {
    TTransaction transaction(connection_);
    insert("kept");
    transaction.Commit();
  }
  insert("autocommitted");
  auto q = connection_.Prepare("SELECT STATION_ID FROM VN_DATA1 ORDER BY STATION_ID");
  q->Execute();
  std::vector<std::string> stations;
  while (q->Fetch()) stations.push_back(q->GetText("STATION_ID"));
  EXPECT_EQ(stations, (std::vector<std::string>{"autocommitted", "kept"}));
}

INSTANTIATE_TEST_SUITE_P(Drivers, OdbcOnBothDrivers,
                         ::testing::Values(TBackend::SQLite, TBackend::PostgreSQL),
                         [](const auto& info) { return testing::BackendName(info.param); });

TEST(OdbcConnection, RefusedOpenCarriesTheDriversDiagnostics) {
  TConnection connection;
  try {
    connection.Open("Driver=SQLite3;Database=/nonexistent/dir/x.db;NoCreat=1", "", "");
    FAIL() << "opened a database that does not exist";
  } catch (const EDatabaseError& e) {
    EXPECT_FALSE(std::string(e.what()).empty());
    EXPECT_FALSE(e.SqlState().empty());
  }
  EXPECT_FALSE(connection.IsOpen());
  EXPECT_THROW(connection.Open("NoSuchDataSourceName", "u", "p"), EDatabaseError);
  // The PostgreSQL driver's reason spans lines; each message stays one line of the log.
  try {
    connection.Open("Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=1;Database=x", "u", "p");
    FAIL() << "connected to port 1";
  } catch (const EDatabaseError& e) {
    const std::string text = e.what();
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
  }
}

TEST(EDatabaseError, RecognisesKeyViolationsByEitherDriversRule) {
  struct Case {
    const char* Message;
    std::vector<std::string> States;
    std::vector<std::int32_t> Codes;
    bool Expected;
  };
  const Case cases[] = {
      {"duplicate key value violates unique constraint", {"23505"}, {7}, true},
      {"null value in column violates not-null constraint", {"23502"}, {7}, false},
      {"foreign key", {"23503"}, {7}, false},
      {"UNIQUE constraint failed: VN_PPDATA1.STATION_ID", {"HY000"}, {19}, true},
      {"NOT NULL constraint failed: VN_PPDATA1.STATION_ID", {"HY000"}, {19}, false},
      {"UNIQUE constraint failed: X", {"HY000"}, {1}, false},
      {"first; second", {"01000", "23505"}, {0, 1}, true},
      {"general error; UNIQUE constraint failed: X", {"01000", "HY000"}, {0, 19}, true},
      {"no records", {}, {}, false},
  };
  for (const Case& c : cases) {
    const EDatabaseError e(c.Message, c.States.empty() ? "" : c.States[0], c.States, c.Codes);
    EXPECT_EQ(e.IsKeyViolation(), c.Expected) << c.Message;
  }
}

}  // namespace
}  // namespace vnpp::database
