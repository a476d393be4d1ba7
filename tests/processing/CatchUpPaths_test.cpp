// The catch-up over range reads (runs of windows per query) must leave exactly what reading
// each window alone by the item's own queries leaves: the same result rows in every column
// but PROCESS_TIME_TAG, the same progress, the same log and the same failures, in SQLite and
// in PostgreSQL, over readings made to hit every rule of the window statements.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "common/DateTime.h"
#include "config/Configuration.h"
#include "database/Database.h"
#include "database/Odbc.h"
#include "database/SqlText.h"
#include "processing/GroupRun.h"
#include "support/ProcessingFixture.h"
#include "support/TestDatabases.h"

namespace vnpp::processing {
namespace {

using common::TDateTime;
using database::testing::TBackend;
using database::testing::TTestDatabase;

constexpr double kMsPerDay = 86400000.0;
constexpr int kDays = 2;

TDateTime Start() { return common::EncodeDateTime(2024, 3, 15); }

struct TReading {
  std::string Station;
  std::string Sensor;
  std::int64_t Ms = 0;  // from Start()
  std::optional<double> Value;
  std::optional<std::string> Flag1, Flag2;
  std::optional<int> HighFlag, NoChgFlag, RocFlag;
};

// Readings at irregular times from 3 hours before Start() to 2 hours after the last window:
// some exactly on hour and 25-minute boundaries or one millisecond off them, with values
// missing, flags of every kind the two filters tell apart, gaps of hours, and twins at one
// time tag. RAIN counts up and rolls over at 1000, as a rain gauge does.
std::vector<TReading> MakeReadings(unsigned seed) {
  std::mt19937 rnd(seed);
  auto chance = [&](int percent) { return static_cast<int>(rnd() % 100) < percent; };
  const std::int64_t hour = 3600000;
  const std::int64_t quarterHour = 1500000;  // 25 minutes
  // 25-minute boundaries count from the epoch of the period arithmetic (1984-12-31).
  const std::int64_t epochMs =
      static_cast<std::int64_t>(common::DateTimeToEpoch(Start())) * 1000 % quarterHour;
  std::vector<TReading> out;
  for (const char* station : {"ST1", "ST2", "ST3"}) {
    for (const char* sensor : {"WL", "RAIN"}) {
      int counter = static_cast<int>(rnd() % 1000);
      std::int64_t ms = -3 * hour;
      while (ms < kDays * 24 * hour + 2 * hour) {
        const int r = static_cast<int>(rnd() % 100);
        if (r < 55) {
          ms += (7 + rnd() % 17) * 60000 + rnd() % 1000;
        } else if (r < 70) {
          ms = (ms / hour + 1) * hour;  // on an hour boundary
        } else if (r < 77) {
          ms = (ms / hour + 1) * hour + (chance(50) ? -1 : 1);  // a millisecond off it
        } else if (r < 87) {
          const std::int64_t q = ((ms + epochMs) / quarterHour + 1) * quarterHour - epochMs;
          ms = q + (chance(30) ? (chance(50) ? -1 : 1) : 0);  // 25-minute boundary
        } else if (r < 92) {
          ms += (2 + rnd() % 3) * hour;  // a gap
        } else {
          ms += rnd() % 5000;
        }
        TReading reading{station, sensor, ms, {}, {}, {}, {}, {}, {}};
        if (std::string(sensor) == "RAIN") {
          counter = (counter + static_cast<int>(rnd() % 40)) % 1000;
          reading.Value = counter;
        } else {
          reading.Value = 2.0 + 0.6 * std::sin(ms / 3.6e6 / 12.42 * 6.283) + (rnd() % 1000) / 7e4;
        }
        if (chance(8)) reading.Value.reset();
        switch (rnd() % 12) {
          case 0:
            reading.Flag1 = " ";
            break;  // counts as not flagged
          case 1:
            reading.Flag2 = "E";
            break;  // both filters leave it out
          case 2:
            reading.HighFlag = 1;
            break;  // both filters leave it out
          case 3:
            reading.NoChgFlag = 1;
            break;  // window filter only
          case 4:
            reading.RocFlag = 1;
            break;  // previous-reading filter only
          case 5:
            reading.NoChgFlag = 0;
            reading.RocFlag = 0;
            break;
          default:
            break;
        }
        out.push_back(reading);
        if (chance(7)) {  // a twin at the same time tag
          TReading twin = reading;
          twin.Value = chance(25) ? std::optional<double>()
                                  : std::optional<double>(reading.Value.value_or(1) + 0.125);
          if (chance(30)) twin.NoChgFlag = 1;
          out.push_back(twin);
        }
      }
    }
  }
  return out;
}

void InsertReadings(const std::string& connectionString, const std::vector<TReading>& readings) {
  database::TConnection c;
  c.Open(connectionString, "", "");
  auto insert = c.Prepare(
      "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE, FLAG1, FLAG2, "
      "HIGH_FLAG, NO_CHG_FLAG, ROC_FLAG) VALUES (:S, :N, :T, :V, :F1, :F2, :H, :NC, :RC)");
  auto text = [&](const char* name, const std::optional<std::string>& v) {
    if (v) {
      insert->BindText(name, *v);
    } else {
      insert->BindNull(name, database::TParamType::Text);
    }
  };
  auto integer = [&](const char* name, const std::optional<int>& v) {
    if (v) {
      insert->BindInteger(name, *v);
    } else {
      insert->BindNull(name, database::TParamType::Integer);
    }
  };
  c.BeginTransaction();
  for (const TReading& r : readings) {
    insert->BindText("S", r.Station);
    insert->BindText("N", r.Sensor);
    insert->BindDateTime("T", Start() + static_cast<double>(r.Ms) / kMsPerDay);
    if (r.Value) {
      insert->BindDouble("V", *r.Value);
    } else {
      insert->BindNull("V", database::TParamType::Double);
    }
    text("F1", r.Flag1);
    text("F2", r.Flag2);
    integer("H", r.HighFlag);
    integer("NC", r.NoChgFlag);
    integer("RC", r.RocFlag);
    insert->Execute();
  }
  c.Commit();
}

struct TGroupFunction {
  const char* Func;
  const char* Parameter;
};

// Every function, DELTA with and without a roll-over constant and with one that makes some
// results negative (those entries fail), and a name that is no function.
const TGroupFunction kFunctions[] = {
    {"AVG", ""},       {"min", ""},      {"MAX", ""},     {"SUM", ""},    {"STDEV", ""},
    {"CNT", ""},       {"FIRST", "2"},   {"LAST", ""},    {"Last", "3"},  {"DELTA", ""},
    {"DELTA", "1000"}, {"delta", "-20"}, {"SPECIAL", ""}, {"MEDIAN", ""},
};

struct TGroupShape {
  int DataType;
  int TypeInterval;
  const char* Interval;
  int BoundaryMode;
};

// Two shapes per function, so that each function meets both data types, each boundary mode
// and hourly, 25-minute, six-hour and daily windows.
TGroupShape ShapeOf(std::size_t g) {
  static const int kKinds[] = {0, 6, 1, 3};
  return {static_cast<int>(g % 2), kKinds[(g / 2) % 4], "00:25:00", static_cast<int>(g % 3)};
}

std::string ConfigText(const std::string& dataSource) {
  std::string text =
      "[PostProcess]\r\nLogDetail=2\r\nGroups=" + std::to_string(2 * std::size(kFunctions)) +
      "\r\n";
  for (std::size_t g = 0; g < 2 * std::size(kFunctions); ++g) {
    const TGroupFunction& f = kFunctions[g / 2];
    const TGroupShape shape = ShapeOf(g);
    text += "[PostProcessGroup:" + std::to_string(g + 1) + "]\r\nFuncName=" + f.Func +
            "\r\nParameter=" + f.Parameter +
            "\r\nEnabled=1\r\nDataType=" + std::to_string(shape.DataType) +
            "\r\nTypeInterval=" + std::to_string(shape.TypeInterval) +
            "\r\nInterval=" + shape.Interval + "\r\nPOLLNumber=6\r\n";
    int n = 0;
    for (const char* station : {"ST1", "ST2", "ST3"}) {
      for (const char* sensor : {"WL", "RAIN"}) {
        ++n;
        const std::string k = std::to_string(n);
        text += "POLL" + k + "=" + station + "." + sensor + "\r\nPOLLDataLabel" + k + "=" + sensor +
                "_" + std::to_string(g) + "\r\nPOLLUpdate" + k + "=" +
                common::FormatDateTimeText(Start()) + "\r\n";
        if (n % 3 == 0) text += "POLLAltLabel" + k + "=ALT" + k + "\r\n";
      }
    }
  }
  return text + "[Database Settings]\r\nODBC Data Source=" + dataSource + "\r\n";
}

struct TOutcome {
  std::vector<std::string> Rows;
  std::vector<std::string> Log;
  std::vector<std::string> Progress;
  long Failed = 0;
};

// Every result row, every column but PROCESS_TIME_TAG, in key order.
std::vector<std::string> Dump(const std::string& connectionString) {
  database::TConnection c;
  c.Open(connectionString, "", "");
  auto q = c.Prepare(
      "SELECT STATION_ID, DATA_LABEL, FUNCTION_NAME, CAST(TIME_TAG AS VARCHAR(40)) AS T, "
      "TIME_PERIOD, PP_VALUE, FLAG1, FLAG2, FLAG3, CAST(VALUE_TIME_TAG AS VARCHAR(40)) AS VT, "
      "SENSORNAME, ALTERNATE_LABEL FROM VN_PPDATA1 ORDER BY STATION_ID, DATA_LABEL, "
      "FUNCTION_NAME, TIME_TAG, TIME_PERIOD");
  q->Execute();
  std::vector<std::string> rows;
  auto text = [&](const char* column) {
    return q->IsNull(column) ? std::string("NULL") : "'" + q->GetText(column) + "'";
  };
  auto number = [&](const char* column) {
    if (q->IsNull(column)) return std::string("NULL");
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", q->GetDouble(column));
    return std::string(buf);
  };
  while (q->Fetch()) {
    // In select-list order: the layer reads the columns of a row front to back.
    std::string row = text("STATION_ID");
    row += "|" + text("DATA_LABEL");
    row += "|" + text("FUNCTION_NAME");
    row += "|" + text("T");
    row += "|" + number("TIME_PERIOD");
    row += "|" + number("PP_VALUE");
    row += "|" + text("FLAG1");
    row += "|" + text("FLAG2");
    row += "|" + text("FLAG3");
    row += "|" + text("VT");
    row += "|" + text("SENSORNAME");
    row += "|" + text("ALTERNATE_LABEL");
    rows.push_back(row);
  }
  return rows;
}

enum class TWay { Alone, Batched, BatchedSmallReads };

class CatchUpPaths : public ::testing::TestWithParam<TBackend> {
 protected:
  void SetUp() override { VNPP_REQUIRE_BACKEND(GetParam()); }

  // config: the configuration text; empty for ConfigText's.
  TOutcome Run(const TTestDatabase& db, TWay way, const std::string& config = "") {
    char tmpl[] = "/tmp/vnpp-paths-XXXXXX";
    EXPECT_NE(mkdtemp(tmpl), nullptr);
    const std::string home = std::string(tmpl) + "/";
    {
      std::ofstream out(home + config::kConfigFileName, std::ios::binary);
      out << (config.empty() ? ConfigText(db.ConnectionString()) : config);
    }
    testing::TRecordingLog log;
    database::TDatabase database([](const std::string&) {});
    config::TConfiguration configuration(home, log);
    configuration.LoadConfiguration();
    database.LoadDatabaseSettings(configuration.ConfigFile(), log);
    log.Clear();
    log.SetLogDetail(2);
    std::atomic<bool> stop{false}, scheduleMode{false};
    TOutcome outcome;
    {
      TGroupRunner runner(configuration, database, log, stop, scheduleMode);
      runner.TEST_ReadEachWindowAlone(way == TWay::Alone);
      // A few windows and a handful of rows per read: cut-short reads, windows read alone.
      if (way == TWay::BatchedSmallReads) runner.TEST_SetReadLimits(5, 6);
      config::TPostProcGroups& groups = *configuration.Groups();
      for (int g = 0; g < groups.Count(); ++g) {
        config::TPostProcGroupItem& group = groups.Item(g);
        group.GroupNumber = g + 1;
        group.BoundaryMode = ShapeOf(static_cast<std::size_t>(g)).BoundaryMode;
        group.WindowStart = Start();
        runner.Run(group, TRunLimit::ImmediateRun(Start() + kDays));
      }
      outcome.Failed = runner.FailedEntries();
    }
    outcome.Rows = Dump(db.ConnectionString());
    outcome.Log = log.Queued();
    std::ifstream in(home + config::kConfigFileName, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("POLLUpdate", 0) == 0) outcome.Progress.push_back(line);
    }
    std::filesystem::remove_all(home);
    return outcome;
  }
};

// First difference of two listings, with its neighbours, for a readable failure.
std::string FirstDifference(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  std::size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  std::ostringstream out;
  out << "sizes " << a.size() << " and " << b.size() << ", first difference at " << i << ":\n";
  for (std::size_t k = i; k < i + 3; ++k) {
    out << "  < " << (k < a.size() ? a[k] : "(none)") << "\n  > "
        << (k < b.size() ? b[k] : "(none)") << "\n";
  }
  return out.str();
}

void ExpectSame(const TOutcome& expected, const TOutcome& actual) {
  EXPECT_TRUE(expected.Rows == actual.Rows) << FirstDifference(expected.Rows, actual.Rows);
  EXPECT_TRUE(expected.Log == actual.Log) << FirstDifference(expected.Log, actual.Log);
  EXPECT_EQ(expected.Progress, actual.Progress);
  EXPECT_EQ(expected.Failed, actual.Failed);
}

TEST_P(CatchUpPaths, RangeReadsLeaveWhatWindowsReadAloneLeave) {
  const std::vector<TReading> readings = MakeReadings(20240315);
  auto reference = database::testing::MakeTestDatabase(GetParam());
  auto batched = database::testing::MakeTestDatabase(GetParam());
  InsertReadings(reference->ConnectionString(), readings);
  InsertReadings(batched->ConnectionString(), readings);
  if (GetParam() == TBackend::SQLite) {
    // Time tags that sort as times in a text form that only the driver converts (a fraction
    // of ten digits): the range reads of these two entries go back to the driver.
    for (const TTestDatabase* db : {reference.get(), batched.get()}) {
      database::TConnection c;
      c.Open(db->ConnectionString(), "", "");
      c.ExecuteDirect(
          "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) VALUES ('ST1', "
          "'WL', '2024-03-15 10:15:00.1234567891', 2.5), ('ST2', 'RAIN', '2024-03-16 "
          "05:00:00.5000000000', 7)");
    }
  }

  const TOutcome expected = Run(*reference, TWay::Alone);
  // The readings reach every path: rows of each function, and DELTA windows whose negative
  // result is logged and not stored.
  ASSERT_GT(expected.Rows.size(), 4000u);
  ASSERT_TRUE(std::any_of(expected.Log.begin(), expected.Log.end(), [](const std::string& line) {
    return line.find("Nothing is stored for this window.") != std::string::npos;
  }));

  {
    SCOPED_TRACE("batched, into an empty result table");
    ExpectSame(expected, Run(*batched, TWay::Batched));
  }
  {
    SCOPED_TRACE("batched with small reads, over the rows stored by the run before");
    ExpectSame(expected, Run(*batched, TWay::BatchedSmallReads));
  }
  {
    // The writes find the rows the batched way stored by their key, TIME_PERIOD included,
    // and update them instead of adding rows.
    SCOPED_TRACE("each window read alone, over the rows stored by the batched way");
    ExpectSame(expected, Run(*batched, TWay::Alone));
  }
}

// The station of a Dump row, and its window start.
std::string Field(const std::string& row, int index) {
  std::size_t from = 0;
  for (int i = 0; i < index; ++i) from = row.find('|', from) + 1;
  return row.substr(from, row.find('|', from) - from);
}

// A result the database refuses while other entries' results wait uncommitted (on
// PostgreSQL in the writes of a second connection, found out only at the commit): the
// refused entry stops at that window, the other entries keep everything, one error is logged.
TEST_P(CatchUpPaths, RefusedResultEndsOnlyItsEntryWhileOthersWaitUncommitted) {
  const std::vector<TReading> readings = MakeReadings(20240316);
  auto reference = database::testing::MakeTestDatabase(GetParam());
  auto refusing = database::testing::MakeTestDatabase(GetParam());
  InsertReadings(reference->ConnectionString(), readings);
  InsertReadings(refusing->ConnectionString(), readings);
  {
    database::TConnection c;
    c.Open(refusing->ConnectionString(), "", "");
    if (GetParam() == TBackend::SQLite) {
      c.ExecuteDirect(
          "CREATE TRIGGER REFUSE BEFORE INSERT ON VN_PPDATA1 WHEN NEW.STATION_ID = 'ST2' AND "
          "NEW.TIME_TAG >= '2024-03-16 00:00:00' BEGIN SELECT RAISE(ABORT, 'refused'); END");
    } else {
      c.ExecuteDirect(
          "CREATE FUNCTION REFUSE() RETURNS TRIGGER LANGUAGE plpgsql AS $$ BEGIN IF "
          "NEW.STATION_ID = 'ST2' AND NEW.TIME_TAG >= '2024-03-16 00:00:00' THEN RAISE "
          "EXCEPTION 'refused'; END IF; RETURN NEW; END $$");
      c.ExecuteDirect(
          "CREATE TRIGGER REFUSE BEFORE INSERT ON VN_PPDATA1 FOR EACH ROW EXECUTE FUNCTION "
          "REFUSE()");
    }
  }
  auto config = [](const TTestDatabase& db) {
    std::string text =
        "[PostProcess]\r\nGroups=1\r\n[PostProcessGroup:1]\r\nFuncName=AVG\r\n"
        "Enabled=1\r\nTypeInterval=0\r\nPOLLNumber=3\r\n";
    for (const char* n : {"1", "2", "3"}) {
      text += std::string("POLL") + n + "=ST" + n + ".WL\r\nPOLLUpdate" + n + "=" +
              common::FormatDateTimeText(Start()) + "\r\n";
    }
    return text + "[Database Settings]\r\nODBC Data Source=" + db.ConnectionString() + "\r\n";
  };
  const TOutcome expected = Run(*reference, TWay::Batched, config(*reference));
  const TOutcome refused = Run(*refusing, TWay::Batched, config(*refusing));
  ASSERT_EQ(expected.Failed, 0);
  ASSERT_EQ(expected.Progress.size(), 3u);

  std::vector<std::string> kept;
  for (const std::string& row : expected.Rows) {
    if (Field(row, 0) != "'ST2'" || Field(row, 3) < "'2024-03-16") kept.push_back(row);
  }
  ASSERT_LT(kept.size(), expected.Rows.size());
  ASSERT_GT(std::count_if(kept.begin(), kept.end(),
                          [](const std::string& r) { return Field(r, 0) == "'ST2'"; }),
            0);
  EXPECT_TRUE(kept == refused.Rows) << FirstDifference(kept, refused.Rows);
  EXPECT_EQ(refused.Failed, 1);
  EXPECT_EQ(std::count_if(refused.Log.begin(), refused.Log.end(),
                          [](const std::string& m) { return m.rfind("Error 1500: ", 0) == 0; }),
            1);
  ASSERT_EQ(refused.Progress.size(), 3u);
  EXPECT_EQ(refused.Progress[0], expected.Progress[0]);
  EXPECT_EQ(refused.Progress[1], "POLLUpdate2=" + common::FormatDateTimeText(Start() + 1) + "\r");
  EXPECT_EQ(refused.Progress[2], expected.Progress[2]);
}

// A program home whose configuration and progress last over several runs of one runner.
class TRunHome {
 public:
  TRunHome(const std::string& configText, bool shapes, bool eachWindowAlone = false)
      : database_([](const std::string&) {}) {
    char tmpl[] = "/tmp/vnpp-recheck-XXXXXX";
    EXPECT_NE(mkdtemp(tmpl), nullptr);
    home_ = std::string(tmpl) + "/";
    {
      std::ofstream out(home_ + config::kConfigFileName, std::ios::binary);
      out << configText;
    }
    configuration_ = std::make_unique<config::TConfiguration>(home_, log_);
    configuration_->LoadConfiguration();
    database_.LoadDatabaseSettings(configuration_->ConfigFile(), log_);
    log_.SetLogDetail(1);
    runner_ =
        std::make_unique<TGroupRunner>(*configuration_, database_, log_, stop_, scheduleMode_);
    runner_->TEST_ReadEachWindowAlone(eachWindowAlone);
    config::TPostProcGroups& groups = *configuration_->Groups();
    for (int g = 0; g < groups.Count(); ++g) {
      groups.Item(g).GroupNumber = g + 1;
      if (shapes) groups.Item(g).BoundaryMode = ShapeOf(static_cast<std::size_t>(g)).BoundaryMode;
    }
  }
  ~TRunHome() {
    runner_.reset();
    configuration_.reset();
    std::filesystem::remove_all(home_);
  }

  // Every group brought up to now, its schedule standing at now; the log of the run.
  std::vector<std::string> Run(TDateTime now) {
    log_.Clear();
    config::TPostProcGroups& groups = *configuration_->Groups();
    for (int g = 0; g < groups.Count(); ++g) {
      groups.Item(g).WindowStart = now;
      runner_->Run(groups.Item(g), TRunLimit::ImmediateRun(now));
    }
    return log_.Queued();
  }
  std::vector<std::string> Progress() const {
    std::vector<std::string> lines;
    std::ifstream in(home_ + config::kConfigFileName, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("POLLUpdate", 0) == 0) lines.push_back(line);
    }
    return lines;
  }
  TGroupRunner& Runner() { return *runner_; }
  config::TPostProcGroups& Groups() { return *configuration_->Groups(); }

 private:
  std::string home_;
  testing::TRecordingLog log_;
  database::TDatabase database_;
  std::unique_ptr<config::TConfiguration> configuration_;
  std::atomic<bool> stop_{false}, scheduleMode_{false};
  std::unique_ptr<TGroupRunner> runner_;
};

// The time a result row was written, and on PostgreSQL the transaction that wrote it, of
// every row in key order: what any statement that writes a row changes.
std::vector<std::string> WriteMarks(const TTestDatabase& db) {
  database::TConnection c;
  c.Open(db.ConnectionString(), "", "");
  const bool pg = db.Backend() == TBackend::PostgreSQL;
  auto q = c.Prepare(std::string("SELECT CAST(PROCESS_TIME_TAG AS VARCHAR(40)) AS PT, ") +
                     (pg ? "CAST(xmin AS TEXT)" : "'-'") +
                     " AS X FROM VN_PPDATA1 ORDER BY STATION_ID, DATA_LABEL, FUNCTION_NAME, "
                     "TIME_TAG, TIME_PERIOD");
  q->Execute();
  std::vector<std::string> marks;
  while (q->Fetch()) marks.push_back(q->GetText("PT") + "|" + q->GetText("X"));
  return marks;
}

std::string WithRecheck(std::string text, int windows) {
  const std::string key = "POLLNumber=";
  for (std::size_t at = text.find(key); at != std::string::npos;
       at = text.find(key, at + key.size() + 20)) {
    const std::string line = "RecheckWindows=" + std::to_string(windows) + "\r\n";
    text.insert(at, line);
    at += line.size();
  }
  return text;
}

TEST_P(CatchUpPaths, RecheckWithoutChangedReadingsWritesNothing) {
  auto db = database::testing::MakeTestDatabase(GetParam());
  InsertReadings(db->ConnectionString(), MakeReadings(20240317));
  // Every function and window shape, 30 windows back (every daily window, the previous
  // reading of DELTA read where the recheck begins).
  TRunHome home(WithRecheck(ConfigText(db->ConnectionString()), 30), true);
  home.Run(Start() + kDays);
  const std::vector<std::string> rows = Dump(db->ConnectionString());
  const std::vector<std::string> marks = WriteMarks(*db);
  ASSERT_GT(rows.size(), 4000u);
  const std::vector<std::string> progress = home.Progress();

  // SQLite counts the transactions that changed the file, as seen from another connection.
  std::unique_ptr<database::TConnection> watcher;
  auto dataVersion = [&]() -> std::string {
    if (!watcher) return "-";
    auto q = watcher->Prepare("PRAGMA data_version");
    q->Execute();
    return q->Fetch() ? q->GetText("data_version") : "";
  };
  if (GetParam() == TBackend::SQLite) {
    watcher = std::make_unique<database::TConnection>();
    watcher->Open(db->ConnectionString(), "", "");
  }
  const std::string version = dataVersion();
  const long changedBefore = home.Runner().ChangedRows();
  const long checkedBefore = home.Runner().RecheckedWindows();
  const std::vector<std::string> log = home.Run(Start() + kDays);

  EXPECT_GT(home.Runner().RecheckedWindows(), checkedBefore + 1000);
  EXPECT_EQ(home.Runner().ChangedRows(), changedBefore);
  EXPECT_TRUE(rows == Dump(db->ConnectionString()));
  EXPECT_TRUE(marks == WriteMarks(*db)) << "a row was written again";
  EXPECT_EQ(version, dataVersion());
  EXPECT_EQ(progress, home.Progress());
  for (const std::string& line : log) EXPECT_EQ(line.find(" changed "), std::string::npos) << line;
}

// Readings every 15 minutes (at 123 ms past) of ST1.WL and ST2.WL from half an hour before
// Start() to the end of the catch-up, none in the hour from 40 h.
TReading Reading(const char* station, std::int64_t ms, double value) {
  return {station, "WL", ms, value, {}, {}, {}, {}, {}};
}

std::vector<TReading> RegularReadings() {
  std::vector<TReading> out;
  for (const char* station : {"ST1", "ST2"}) {
    for (std::int64_t ms = -1800000 + 123; ms < kDays * 86400000LL; ms += 900000) {
      if (ms >= 40 * 3600000LL && ms < 41 * 3600000LL) continue;
      out.push_back(Reading(station, ms, 10.0 + static_cast<double>(ms % 7200000) / 100000.0));
    }
  }
  return out;
}

std::string RecheckConfig(const TTestDatabase& db, int recheck) {
  std::string text = "[PostProcess]\r\nGroups=5\r\n";
  int g = 0;
  for (const char* func : {"AVG", "DELTA", "MAX", "FIRST", "CNT"}) {
    const std::string n = std::to_string(++g);
    text += "[PostProcessGroup:" + n + "]\r\nFuncName=" + func +
            "\r\nEnabled=1\r\nTypeInterval=0\r\n" +
            (recheck > 0 ? "RecheckWindows=" + std::to_string(recheck) + "\r\n" : "") +
            "POLLNumber=2\r\n";
    for (const char* k : {"1", "2"}) {
      text += std::string("POLL") + k + "=ST" + k + ".WL\r\nPOLLDataLabel" + k + "=WL" + n +
              "\r\nPOLLUpdate" + k + "=" + common::FormatDateTimeText(Start()) + "\r\n";
    }
  }
  return text + "[Database Settings]\r\nODBC Data Source=" + db.ConnectionString() + "\r\n";
}

// Late, corrected, deleted and moved readings in the 12 windows before the progress after a
// catch-up, and a corrected reading just before them (the DELTA of the first one): the next
// run leaves those windows as a first computation over the final readings would, and every
// window before them as it was.
TEST_P(CatchUpPaths, RecheckMakesTheRowsFollowChangedReadings) {
  auto db = database::testing::MakeTestDatabase(GetParam());
  InsertReadings(db->ConnectionString(), RegularReadings());
  TRunHome home(RecheckConfig(*db, 12), false);
  home.Run(Start() + kDays);
  const std::vector<std::string> first = Dump(db->ConnectionString());
  const std::vector<std::string> progress = home.Progress();
  ASSERT_EQ(progress.size(), 10u);

  auto hours = [](double h) { return Start() + h / 24.0; };
  {
    database::TConnection c;
    c.Open(db->ConnectionString(), "", "");
    auto change = c.Prepare(
        "UPDATE VN_DATA1 SET ED_VALUE = ED_VALUE + :D WHERE STATION_ID = "
        ":S AND :F <= TIME_TAG AND TIME_TAG < :T");
    auto apply = [&](const char* station, double from, double to, double delta) {
      change->BindDouble("D", delta);
      change->BindText("S", station);
      change->BindDateTime("F", hours(from));
      change->BindDateTime("T", hours(to));
      change->Execute();
      EXPECT_GT(change->RowCount(), 0) << station << " " << from;
    };
    apply("ST1", 30, 31, 4);      // before the rechecked windows: stays as stored
    apply("ST1", 34.7, 34.8, 3);  // the reading before the first rechecked window
    apply("ST1", 38, 39, 5);      // corrected values
    apply("ST2", 44.7, 44.8, 7);  // the reading before a DELTA window
    InsertReadings(db->ConnectionString(),
                   {Reading("ST1", 40 * 3600000LL + 1200000, 99.0)});  // a window that was empty
    auto remove = c.Prepare(
        "DELETE FROM VN_DATA1 WHERE STATION_ID = 'ST1' AND :F <= TIME_TAG "
        "AND TIME_TAG < :T");
    remove->BindDateTime("F", hours(43));
    remove->BindDateTime("T", hours(44));
    remove->Execute();  // every reading of a stored window
    auto move = c.Prepare(
        "UPDATE VN_DATA1 SET TIME_TAG = :N WHERE STATION_ID = 'ST2' AND :F <= TIME_TAG AND "
        "TIME_TAG < :T");
    move->BindDateTime("N", hours(47) + 5.0 / 1440.0);
    move->BindDateTime("F", hours(46.7));
    move->BindDateTime("T", hours(46.8));
    move->Execute();  // across a window boundary
    EXPECT_EQ(move->RowCount(), 1);
  }
  const std::vector<std::string> log = home.Run(Start() + kDays);
  const std::vector<std::string> rechecked = Dump(db->ConnectionString());

  // The reference: the final readings computed once, window by window.
  auto fresh = database::testing::MakeTestDatabase(GetParam());
  std::vector<TReading> final = RegularReadings();
  {
    // The changes made above, on the list of readings.
    for (TReading& r : final) {
      const double h = static_cast<double>(r.Ms) / 3600000.0;
      if (r.Station == "ST1" && h >= 30 && h < 31) *r.Value += 4;
      if (r.Station == "ST1" && h >= 34.7 && h < 34.8) *r.Value += 3;
      if (r.Station == "ST1" && h >= 38 && h < 39) *r.Value += 5;
      if (r.Station == "ST2" && h >= 44.7 && h < 44.8) *r.Value += 7;
      if (r.Station == "ST2" && h >= 46.7 && h < 46.8) r.Ms = 47 * 3600000LL + 300000;
    }
    std::erase_if(final, [](const TReading& r) {
      const double h = static_cast<double>(r.Ms) / 3600000.0;
      return r.Station == "ST1" && h >= 43 && h < 44;
    });
    final.push_back(Reading("ST1", 40 * 3600000LL + 1200000, 99.0));
  }
  InsertReadings(fresh->ConnectionString(), final);
  {
    TRunHome reference(RecheckConfig(*fresh, 0), false, true);
    reference.Run(Start() + kDays);
  }
  const std::vector<std::string> expected = Dump(fresh->ConnectionString());

  // The progress is at 47 h (the window that ends at the limit is not done yet): the
  // rechecked windows begin at 35 h.
  const std::string split = "'" + database::FormatSqlTimestamp(hours(35)).substr(0, 19);
  auto part = [&](const std::vector<std::string>& rows, bool recent) {
    std::vector<std::string> out;
    for (const std::string& row : rows) {
      if ((Field(row, 3) >= split) == recent) out.push_back(row);
    }
    return out;
  };
  ASSERT_FALSE(part(expected, true) == part(first, true));  // the changes reach the rows
  EXPECT_TRUE(part(rechecked, true) == part(expected, true))
      << FirstDifference(part(expected, true), part(rechecked, true));
  EXPECT_TRUE(part(rechecked, false) == part(first, false))
      << FirstDifference(part(first, false), part(rechecked, false));
  EXPECT_EQ(progress, home.Progress());
  EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& line) {
    return line.find("PollGroup 1: late readings changed ") != std::string::npos &&
           line.find(" of ST1.WL (") != std::string::npos;
  })) << ::testing::PrintToString(log);
}

// The rechecked and the new windows of a run in one read, or spread over reads of five
// windows that hold both kinds: a late reading in a rechecked window that was empty, corrected
// ones at the end of the last rechecked window (the previous reading of the first new DELTA
// window) and in a new window. The table is then that of a first computation over the final
// readings.
TEST_P(CatchUpPaths, RecheckReadWithTheNewWindowsFollowsChangedReadings) {
  auto hours = [](double h) { return Start() + h / 24.0; };
  std::vector<TReading> final = RegularReadings();
  for (TReading& r : final) {
    const double h = static_cast<double>(r.Ms) / 3600000.0;
    if (h >= 42.5 && h < 43) *r.Value += 3;
    if (h >= 44 && h < 45) *r.Value += 6;
  }
  final.push_back(Reading("ST1", 40 * 3600000LL + 1200000, 99.0));
  auto fresh = database::testing::MakeTestDatabase(GetParam());
  InsertReadings(fresh->ConnectionString(), final);
  {
    TRunHome reference(RecheckConfig(*fresh, 0), false, true);
    reference.Run(Start() + kDays);
  }
  const std::vector<std::string> expected = Dump(fresh->ConnectionString());

  for (const std::size_t windowsPerRead : {TGroupRunner::kWindowsPerRead, std::size_t{5}}) {
    SCOPED_TRACE(windowsPerRead);
    auto db = database::testing::MakeTestDatabase(GetParam());
    InsertReadings(db->ConnectionString(), RegularReadings());
    TRunHome home(RecheckConfig(*db, 12), false);
    home.Runner().TEST_SetReadLimits(windowsPerRead, 0);
    home.Run(hours(44));  // the progress at 43 h: windows from 31 h are rechecked next
    {
      database::TConnection c;
      c.Open(db->ConnectionString(), "", "");
      auto change = c.Prepare(
          "UPDATE VN_DATA1 SET ED_VALUE = ED_VALUE + :D WHERE :F <= TIME_TAG AND TIME_TAG < :T");
      for (const auto& [from, to, delta] : {std::tuple{42.5, 43.0, 3.0}, {44.0, 45.0, 6.0}}) {
        change->BindDouble("D", delta);
        change->BindDateTime("F", hours(from));
        change->BindDateTime("T", hours(to));
        change->Execute();
      }
      InsertReadings(db->ConnectionString(), {Reading("ST1", 40 * 3600000LL + 1200000, 99.0)});
    }
    const std::vector<std::string> log = home.Run(Start() + kDays);
    // The entries have no recorded start: the first run rechecked the hour before Start().
    std::vector<std::string> rows = Dump(db->ConnectionString());
    std::erase_if(rows, [](const std::string& row) { return Field(row, 3) < "'2024-03-15"; });
    EXPECT_TRUE(rows == expected) << FirstDifference(expected, rows);
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& line) {
      return line.find(
                 "PollGroup 1: late readings changed 2 windows of ST1.WL (1 updated, 1 "
                 "inserted, 0 deleted)") != std::string::npos;
    })) << ::testing::PrintToString(log);
  }
}

// A recompute of the whole range after the readings changed everywhere, in batches of five
// windows, cancelled after a few batches and then asked for again: the rows are those of a
// first computation over the final readings, and no entry's progress moved.
TEST_P(CatchUpPaths, RecomputeCancelledAndRepeatedLeavesAFreshComputation) {
  auto db = database::testing::MakeTestDatabase(GetParam());
  InsertReadings(db->ConnectionString(), RegularReadings());
  TRunHome home(RecheckConfig(*db, 0), false);
  home.Run(Start() + kDays);
  const std::vector<std::string> progress = home.Progress();
  std::vector<TReading> final = RegularReadings();
  {
    database::TConnection c;
    c.Open(db->ConnectionString(), "", "");
    c.ExecuteDirect("DELETE FROM VN_DATA1 WHERE STATION_ID = 'ST2'");
    c.ExecuteDirect("UPDATE VN_DATA1 SET ED_VALUE = ED_VALUE * 2");
    std::erase_if(final, [](const TReading& r) { return r.Station == "ST2"; });
    for (TReading& r : final) *r.Value *= 2;
  }
  home.Runner().TEST_SetReadLimits(5, 0);
  long batches = 0;
  // The range the catch-up computed: up to the progress at 47 h.
  const TDateTime to = Start() + 47.0 / 24;
  auto request = [&](std::uint64_t id, int g) {
    TRecompute job;
    job.RequestId = id;
    job.Group = &home.Groups().Item(g);
    job.From = Start();
    job.To = to;
    return job;
  };
  TRecompute cut = request(1, 0);
  while (!cut.Done() && home.Runner().RecomputeBatch(cut, [&] { return ++batches > 3; })) {
  }
  EXPECT_FALSE(cut.Done());
  EXPECT_EQ(cut.Counts.Windows, 0);  // the first entry was cut off before its end
  EXPECT_GT(cut.EntryCounts.Windows, 0);
  EXPECT_LT(cut.EntryCounts.Windows, 47);

  TCheckCounts counts;
  for (int g = 0; g < home.Groups().Count(); ++g) {
    TRecompute job = request(2, g);
    while (!job.Done()) ASSERT_TRUE(home.Runner().RecomputeBatch(job, nullptr));
    EXPECT_EQ(job.FailedEntries, 0);
    counts.Windows += job.Counts.Windows;
    counts.Deleted += job.Counts.Deleted;
  }
  EXPECT_EQ(counts.Windows, 5 * 2 * 47);
  EXPECT_EQ(counts.Deleted, 5 * 46);  // the rows of ST2

  auto fresh = database::testing::MakeTestDatabase(GetParam());
  InsertReadings(fresh->ConnectionString(), final);
  {
    TRunHome reference(RecheckConfig(*fresh, 0), false, true);
    reference.Run(Start() + kDays);
  }
  const std::vector<std::string> expected = Dump(fresh->ConnectionString());
  const std::vector<std::string> actual = Dump(db->ConnectionString());
  EXPECT_TRUE(actual == expected) << FirstDifference(expected, actual);
  EXPECT_EQ(progress, home.Progress());
}

INSTANTIATE_TEST_SUITE_P(Backends, CatchUpPaths,
                         ::testing::Values(TBackend::SQLite, TBackend::PostgreSQL),
                         [](const ::testing::TestParamInfo<TBackend>& info) {
                           return database::testing::BackendName(info.param);
                         });

}  // namespace
}  // namespace vnpp::processing
