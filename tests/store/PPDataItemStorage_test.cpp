// The post-process item against real rows, in SQLite through its ODBC driver and in the
// private PostgreSQL cluster.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/Error.h"
#include "compute/PPDataItem.h"
#include "database/Odbc.h"
#include "store/PPStatements.h"
#include "store/ReadingCursor.h"
#include "store/ResultWriter.h"
#include "support/TestDatabases.h"

namespace vnpp::compute {
namespace {

using common::EncodeDateTime;
using database::testing::TBackend;
using store::TPPStatements;

constexpr double kHalfMilli = 0.5 / 86400000.0;

TDateTime At(int hour, int minute, int second = 0, int msec = 0) {
  return EncodeDateTime(2001, 5, 1, hour, minute, second, msec);
}

class PPDataItemStorage : public ::testing::TestWithParam<TBackend> {
 protected:
  void SetUp() override {
    VNPP_REQUIRE_BACKEND(GetParam());
    db_ = database::testing::MakeTestDatabase(GetParam());
    connection_.Open(db_->ConnectionString(), "", "");
    statements_ = std::make_unique<TPPStatements>(connection_);
  }

  // A reading as another program writes it: the time stamp as literal text.
  void AddReading(const std::string& sensor, const std::string& time, const std::string& value,
                  const std::string& flagColumn = "", const std::string& flagValue = "") {
    std::string columns = "STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE";
    std::string values = "'ST1', '" + sensor + "', '" + time + "', " + value;
    if (!flagColumn.empty()) {
      columns += ", " + flagColumn;
      values += ", " + flagValue;
    }
    connection_.ExecuteDirect("INSERT INTO VN_DATA1 (" + columns + ") VALUES (" + values + ")");
  }

  TPPDataItem Item(const std::string& sensor, TDateTime start, TDateTime end,
                   std::uint8_t dataType = 0, bool readPrevious = false,
                   std::int32_t boundaryMode = 0, const std::string& altLabel = "") {
    return TPPDataItem("ST1", sensor, start, end, dataType, "desc", "LBL_" + sensor, altLabel, "",
                       readPrevious, boundaryMode);
  }

  // The item read, computed and its result written as a run writes it: a row only where it
  // has a result.
  void Store(TPPDataItem item, const std::string& function) {
    store::RetrieveData(*statements_, item);
    item.Compute(function);
    if (const std::optional<store::TResultValues> row = store::ResultOf(item)) {
      store::TResultWriter(*statements_)
          .WriteOne({item.StationID, item.DataLabel, item.FunctionName, item.SensorName,
                     item.AlternateLabel},
                    *row);
    }
  }

  std::vector<TDateTime> Window(const std::string& sensor, TDateTime start, TDateTime end,
                                std::uint8_t dataType, std::int32_t boundaryMode = 0) {
    TPPDataItem item = Item(sensor, start, end, dataType, false, boundaryMode);
    store::RetrieveData(*statements_, item);
    EXPECT_EQ(item.Times.size(), item.Values.size());
    return item.Times;
  }

  double Count(const std::string& sql) {
    auto query = connection_.Prepare(sql);
    query->Execute();
    EXPECT_TRUE(query->Fetch());
    return query->GetDouble("N");
  }

  std::unique_ptr<database::testing::TTestDatabase> db_;
  database::TConnection connection_;
  std::unique_ptr<TPPStatements> statements_;  // before connection_ on the way out
};

void ExpectTimes(const std::vector<TDateTime>& actual, const std::vector<TDateTime>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    EXPECT_NEAR(actual[i], expected[i], kHalfMilli) << "reading " << i;
  }
}

TEST_P(PPDataItemStorage, BoundaryModeDecidesWhichWindowEndsAreTaken) {
  for (const char* t : {"2001-05-01 09:59:59", "2001-05-01 10:00:00", "2001-05-01 10:30:00",
                        "2001-05-01 11:00:00", "2001-05-01 11:00:01"}) {
    AddReading("WL", t, "1");
  }
  AddReading("OTHER", "2001-05-01 10:30:00", "1");
  ExpectTimes(Window("WL", At(10, 0), At(11, 0), 0, 0), {At(10, 0), At(10, 30)});
  ExpectTimes(Window("WL", At(10, 0), At(11, 0), 0, 1), {At(10, 30), At(11, 0)});
  ExpectTimes(Window("WL", At(10, 0), At(11, 0), 0, 2), {At(10, 0), At(10, 30), At(11, 0)});
  // Again through the same prepared statement with new values.
  ExpectTimes(Window("WL", At(9, 0), At(10, 0), 0, 0), {At(9, 59, 59)});

  TPPDataItem bad = Item("WL", At(10, 0), At(11, 0), 0, false, 3);
  try {
    store::RetrieveData(*statements_, bad);
    ADD_FAILURE() << "no exception";
  } catch (const common::EPostProcError& e) {
    EXPECT_NE(std::string(e.what()).find("3"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(bad.Times.empty());
}

TEST_P(PPDataItemStorage, NullValuesAreSkippedAndNotCounted) {
  AddReading("WL", "2001-05-01 10:00:00", "1");
  AddReading("WL", "2001-05-01 10:15:00", "NULL");
  AddReading("WL", "2001-05-01 10:30:00", "3.5");
  TPPDataItem item = Item("WL", At(10, 0), At(11, 0));
  store::RetrieveData(*statements_, item);
  ExpectTimes(item.Times, {At(10, 0), At(10, 30)});
  EXPECT_EQ(item.Values, (std::vector<double>{1, 3.5}));
  item.Compute("CNT");
  EXPECT_EQ(item.PPValue, 2);
}

TEST_P(PPDataItemStorage, PreviousReadingIsTheNewestRowBeforeTheWindow) {
  AddReading("A", "2001-05-01 08:00:00", "5");
  AddReading("A", "2001-05-01 09:00:00", "6");
  AddReading("A", "2001-05-01 10:00:00", "7");  // inside the window
  AddReading("B", "2001-05-01 08:00:00", "5");
  AddReading("B", "2001-05-01 09:00:00", "NULL");  // newest before: no value, no fallback

  TPPDataItem a = Item("A", At(10, 0), At(11, 0), 0, true);
  store::RetrieveData(*statements_, a);
  EXPECT_NEAR(a.PrevTime, At(9, 0), kHalfMilli);
  EXPECT_EQ(a.PrevValue, 6);
  a.Compute("DELTA");
  EXPECT_EQ(a.PPValue, 1);

  TPPDataItem b = Item("B", At(10, 0), At(11, 0), 0, true);
  store::RetrieveData(*statements_, b);
  EXPECT_EQ(b.PrevTime, 0);
  EXPECT_EQ(b.PrevValue, 0);

  TPPDataItem notAsked = Item("A", At(10, 0), At(11, 0), 0, false);
  store::RetrieveData(*statements_, notAsked);
  EXPECT_EQ(notAsked.PrevTime, 0);
}

// The previous-reading statement is prepared once and executed again for every window: each
// execution must give the one newest reading (both filters), never the sensor's history.
TEST_P(PPDataItemStorage, PreviousReadingQueryGivesOneRowOnEveryExecution) {
  for (int hour = 0; hour < 12; ++hour) {
    char time[32];
    std::snprintf(time, sizeof time, "2001-05-01 %02d:00:00", hour);
    AddReading("H", time, std::to_string(hour));
    std::snprintf(time, sizeof time, "2001-05-01 %02d:30:00", hour);
    AddReading("H", time, std::to_string(100 + hour), "ROC_FLAG", "1");
  }
  for (std::uint8_t dataType : {std::uint8_t{0}, std::uint8_t{1}}) {
    database::TStatement& query = statements_->PreviousQuery(dataType);
    for (int hour = 11; hour >= 1; --hour) {  // newest first: a cap lost on re-execution shows
      SCOPED_TRACE("data type " + std::to_string(dataType) + ", before " + std::to_string(hour));
      query.BindText("STATION_ID", "ST1");
      query.BindText("SENSORNAME", "H");
      query.BindDateTime("ENDTIME", At(hour, 0));
      query.Execute();
      ASSERT_TRUE(query.Fetch());
      const bool flaggedTaken = dataType == 0;
      EXPECT_EQ(query.GetDouble("ED_VALUE"), flaggedTaken ? 100 + hour - 1 : hour - 1);
      EXPECT_FALSE(query.Fetch()) << "more than the newest reading came back";
      query.CloseCursor();
    }
  }
}

TEST_P(PPDataItemStorage, DataTypeOneLeavesFlaggedReadingsOut) {
  AddReading("WL", "2001-05-01 10:00:00", "1", "FLAG2", "'A'");
  AddReading("WL", "2001-05-01 10:05:00", "1", "HIGH_FLAG", "1");
  AddReading("WL", "2001-05-01 10:10:00", "1", "FLAG1", "' '");
  AddReading("WL", "2001-05-01 10:15:00", "1", "ROC_FLAG", "1");
  AddReading("WL", "2001-05-01 10:20:00", "1", "NO_CHG_FLAG", "1");
  AddReading("WL", "2001-05-01 10:25:00", "1", "HIGH_FLAG", "0");
  ExpectTimes(Window("WL", At(10, 0), At(11, 0), 1), {At(10, 10), At(10, 15), At(10, 25)});
  EXPECT_EQ(Window("WL", At(10, 0), At(11, 0), 0).size(), 6u);

  // Before the window the two filters swap: ROC_FLAG counts, NO_CHG_FLAG does not.
  AddReading("ROC", "2001-05-01 09:40:00", "1");
  AddReading("ROC", "2001-05-01 09:50:00", "2", "ROC_FLAG", "1");
  AddReading("NOCHG", "2001-05-01 09:40:00", "1");
  AddReading("NOCHG", "2001-05-01 09:50:00", "2", "NO_CHG_FLAG", "1");
  struct Case {
    const char* sensor;
    std::uint8_t dataType;
    TDateTime prevTime;
  };
  const Case cases[] = {{"ROC", 1, At(9, 40)},
                        {"NOCHG", 1, At(9, 50)},
                        {"ROC", 0, At(9, 50)},
                        {"NOCHG", 0, At(9, 50)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.sensor) + " data type " + std::to_string(c.dataType));
    TPPDataItem item = Item(c.sensor, At(10, 0), At(11, 0), c.dataType, true);
    store::RetrieveData(*statements_, item);
    EXPECT_NEAR(item.PrevTime, c.prevTime, kHalfMilli);
  }
}

TEST_P(PPDataItemStorage, SecondRunOverAWindowUpdatesItsRow) {
  common::FakeClock clock(EncodeDateTime(2024, 1, 2, 3, 4, 5, 678));
  common::ScopedClockOverride useClock(clock);
  struct TWindowCase {
    TDateTime start, end;
    double hours;
  };
  const TWindowCase windows[] = {
      // in falling TIME_PERIOD order
      {EncodeDateTime(2001, 5, 1), EncodeDateTime(2001, 5, 2), 24},
      {At(10, 0), At(11, 0), 1},  // 1.0000000001...: the update must find it all the same
      {At(10, 0), At(10, 15), 0.25}};
  AddReading("WL", "2001-05-01 10:00:00", "1");
  AddReading("WL", "2001-05-01 10:10:00", "2");
  for (const TWindowCase& w : windows) Store(Item("WL", w.start, w.end), "SUM");
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM VN_PPDATA1"), 3);

  AddReading("WL", "2001-05-01 10:12:00", "4");
  clock.AdvanceSeconds(60);
  for (const TWindowCase& w : windows) Store(Item("WL", w.start, w.end, 0, false, 0, "ALT"), "SUM");
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM VN_PPDATA1"), 3);

  auto rows = connection_.Prepare("SELECT * FROM VN_PPDATA1 ORDER BY TIME_PERIOD DESC");
  rows->Execute();
  for (const TWindowCase& w : windows) {
    SCOPED_TRACE(w.hours);
    ASSERT_TRUE(rows->Fetch());
    EXPECT_NEAR(rows->GetDouble("TIME_PERIOD"), w.hours, 1e-6);
    EXPECT_NEAR(rows->GetDateTime("TIME_TAG"), w.start, kHalfMilli);
    EXPECT_EQ(rows->GetDouble("PP_VALUE"), 7);
    EXPECT_EQ(rows->GetText("ALTERNATE_LABEL"), "ALT");
    EXPECT_NEAR(rows->GetDateTime("PROCESS_TIME_TAG"), clock.Now(), kHalfMilli);
  }
  EXPECT_FALSE(rows->Fetch());

  // The stored key holds the unrounded product itself.
  auto byPeriod =
      connection_.Prepare("SELECT COUNT(*) AS N FROM VN_PPDATA1 WHERE TIME_PERIOD = :P");
  for (const TWindowCase& w : windows) {
    byPeriod->BindDouble("P", (w.end - w.start) * 24);
    byPeriod->Execute();
    ASSERT_TRUE(byPeriod->Fetch());
    EXPECT_EQ(byPeriod->GetDouble("N"), 1) << w.hours;
  }
}

TEST_P(PPDataItemStorage, ResultRowCarriesValueTimeOnlyWhereTheFunctionGivesOne) {
  common::FakeClock clock(EncodeDateTime(2024, 1, 2, 3, 4, 5, 678));
  common::ScopedClockOverride useClock(clock);
  AddReading("WL", "2001-05-01 10:00:00.250", "5");
  AddReading("WL", "2001-05-01 10:10:00.750", "3");
  AddReading("WL", "2001-05-01 10:20:00.125", "9");
  struct Case {
    const char* function;
    std::optional<TDateTime> valueTime;
  };
  const Case cases[] = {
      {"MIN", At(10, 10, 1)},
      {"MAX", At(10, 20, 0)},
      {"FIRST", At(10, 0, 0, 250)},
      {"LAST", At(10, 20, 0, 125)},
      {"AVG", {}},
      {"SUM", {}},
      {"STDEV", {}},
      {"CNT", {}},
      {"DELTA", {}},
      {"SPECIAL", {}},
  };
  for (const Case& c : cases) Store(Item("WL", At(10, 0), At(11, 0), 0, true), c.function);
  auto rows = connection_.Prepare("SELECT * FROM VN_PPDATA1 WHERE FUNCTION_NAME = :F");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    rows->BindText("F", c.function);
    rows->Execute();
    ASSERT_TRUE(rows->Fetch());
    EXPECT_EQ(rows->GetText("STATION_ID"), "ST1");
    EXPECT_EQ(rows->GetText("DATA_LABEL"), "LBL_WL");
    EXPECT_EQ(rows->GetText("SENSORNAME"), "WL");
    EXPECT_EQ(rows->IsNull("VALUE_TIME_TAG"), !c.valueTime.has_value());
    if (c.valueTime) {
      EXPECT_NEAR(rows->GetDateTime("VALUE_TIME_TAG"), *c.valueTime, kHalfMilli);
    }
    for (const char* column : {"FLAG1", "FLAG2", "FLAG3", "ALTERNATE_LABEL"}) {
      EXPECT_TRUE(rows->IsNull(column)) << column;
    }
    EXPECT_FALSE(rows->Fetch());
    rows->CloseCursor();
  }
}

TEST_P(PPDataItemStorage, NothingIsWrittenForAWindowWithoutReadings) {
  AddReading("WL", "2001-05-01 09:00:00", "1");
  for (const char* function : {"SPECIAL", "CNT", "DELTA"})
    Store(Item("WL", At(10, 0), At(11, 0), 0, true), function);
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM VN_PPDATA1"), 0);
}

TEST_P(PPDataItemStorage, FailureOtherThanAKeyViolationIsRaisedUnchanged) {
  AddReading("WL", "2001-05-01 10:00:00", "1");
  connection_.ExecuteDirect("DROP TABLE VN_PPDATA1");
  try {
    Store(Item("WL", At(10, 0), At(11, 0)), "AVG");
    ADD_FAILURE() << "no exception";
  } catch (const database::EDatabaseError& e) {
    EXPECT_FALSE(e.IsKeyViolation());
  }
}

// The many-sensor check gives each sensor what the one-sensor check gives it, across more
// sensors than one statement takes: a slot that is not filled, a sensor given twice and one
// without readings included. SQLite keeps a time tag's text as written, so a tag in another
// form shows at an end of its sensor's readings; PostgreSQL stores a time.
TEST_P(PPDataItemStorage, TagFormsOfManySensorsAreTheOneSensorChecksOfEach) {
  const std::size_t n = store::kTagExtremesSlots + 3;
  std::vector<std::string> names;
  for (std::size_t i = 0; i < n; ++i) {
    names.push_back("S" + std::to_string(i));
    AddReading(names.back(), "2001-05-01 10:00:00", "1");
  }
  const bool sqlite = GetParam() == TBackend::SQLite;
  if (sqlite) {
    AddReading("S1", "2001-05-01T10:30:00", "1");
    AddReading(names[store::kTagExtremesSlots + 1], "2001/05/01 11:00:00", "1");
  }
  names.push_back("S1");
  names.push_back("NONE");
  std::vector<store::TSensorKey> sensors;
  for (const std::string& name : names) sensors.push_back({"ST1", name});
  std::vector<std::string> found;
  store::UnsortableTimeTags(*statements_, sensors, found);
  ASSERT_EQ(found.size(), names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(found[i], store::UnsortableTimeTag(*statements_, "ST1", names[i])) << names[i];
    const bool bad = sqlite && (names[i] == "S1" || i == store::kTagExtremesSlots + 1);
    EXPECT_EQ(found[i].empty(), !bad) << names[i] << ": " << found[i];
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, PPDataItemStorage,
                         ::testing::Values(TBackend::SQLite, TBackend::PostgreSQL),
                         [](const auto& info) {
                           return std::string(database::testing::BackendName(info.param));
                         });

// Readings written by the sqlite3 command-line tool carry no milliseconds in their text;
// the window must still take the one at its start and leave out the one at its end.
TEST(PPDataItemSqliteCli, WindowOverCliWrittenReadingsTakesStartLeavesEnd) {
  database::testing::TTestSqlite db;
  const std::string command =
      "sqlite3 '" + db.Path() +
      "' \"INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) VALUES "
      "('ST1', 'WL', '2001-05-01 10:00:00', 1), ('ST1', 'WL', '2001-05-01 10:59:59', 2), "
      "('ST1', 'WL', '2001-05-01 11:00:00', 4)\"";
  if (std::system("command -v sqlite3 >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "the sqlite3 command-line tool is not installed";
  }
  ASSERT_EQ(std::system(command.c_str()), 0);
  database::TConnection connection;
  connection.Open(db.ConnectionString(), "", "");
  TPPStatements statements(connection);
  TPPDataItem item("ST1", "WL", At(10, 0), At(11, 0), 0, "", "LBL", "", "", false, 0);
  store::RetrieveData(statements, item);
  ExpectTimes(item.Times, {At(10, 0), At(10, 59, 59)});
  item.Compute("SUM");
  EXPECT_EQ(item.PPValue, 3);
}

}  // namespace
}  // namespace vnpp::compute
