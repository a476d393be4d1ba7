#include "processing/GroupRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "common/Clock.h"
#include "database/Database.h"
#include "processing/Calendar.h"
#include "processing/ChangeLog.h"
#include "processing/RunLog.h"
#include "processing/Schedule.h"
#include "processing/StartOrigins.h"
#include "support/ProcessingFixture.h"

namespace vnpp::processing {
namespace {

using testing::At;
using testing::TRecordingLog;

class GroupRunTest : public testing::ProcessingFixture {
 protected:
  // One hourly AVG group with the given POLL lines; loads it and the database settings.
  config::TPostProcGroupItem& Load(const std::string& groupKeys,
                                   const std::string& postProcessKeys = "") {
    runner_.reset();  // its statements belong to the connection about to close
    database_.DisconnectDatabase();
    WriteConfig("[PostProcess]\r\nGroups=1\r\nLogDetail=2\r\n" + postProcessKeys +
                "[PostProcessGroup:1]\r\n" + groupKeys);
    config_ = std::make_unique<config::TConfiguration>(home_, log_);
    config_->LoadConfiguration();
    database_.LoadDatabaseSettings(config_->ConfigFile(), log_);
    log_.Clear();
    log_.SetLogDetail(2);
    runner_ = std::make_unique<TGroupRunner>(*config_, database_, log_, stop_, scheduleMode_);
    config::TPostProcGroupItem& group = config_->Groups()->Item(0);
    group.GroupNumber = 1;
    return group;
  }

  static void ScheduleAt(config::TPostProcGroupItem& group, common::TDateTime windowStart) {
    group.StartTime = windowStart;
    ComputeSchedule(group, false);
    group.WindowStart = windowStart;
    group.WindowEnd = windowStart + group.Period;
  }

  TRecordingLog log_;
  database::TDatabase database_{[](const std::string&) {}};
  std::unique_ptr<config::TConfiguration> config_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> scheduleMode_{false};
  std::unique_ptr<TGroupRunner> runner_;
};

constexpr const char* kHourly =
    "FuncName=avg\r\nEnabled=1\r\nTypeInterval=0\r\nPOLLNumber=2\r\n"
    "POLL1=ST1.WL\r\nPOLLDataLabel1=WL_AVG\r\nPOLL2=ST2.WL\r\nPOLLDataLabel2=WL_AVG\r\n";

TEST_F(GroupRunTest, ScheduledRunCatchesEachEntryUpWindowByWindow) {
  AddReadings("ST1", "WL", At(2024, 3, 15, 6), At(2024, 3, 15, 12));
  AddReadings("ST2", "WL", At(2024, 3, 15, 6), At(2024, 3, 15, 12));
  config::TPostProcGroupItem& group =
      Load(std::string(kHourly) + "POLLUpdate1=03/15/2024 07:00:00\r\n");
  ScheduleAt(group, At(2024, 3, 15, 10));
  runner_->RunGroup(group);

  // ST1 from 07:00 (four windows), ST2 never computed: only the current period.
  EXPECT_EQ(ResultRows(),
            (std::vector<std::string>{"ST1|03/15/2024 07:00:00", "ST1|03/15/2024 08:00:00",
                                      "ST1|03/15/2024 09:00:00", "ST1|03/15/2024 10:00:00",
                                      "ST2|03/15/2024 10:00:00"}));
  EXPECT_DOUBLE_EQ(group.Sensors[0]->LastUpdate, At(2024, 3, 15, 11));
  EXPECT_DOUBLE_EQ(group.Sensors[1]->LastUpdate, At(2024, 3, 15, 11));
  const std::string file = ReadConfig();
  EXPECT_NE(file.find("POLLUpdate1=03/15/2024 11:00:00"), std::string::npos) << file;
  EXPECT_NE(file.find("POLLUpdate2=03/15/2024 11:00:00"), std::string::npos) << file;

  const std::vector<std::string> q = log_.Queued();
  ASSERT_EQ(q.size(), 7u);
  EXPECT_EQ(q.front(), "PollGroup 1: AVG - Retrieve data...");
  EXPECT_EQ(q[1], "Data for \"ST1.WL\" at \"03/15/2024 07:00:00\", 82.5");
  EXPECT_EQ(q.back(), "PollGroup avg: Finished.");
}

TEST_F(GroupRunTest, EntryPositionDecidesTheFirstWindow) {
  struct Case {
    const char* lastUpdate;
    const char* firstWindow;  // nullptr: no window in this period
    bool loaded;              // the schedule's start was loaded with the entry (a StartFrom)
  } cases[] = {
      {"03/15/2024 07:30:00", "03/15/2024 08:00:00", false},  // between boundaries
      // Ahead of WindowStart: an immediate run took it there, so this period has nothing to
      // do; after a StartFrom moved back (a load), the entry starts at WindowStart again.
      {"03/15/2024 13:00:00", nullptr, false},
      {"03/15/2024 13:00:00", "03/15/2024 10:00:00", true},
      {"0", "03/15/2024 10:00:00", false},  // never computed
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.lastUpdate) + (c.loaded ? " loaded" : ""));
    config::TPostProcGroupItem& group =
        Load(std::string(kHourly) + "POLLUpdate1=" + c.lastUpdate + "\r\n");
    ScheduleAt(group, At(2024, 3, 15, 10));
    if (c.loaded) TStartOrigins().SeedEntries(group);
    const common::TDateTime before = group.Sensors[0]->LastUpdate;
    ASSERT_TRUE(database_.ConnectDatabase());
    runner_->ProcessEntry(group, 0, TRunLimit::ScheduledRun());
    const std::vector<std::string> q = log_.Queued();
    if (c.firstWindow == nullptr) {
      EXPECT_TRUE(q.empty());
      EXPECT_DOUBLE_EQ(group.Sensors[0]->LastUpdate, before);
      continue;
    }
    ASSERT_FALSE(q.empty());
    EXPECT_EQ(q.front(), std::string("Data for \"ST1.WL\" at \"") + c.firstWindow + "\", 0");
    EXPECT_DOUBLE_EQ(group.Sensors[0]->LastUpdate, At(2024, 3, 15, 11));
  }
}

TEST_F(GroupRunTest, ImmediateRunStopsAtTheBoundaryAfterNow) {
  struct Case {
    const char* name;
    int typeInterval;
    common::TDateTime entry;
    common::TDateTime now;
    std::vector<std::string> windows;
  } cases[] = {
      {"hourly at 11:40",
       0,
       At(2024, 3, 15, 9),
       At(2024, 3, 15, 11, 40),
       {"03/15/2024 09:00:00", "03/15/2024 10:00:00"}},
      {"hourly at 12:00", 0, At(2024, 3, 15, 10), At(2024, 3, 15, 12), {"03/15/2024 10:00:00"}},
      {"already at the present", 0, At(2024, 3, 15, 12), At(2024, 3, 15, 12, 30), {}},
      {"monthly", 5, At(2024, 1, 1), At(2024, 3, 10), {"01/01/2024"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    config::TPostProcGroupItem& group = Load(
        "FuncName=AVG\r\nEnabled=1\r\nTypeInterval=" + std::to_string(c.typeInterval) +
        "\r\nPOLLNumber=1\r\nPOLL1=ST1.WL\r\nPOLLUpdate1=" + common::FormatDateTimeText(c.entry) +
        "\r\n");
    ScheduleAt(group, c.entry);  // WindowStart at or before the entry
    ASSERT_TRUE(database_.ConnectDatabase());
    runner_->ProcessEntry(group, 0, TRunLimit::ImmediateRun(c.now));
    std::vector<std::string> got;
    for (const std::string& m : log_.Queued()) {
      const size_t at = m.find(" at \"");
      if (at != std::string::npos) got.push_back(m.substr(at + 5, m.find('"', at + 5) - at - 5));
    }
    EXPECT_EQ(got, c.windows);
  }
}

TEST_F(GroupRunTest, LogDetailSelectsTheGroupRunMessages) {
  AddReadings("ST1", "WL", At(2024, 3, 15, 10), At(2024, 3, 15, 11));
  for (int detail : {0, 1, 2}) {
    SCOPED_TRACE(detail);
    config::TPostProcGroupItem& group = Load(kHourly);
    ScheduleAt(group, At(2024, 3, 15, 10));
    log_.SetLogDetail(detail);
    runner_->RunGroup(group);
    const size_t expected[] = {0, 1, 4};
    EXPECT_EQ(log_.Queued().size(), expected[detail]);
  }
}

TEST_F(GroupRunTest, GroupWithoutEntriesOnlyLogs) {
  config::TPostProcGroupItem& group = Load("FuncName=SUM\r\nEnabled=1\r\nTypeInterval=0\r\n");
  ScheduleAt(group, At(2024, 3, 15, 10));
  runner_->RunGroup(group);
  EXPECT_EQ(log_.Queued(), (std::vector<std::string>{"PollGroup 1: SUM - Retrieve data...",
                                                     "PollGroup SUM: Finished."}));
  EXPECT_FALSE(database_.IsConnected());
}

TEST_F(GroupRunTest, FailedConnectionFailsEachEntryOnceAndKeepsProgress) {
  config::TPostProcGroupItem& group =
      Load(std::string(kHourly) + "POLLUpdate1=03/15/2024 07:00:00\r\n");
  database_.SetSettings("Driver=SQLite3;Database=" + home_ + "missing.db;NoCreat=1",
                        database_.UserName(), database_.Password());
  ScheduleAt(group, At(2024, 3, 15, 10));
  EXPECT_FALSE(runner_->RunGroup(group));
  // One line for the run, with the count of the entries it leaves undone.
  EXPECT_EQ(log_.CountQueued("Error 1500: "), 1u);
  EXPECT_EQ(log_.CountQueued("Error 1500: PollGroup 1: 2 entries not processed"), 1u);
  EXPECT_EQ(runner_->FailedEntries(), 2);
  EXPECT_DOUBLE_EQ(group.Sensors[0]->LastUpdate, At(2024, 3, 15, 7));
  EXPECT_DOUBLE_EQ(group.Sensors[1]->LastUpdate, 0);
  EXPECT_NE(ReadConfig().find("POLLUpdate1=03/15/2024 07:00:00"), std::string::npos);
}

TEST_F(GroupRunTest, StopRequestEndsTheRunAfterTheCurrentWindow) {
  config::TPostProcGroupItem& group =
      Load(std::string(kHourly) + "POLLUpdate1=03/15/2024 07:00:00\r\n");
  ScheduleAt(group, At(2024, 3, 15, 10));
  stop_.store(true);
  EXPECT_FALSE(runner_->RunGroup(group));
  EXPECT_DOUBLE_EQ(group.Sensors[0]->LastUpdate, At(2024, 3, 15, 7));
  EXPECT_EQ(log_.Queued().back(), "PollGroup avg: Finished.");
}

// An immediate run at hh:36 takes the hour that ended at hh:00 and never the one in progress,
// whatever hour it is (the comparison of window ends was off for about half of them).
TEST_F(GroupRunTest, ImmediateRunNeverTakesTheUnfinishedHour) {
  for (int h = 0; h < 72; ++h) {
    const common::TDateTime hour = At(2024, 3, 15) + h / 24.0;
    const common::TDateTime entry = common::EpochToDateTime(common::DateTimeToEpoch(hour) - 3600);
    SCOPED_TRACE(common::FormatDateTimeText(hour));
    config::TPostProcGroupItem& group = Load(
        "FuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\nPOLLNumber=1\r\nPOLL1=ST1.WL\r\n"
        "POLLUpdate1=" +
        common::FormatDateTimeText(entry) + "\r\n");
    ScheduleAt(group, entry);
    ASSERT_TRUE(database_.ConnectDatabase());
    EXPECT_TRUE(runner_->ProcessEntry(group, 0, TRunLimit::ImmediateRun(hour + 36.0 / 1440)));
    EXPECT_EQ(log_.CountQueued("Data for"), 1u);
    EXPECT_EQ(common::DateTimeToEpoch(group.Sensors[0]->LastUpdate), common::DateTimeToEpoch(hour));
  }
}

// After the clock was set back, a group's period can lie ahead of the present: the scheduled
// run stops at the last window that has ended instead of storing empty future windows as done.
TEST_F(GroupRunTest, ScheduledRunNeverStoresAWindowThatHasNotEnded) {
  common::FakeClock clock(At(2024, 3, 15, 10, 30));
  common::ScopedClockOverride useClock(clock);
  config::TPostProcGroupItem& group =
      Load(std::string(kHourly) + "POLLUpdate1=03/15/2024 08:00:00\r\n");
  ScheduleAt(group, At(2024, 3, 15, 12));
  EXPECT_TRUE(runner_->RunGroup(group));
  EXPECT_EQ(log_.CountQueued("Data for \"ST1.WL\""), 2u);  // 08:00 and 09:00
  EXPECT_DOUBLE_EQ(group.Sensors[0]->LastUpdate, At(2024, 3, 15, 10));
  EXPECT_NE(ReadConfig().find("POLLUpdate1=03/15/2024 10:00:00"), std::string::npos);
}

// A result the database refuses ends that entry at its window: the windows before it and
// every other entry's windows are stored, the entry's progress stops before the refused
// window, and the failure is logged once. The refusal comes while other entries' results
// wait uncommitted in the same transaction.
TEST_F(GroupRunTest, RefusedResultEndsOnlyItsEntryAndKeepsEverythingBefore) {
  for (const char* station : {"ST1", "ST2", "ST3"}) {
    AddReadings(station, "WL", At(2024, 3, 15, 6), At(2024, 3, 15, 12));
  }
  {
    database::TConnection c;
    c.Open(ConnectionString(), "", "");
    c.ExecuteDirect(
        "CREATE TRIGGER REFUSE BEFORE INSERT ON VN_PPDATA1 WHEN NEW.STATION_ID = 'ST2' AND "
        "NEW.TIME_TAG >= '2024-03-15 09:00:00' BEGIN SELECT RAISE(ABORT, 'refused'); END");
  }
  config::TPostProcGroupItem& group = Load(
      "FuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\nPOLLNumber=3\r\n"
      "POLL1=ST1.WL\r\nPOLLUpdate1=03/15/2024 06:00:00\r\n"
      "POLL2=ST2.WL\r\nPOLLUpdate2=03/15/2024 06:00:00\r\n"
      "POLL3=ST3.WL\r\nPOLLUpdate3=03/15/2024 06:00:00\r\n");
  ScheduleAt(group, At(2024, 3, 15, 10));
  EXPECT_FALSE(runner_->RunGroup(group));

  const std::vector<std::string> rows = ResultRows();
  EXPECT_EQ(std::count_if(rows.begin(), rows.end(),
                          [](const std::string& r) { return r.rfind("ST1|", 0) == 0; }),
            5);
  EXPECT_EQ(std::count_if(rows.begin(), rows.end(),
                          [](const std::string& r) { return r.rfind("ST3|", 0) == 0; }),
            5);
  EXPECT_EQ(std::count(rows.begin(), rows.end(), "ST2|03/15/2024 08:00:00"), 1);
  EXPECT_EQ(std::count(rows.begin(), rows.end(), "ST2|03/15/2024 09:00:00"), 0);
  EXPECT_DOUBLE_EQ(group.Sensors[0]->LastUpdate, At(2024, 3, 15, 11));
  EXPECT_DOUBLE_EQ(group.Sensors[1]->LastUpdate, At(2024, 3, 15, 9));
  EXPECT_DOUBLE_EQ(group.Sensors[2]->LastUpdate, At(2024, 3, 15, 11));
  const std::string file = ReadConfig();
  EXPECT_NE(file.find("POLLUpdate1=03/15/2024 11:00:00"), std::string::npos) << file;
  EXPECT_NE(file.find("POLLUpdate2=03/15/2024 09:00:00"), std::string::npos) << file;
  EXPECT_NE(file.find("POLLUpdate3=03/15/2024 11:00:00"), std::string::npos) << file;
  EXPECT_EQ(log_.CountQueued("Error 1500: "), 1u);
  EXPECT_EQ(runner_->FailedEntries(), 1);
}

// A long run writes its progress after a commit only once a few seconds have passed since the
// last write, and never progress whose results are not committed; the end of the run writes
// the rest. Three entries of 1,000 empty hourly windows: the first commit comes after the
// second entry's last window.
TEST_F(GroupRunTest, ProgressIsWrittenEveryFewSecondsAndNeverAheadOfTheCommit) {
  const common::TDateTime start = At(2024, 1, 1);
  const auto progress = [&](int windows) {
    return common::FormatDateTimeText(start + windows / 24.0);
  };
  for (const double secondsPerWindow : {0.0, 0.01}) {
    SCOPED_TRACE(secondsPerWindow);
    common::FakeClock clock(At(2024, 6, 1));
    common::ScopedClockOverride useClock(clock);
    std::string keys = "FuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\nPOLLNumber=3\r\n";
    for (const char* n : {"1", "2", "3"}) {
      keys += std::string("POLL") + n + "=ST" + n + ".WL\r\nPOLLUpdate" + n + "=" + progress(0) +
              "\r\n";
    }
    config::TPostProcGroupItem& group = Load(keys);
    ScheduleAt(group, start + 999 / 24.0);
    int windows = 0;
    std::string midRun;
    runner_->SetWindowHook([&] {
      clock.AdvanceSeconds(secondsPerWindow);
      if (++windows == 2100) midRun = ReadConfig();
    });
    EXPECT_TRUE(runner_->RunGroup(group));
    ASSERT_EQ(windows, 3000);
    // 20 s of windows by the commit: written then; a clock standing still: not yet.
    const int written = secondsPerWindow > 0 ? 1000 : 0;
    EXPECT_NE(midRun.find("POLLUpdate1=" + progress(written)), std::string::npos) << midRun;
    EXPECT_NE(midRun.find("POLLUpdate2=" + progress(written)), std::string::npos) << midRun;
    EXPECT_NE(midRun.find("POLLUpdate3=" + progress(0)), std::string::npos) << midRun;
    const std::string file = ReadConfig();
    for (const char* n : {"1", "2", "3"}) {
      EXPECT_NE(file.find(std::string("POLLUpdate") + n + "=" + progress(1000)), std::string::npos)
          << file;
    }
  }
}

// A result table without the key takes no upsert: the rows go one by one, and a second run
// over the same windows adds rows again, as inserts into such a table always did.
TEST_F(GroupRunTest, ResultTableWithoutTheKeyGetsItsRowsOneByOne) {
  {
    database::TConnection c;
    c.Open(ConnectionString(), "", "");
    c.ExecuteDirect("DROP TABLE VN_PPDATA1");
    c.ExecuteDirect(
        "CREATE TABLE VN_PPDATA1 (STATION_ID VARCHAR(64), DATA_LABEL VARCHAR(64), FUNCTION_NAME "
        "VARCHAR(16), TIME_TAG TIMESTAMP, TIME_PERIOD DOUBLE, PP_VALUE DOUBLE, FLAG1 VARCHAR(16), "
        "FLAG2 VARCHAR(16), FLAG3 VARCHAR(16), VALUE_TIME_TAG TIMESTAMP, PROCESS_TIME_TAG "
        "TIMESTAMP, SENSORNAME VARCHAR(64), ALTERNATE_LABEL VARCHAR(64))");
  }
  AddReadings("ST1", "WL", At(2024, 3, 15, 6), At(2024, 3, 15, 12));
  for (int run = 1; run <= 2; ++run) {  // each Load starts from 07:00 again
    config::TPostProcGroupItem& group =
        Load(std::string(kHourly) + "POLLUpdate1=03/15/2024 07:00:00\r\n");
    ScheduleAt(group, At(2024, 3, 15, 10));
    EXPECT_TRUE(runner_->RunGroup(group));
    EXPECT_EQ(log_.CountQueued("Error 1500: "), 0u);
  }
  const std::vector<std::string> rows = ResultRows();
  EXPECT_EQ(std::count(rows.begin(), rows.end(), "ST1|03/15/2024 07:00:00"), 2);
  EXPECT_EQ(rows.size(), 2u * 4);  // ST1 07:00 to 10:00 twice; ST2 has no readings
}

// One late reading after a run: the next run computes its window again, records the id it
// consumed and deletes the row; a run without the change log's tables says so once and runs.
TEST_F(GroupRunTest, ChangeLogRunRewritesTheChangedWindowAndRecordsItsId) {
  AddReadings("ST1", "WL", At(2024, 3, 15, 6), At(2024, 3, 15, 12));
  const std::string keys = std::string(kHourly) + "POLLUpdate1=03/15/2024 07:00:00\r\n";
  config::TPostProcGroupItem* group = &Load(keys, "ChangeLog=1\r\n");
  ScheduleAt(*group, At(2024, 3, 15, 10));
  EXPECT_TRUE(runner_->RunGroup(*group));
  const std::vector<std::string> missing = log_.Messages();
  EXPECT_EQ(std::count_if(missing.begin(), missing.end(),
                          [](const std::string& m) {
                            return m.find(
                                       "are missing in the readings' database: run "
                                       "sql/sqlite/changelog.sql") != std::string::npos;
                          }),
            1);
  EXPECT_EQ(ResultRows().size(), 4u);  // ran as without the change log

  database::testing::ApplySchema(ConnectionString(), "sqlite", "changelog.sql");
  group = &Load(keys, "ChangeLog=1\r\n");
  ScheduleAt(*group, At(2024, 3, 15, 10));
  {
    database::TConnection c;
    c.Open(ConnectionString(), "", "");
    c.ExecuteDirect("DELETE FROM VN_PPDATA1");
  }
  EXPECT_TRUE(runner_->RunGroup(*group));
  ASSERT_EQ(ResultRows().size(), 4u);
  auto value = [&](const char* time) {
    database::TConnection c;
    c.Open(ConnectionString(), "", "");
    auto q = c.Prepare("SELECT PP_VALUE FROM VN_PPDATA1 WHERE STATION_ID = 'ST1' AND TIME_TAG = " +
                       std::string("'") + time + "'");
    q->Execute();
    return q->Fetch() ? q->GetDouble("PP_VALUE") : -1.0;
  };
  const double before = value("2024-03-15 08:00:00");
  const double before10 = value("2024-03-15 10:00:00");
  {
    database::TConnection c;
    c.Open(ConnectionString(), "", "");
    // Late for 08:00 and 10:00, with 09:00 between them unchanged (logged), and one after
    // every threshold (not logged).
    c.ExecuteDirect(
        "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) VALUES ('ST1', 'WL', "
        "'2024-03-15 08:20:00', 10000), ('ST1', 'WL', '2024-03-15 10:20:00', 20000), ('ST1', "
        "'WL', '2024-03-15 11:30:00', 5)");
  }
  log_.Clear();
  const long checked = runner_->RecheckedWindows();
  EXPECT_TRUE(runner_->RunGroup(*group));
  EXPECT_EQ(runner_->RecheckedWindows(), checked + 2);
  EXPECT_EQ(group->ChangedRows, 2);
  EXPECT_NE(value("2024-03-15 08:00:00"), before);
  EXPECT_NE(value("2024-03-15 10:00:00"), before10);
  EXPECT_EQ(ResultRows().size(), 4u);
  EXPECT_NE(ReadConfig().find("ChangeLogID=2\r\n"), std::string::npos) << ReadConfig();
  const std::vector<std::string> q = log_.Queued();
  EXPECT_TRUE(std::any_of(q.begin(), q.end(), [](const std::string& m) {
    return m.find(
               "corrected readings changed 2 windows of ST1.WL (2 updated, 0 inserted, 0 "
               "deleted)") != std::string::npos;
  }));
  {
    database::TConnection c;
    c.Open(ConnectionString(), "", "");
    auto rows = c.Prepare("SELECT COUNT(*) AS N FROM VN_PPCHANGES");
    rows->Execute();
    ASSERT_TRUE(rows->Fetch());
    EXPECT_EQ(rows->GetDouble("N"), 0);  // the only group consumed it
  }
  // Nothing new: nothing checked again. The id survives a load.
  EXPECT_TRUE(runner_->RunGroup(*group));
  EXPECT_EQ(runner_->RecheckedWindows(), checked + 2);
  config::TConfiguration reloaded(home_, log_);
  reloaded.LoadConfiguration();
  EXPECT_EQ(reloaded.Groups()->Item(0).ChangeLogID, 2);
}

TEST(ChangeLogWindows, RangesBecomeTheWindowsThatHoldThem) {
  const common::TDateTime h = 1.0 / 24;
  const common::TDateTime s = h / 3600;
  const common::TDateTime day = At(2024, 3, 15);
  struct Case {
    const char* what;
    std::int32_t mode;
    bool delta;
    std::vector<std::pair<common::TDateTime, common::TDateTime>> ranges;
    std::vector<int> hours;  // window starts
  } cases[] = {
      {"inside", 0, false, {{day + 5.5 * h, day + 5.5 * h}}, {5}},
      {"start, mode 0", 0, false, {{day + 5 * h, day + 5 * h}}, {5}},
      {"start, mode 1", 1, false, {{day + 5 * h, day + 5 * h}}, {4}},
      {"start, mode 2", 2, false, {{day + 5 * h, day + 5 * h}}, {4, 5}},
      {"a millisecond before", 0, false, {{day + 5 * h - s / 1000, day + 5 * h - s / 1000}}, {4}},
      {"range", 0, false, {{day + 5.2 * h, day + 7.3 * h}}, {5, 6, 7}},
      {"merged",
       0,
       false,
       {{day + 6.1 * h, day + 6.2 * h}, {day + 5.1 * h, day + 5.5 * h}},
       {5, 6}},
      {"DELTA",
       0,
       true,
       {{day + 5.5 * h, day + 5.5 * h}, {day + 8.5 * h, day + 8.5 * h}},
       {5, 6, 8, 9}},
      {"DELTA at the progress", 0, true, {{day + 11.5 * h, day + 11.5 * h}}, {11}},
      {"after the progress", 0, false, {{day + 12 * h, day + 13 * h}}, {}},
      {"before the start", 0, false, {{day - 3 * h, day - 0.5 * h}}, {}},
      {"DELTA before the start", 0, true, {{day - 0.5 * h, day - 0.5 * h}}, {0}},
      {"across the start", 0, false, {{day - 30, day + 0.5 * h}}, {0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    config::TPostProcGroupItem group;
    group.TypeInterval = 0;
    group.BoundaryMode = c.mode;
    group.FuncName = c.delta ? "DELTA" : "AVG";
    config::TStationSensorInfoItem entry;
    entry.StartedFrom = day;
    entry.LastUpdate = day + 12 * h;
    std::vector<store::TChange> changes;
    for (const auto& [first, last] : c.ranges) changes.push_back({1, "ST1", "WL", first, last});
    TChangedWindows windows(group, entry, changes);
    std::vector<int> hours;
    // Two at a time: the windows come in batches.
    for (auto w = windows.Next(2); !w.empty(); w = windows.Next(2)) {
      EXPECT_LE(w.size(), 2u);
      for (const store::TWindowSpan& span : w) {
        EXPECT_NEAR(span.End - span.Start, h, s);
        hours.push_back(static_cast<int>(std::lround((span.Start - day) / h)));
      }
    }
    EXPECT_EQ(hours, c.hours);
  }
}

// The threshold a run raises first is the end of the last window that run computes.
TEST(ChangeLogWindows, ThresholdIsTheLastWindowEndOfTheRun) {
  config::TPostProcGroupItem group;
  group.TypeInterval = 0;
  group.BaseTime = 1.0 / 24 / 2;
  group.StartTime = group.WindowStart = At(2024, 3, 15, 10);
  config::TStationSensorInfoItem entry;
  const TRunLimit limits[] = {
      TRunLimit::ScheduledRun(), TRunLimit::ImmediateRun(At(2024, 3, 15, 14, 20)),
      TRunLimit::ImmediateRun(At(2024, 3, 15, 14)), TRunLimit::CatchUpRun(At(2024, 3, 15, 14, 20)),
      TRunLimit::CatchUpRun(At(2024, 3, 15, 14, 40))};
  for (const common::TDateTime progress : {0.0, At(2024, 3, 15, 7), At(2024, 3, 15, 20)}) {
    entry.LastUpdate = progress;
    for (const TRunLimit& limit : limits) {
      SCOPED_TRACE(std::to_string(progress) + " " + std::to_string(limit.Now));
      common::TDateTime last = progress;
      const TNextWindow next = WindowsOf(group, entry, limit);
      for (TWindow w; next(w);) last = w.End;
      EXPECT_NEAR(ThresholdOf(group, entry, limit), last, 1e-9);
    }
  }
}

TEST(GroupRunText, FormatsWindowStartAndValue) {
  EXPECT_EQ(FormatWindowStart(At(2024, 3, 15)), "03/15/2024");
  EXPECT_EQ(FormatWindowStart(At(2024, 3, 15, 7, 30)), "03/15/2024 07:30:00");
  EXPECT_EQ(FormatResultValue(2.5), "2.5");
  EXPECT_EQ(FormatResultValue(1.0 / 3.0), "0.333333333333333");
  EXPECT_EQ(FormatResultValue(-5), "-5");
  EXPECT_EQ(FormatResultValue(1e20), "1E20");
}

}  // namespace
}  // namespace vnpp::processing
