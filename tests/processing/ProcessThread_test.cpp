#include "processing/ProcessThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "processing/Processing.h"
#include "support/ProcessingFixture.h"

namespace vnpp::processing {
namespace {

using testing::At;
using testing::TRecordingLog;

class TRecordingStatus : public IStatusSink {
 public:
  void ShowNextGroup(const std::string& groupText, common::TDateTime) override {
    std::lock_guard<std::mutex> lock(mu_);
    shown.push_back(groupText);
  }
  std::vector<std::string> Shown() {
    std::lock_guard<std::mutex> lock(mu_);
    return shown;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> shown;
};

// Waits (in real time, bounded) until pred holds; the thread under test runs on its own.
template <typename Pred>
bool Eventually(Pred pred) {
  for (int i = 0; i < 2000; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

class ProcessThreadTest : public testing::ProcessingFixture {
 protected:
  void Start() {
    config_ = std::make_unique<config::TConfiguration>(home_, log_);
    processing_ = std::make_unique<TProcessing>(*config_, database_, log_, status_, [] {});
    processing_->StartProcessing();
    ASSERT_TRUE(Eventually([&] { return processing_->Loaded(); }));
  }

  size_t Count(const std::string& message) {
    size_t n = 0;
    for (const auto& m : log_.Queued()) n += m == message ? 1 : 0;
    return n;
  }

  common::FakeClock clock_{At(2024, 3, 15, 10, 30)};
  common::ScopedClockOverride clockOverride_{clock_};
  TRecordingLog log_;
  TRecordingStatus status_;
  database::TDatabase database_{[](const std::string&) {}};
  std::unique_ptr<config::TConfiguration> config_;
  std::unique_ptr<TProcessing> processing_;
};

constexpr const char* kTwoHourlyGroups =
    "[PostProcess]\r\nGroupNames=A,B,C\r\nLogDetail=1\r\n"
    "[A]\r\nFuncName=MIN\r\nEnabled=0\r\n"
    "[B]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\nStartFrom=03/15/2024 09:00:00\r\n"
    "POLLNumber=1\r\nPOLL1=ST1.WL\r\n"
    "[C]\r\nFuncName=MAX\r\nEnabled=1\r\nTypeInterval=0\r\nStartFrom=03/15/2024 09:00:00\r\n"
    "POLLNumber=1\r\nPOLL1=ST1.WL\r\n";

TEST_F(ProcessThreadTest, DueGroupsRunBackToBackAndStartFromSurvivesTheStop) {
  WriteConfig(kTwoHourlyGroups);
  Start();
  // Held back until the first boundary after start-up.
  EXPECT_EQ(processing_->NextPollGroup(), "2");
  EXPECT_DOUBLE_EQ(processing_->NextPollTime(), At(2024, 3, 15, 11));
  EXPECT_EQ(Count("PollGroup 2: AVG - Retrieve data..."), 0u);

  clock_.Set(At(2024, 3, 15, 11));
  // Each group catches up from its saved start, one pass per period: the periods ending
  // 09:00, 10:00 and 11:00, without waiting between the runs.
  ASSERT_TRUE(Eventually([&] {
    return Count("PollGroup 2: AVG - Retrieve data...") == 3 &&
           Count("PollGroup 3: MAX - Retrieve data...") == 3;
  }));
  EXPECT_TRUE(Eventually([&] { return processing_->NextPollTime() == At(2024, 3, 15, 12); }));
  processing_->StopProcessing();

  const std::string file = ReadConfig();
  EXPECT_NE(file.find("[B]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\n"
                      "StartFrom=03/15/2024 12:00:00\r\n"),
            std::string::npos)
      << file;
  EXPECT_NE(file.find("[A]\r\nFuncName=MIN\r\nEnabled=0\r\n"), std::string::npos) << file;
  EXPECT_EQ(log_.Written().back(), "Post processing service stopped.");
  EXPECT_FALSE(processing_->IsProcessing());
}

TEST_F(ProcessThreadTest, NoEnabledGroupPublishesNothingAndStopsPromptly) {
  WriteConfig("[PostProcess]\r\nGroups=1\r\n[PostProcessGroup:1]\r\nEnabled=0\r\n");
  Start();
  EXPECT_TRUE(processing_->IsProcessing());
  processing_->StopProcessing();
  EXPECT_TRUE(status_.Shown().empty());
  EXPECT_EQ(processing_->NextPollGroup(), "");
  EXPECT_EQ(processing_->NextPollTime(), 0);
}

TEST_F(ProcessThreadTest, RequestedGroupRunsOncePerRequestAndIndexIsChecked) {
  WriteConfig(kTwoHourlyGroups);
  Start();
  processing_->RunProcessGroup(-1);
  processing_->RunProcessGroup(3);
  processing_->RunProcessGroup(1);
  processing_->RunProcessGroup(1);
  ASSERT_TRUE(Eventually([&] {
    return Count("PollGroup 2: AVG - Retrieve data...") == 2 && !processing_->DemandBusy();
  }));
  EXPECT_EQ(Count("PollGroup 3: MAX - Retrieve data..."), 0u);
  processing_->StopProcessing();
  // The immediate run brought StartTime up to the moment the request was taken.
  EXPECT_NE(ReadConfig().find("StartFrom=03/15/2024 10:30:00"), std::string::npos);
}

TEST_F(ProcessThreadTest, DisabledGroupRequestedAtOnceProcessesNoWindow) {
  WriteConfig(kTwoHourlyGroups);
  Start();
  processing_->RunProcessGroup(0);
  ASSERT_TRUE(Eventually([&] {
    return Count("PollGroup 1: MIN - Retrieve data...") == 1 && !processing_->DemandBusy();
  }));
  processing_->StopProcessing();
  for (const std::string& m : log_.Queued()) EXPECT_EQ(m.find("Data for"), std::string::npos) << m;
}

// An hourly group whose one entry has no progress yet, on a database that may be missing.
constexpr const char* kOneNewEntry =
    "[PostProcess]\r\nGroups=1\r\nLogDetail=1\r\n"
    "[PostProcessGroup:1]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\n"
    "StartFrom=03/15/2024 06:00:00\r\nPOLLNumber=1\r\nPOLL1=ST1.WL\r\n";

// A failed immediate run must not move the schedule past the entries it did not bring up:
// the next run, with the database back, computes the whole backlog.
TEST_F(ProcessThreadTest, FailedImmediateRunKeepsTheBacklogForTheNextRun) {
  std::filesystem::remove(dbFile_);  // NoCreat: every connection fails
  WriteConfig(kOneNewEntry);
  Start();
  processing_->RunProcessGroup(0);
  ASSERT_TRUE(Eventually([&] { return !processing_->DemandBusy(); }));
  processing_->StopProcessing();
  EXPECT_EQ(processing_->IncompleteRuns(), 1);
  EXPECT_NE(ReadConfig().find("StartFrom=03/15/2024 06:00:00"), std::string::npos) << ReadConfig();

  CreateDatabase();
  AddReadings("ST1", "WL", At(2024, 3, 15, 5), At(2024, 3, 15, 11));
  Start();
  processing_->RunProcessGroup(0);
  ASSERT_TRUE(Eventually([&] { return !processing_->DemandBusy(); }));
  processing_->StopProcessing();
  EXPECT_EQ(processing_->IncompleteRuns(), 0);
  // 05:00 (the period that ends at the start), then up to the hour before 11:00.
  EXPECT_EQ(ResultRows().size(), 5u);
}

// Scheduled runs move on even when the database is down; an entry without progress keeps
// the start it was first scheduled with, in memory and in the saved StartFrom.
TEST_F(ProcessThreadTest, ScheduledRunsOnADownDatabaseSkipNoWindowOfANewEntry) {
  std::filesystem::remove(dbFile_);
  WriteConfig(kOneNewEntry);
  Start();
  clock_.Set(At(2024, 3, 15, 11, 0, 30));
  ASSERT_TRUE(Eventually([&] { return processing_->NextPollTime() == At(2024, 3, 15, 12); }));
  processing_->StopProcessing();
  EXPECT_NE(ReadConfig().find("StartFrom=03/15/2024 06:00:00"), std::string::npos) << ReadConfig();

  CreateDatabase();
  AddReadings("ST1", "WL", At(2024, 3, 15, 5), At(2024, 3, 15, 13));
  Start();
  clock_.Set(At(2024, 3, 15, 12, 0, 30));
  ASSERT_TRUE(Eventually([&] { return processing_->NextPollTime() == At(2024, 3, 15, 13); }));
  processing_->StopProcessing();
  // Every hour from 05:00 to 12:00, each once.
  EXPECT_EQ(ResultRows().size(), 7u);
  EXPECT_NE(ReadConfig().find("POLLUpdate1=03/15/2024 12:00:00"), std::string::npos);
}

// The group held as the next one is run at once after its due time has passed: its new due
// time must reach the queue, or an hourly group waits a day behind a daily one.
TEST_F(ProcessThreadTest, ImmediateRunOfTheNextGroupLetsTheOthersThrough) {
  clock_.Set(At(2024, 3, 15, 23, 30));
  WriteConfig(
      "[PostProcess]\r\nGroups=2\r\nLogDetail=1\r\n"
      "[PostProcessGroup:1]\r\nFuncName=SUM\r\nEnabled=1\r\nTypeInterval=3\r\n"
      "StartFrom=03/15/2024 00:00:00\r\n"
      "[PostProcessGroup:2]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\n"
      "BaseTime=00:05:00\r\nStartFrom=03/15/2024 23:00:00\r\n");
  Start();
  EXPECT_EQ(processing_->NextPollGroup(), "1");
  clock_.Set(At(2024, 3, 16, 0, 2));
  processing_->RunProcessGroup(0);
  ASSERT_TRUE(Eventually([&] { return !processing_->DemandBusy(); }));
  EXPECT_TRUE(Eventually([&] { return processing_->NextPollGroup() == "2"; }));
  EXPECT_DOUBLE_EQ(processing_->NextPollTime(), At(2024, 3, 16, 0, 5));
  processing_->StopProcessing();
}

TEST_F(ProcessThreadTest, ClockGoingBackIsLogged) {
  WriteConfig(kTwoHourlyGroups);
  Start();
  clock_.Set(At(2024, 3, 15, 10, 29, 58));
  ASSERT_TRUE(Eventually([&] {
    for (const auto& m : log_.Queued()) {
      if (m.rfind("Warning: the system clock went back from 03/15/2024 10:30:00", 0) == 0) {
        return true;
      }
    }
    return false;
  }));
  processing_->StopProcessing();
}

}  // namespace
TEST_F(ProcessThreadTest, StartFromOutsideTheSupportedRangeIsReportedAndNowIsUsed) {
  WriteConfig(
      "[PostProcess]\r\nGroupNames=Old,Fine\r\n"
      "[Old]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\nStartFrom=06/01/1950 00:00:00\r\n"
      "[Fine]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\nStartFrom=03/15/2024 09:00:00\r\n");
  Start();
  EXPECT_EQ(Count("Error 1500: StartFrom 06/01/1950 00:00:00 of group Old is outside 01/01/1985 "
                  "to 01/18/2053; the current time is used."),
            1u);
  const config::TPostProcGroupItem& old = config_->Groups()->Item(0);
  EXPECT_DOUBLE_EQ(old.StartTime, At(2024, 3, 15, 10, 30));
  EXPECT_DOUBLE_EQ(old.WindowEnd, At(2024, 3, 15, 11));
  processing_->StopProcessing();
}

TEST_F(ProcessThreadTest, FailedSavingOfStartFromIsLogged) {
  WriteConfig(kTwoHourlyGroups);
  Start();
  // The file becomes something that cannot be replaced.
  const std::string path = home_ + "VNPostProc.VFG";
  std::filesystem::remove(path);
  std::filesystem::create_directory(path);
  processing_->StopProcessing();
  EXPECT_EQ(Count("Error 1500: Unable to write to " + path + ": Is a directory"), 1u);
}

}  // namespace vnpp::processing

namespace vnpp::processing {
namespace {

// Two entries of one hourly group (the second without readings) and a disabled group.
constexpr const char* kStatusGroups =
    "[PostProcess]\r\nGroupNames=Levels,Spare\r\nLogDetail=1\r\n"
    "[Levels]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\n"
    "StartFrom=03/15/2024 06:00:00\r\nPOLLNumber=2\r\nPOLL1=ST1.WL\r\nPOLL2=ST2.WL\r\n"
    "POLLUpdate2=03/15/2024 08:00:00\r\n"
    "[Spare]\r\nFuncName=MAX\r\nEnabled=0\r\n";

// The operators' view: the snapshot follows loading, each finished run and the stop, and
// every finished run is reported with its windows, rows, failed entries and database errors,
// which its progress reports add up to.
TEST_F(ProcessThreadTest, GroupStatusAndRunReportsFollowTheRuns) {
  std::mutex mu;
  std::vector<TGroupRunReport> reports;
  TGroupRunReport progress;  // the sum of the progress reports
  TProcessEvents events;
  events.GroupRunFinished = [&](const TGroupRunReport& r) {
    std::lock_guard<std::mutex> lock(mu);
    reports.push_back(r);
  };
  events.RunProgress = [&](const TGroupRunReport& r) {
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(r.SectionName, "Levels");
    progress.Windows += r.Windows;
    progress.Rows += r.Rows;
    progress.FailedEntries += r.FailedEntries;
    progress.DatabaseErrors += r.DatabaseErrors;
  };
  auto Reports = [&] {
    std::lock_guard<std::mutex> lock(mu);
    return reports;
  };
  auto Progress = [&] {
    std::lock_guard<std::mutex> lock(mu);
    return progress;
  };
  AddReadings("ST1", "WL", At(2024, 3, 15, 5), At(2024, 3, 15, 11));
  WriteConfig(kStatusGroups);
  config_ = std::make_unique<config::TConfiguration>(home_, log_);
  processing_ = std::make_unique<TProcessing>(
      *config_, database_, log_, status_, [] {}, std::move(events));
  processing_->StartProcessing();
  ASSERT_TRUE(Eventually([&] { return processing_->Loaded(); }));

  std::vector<TGroupStatus> rows = processing_->GroupStatus();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].Index, 0);
  EXPECT_EQ(rows[0].SectionName, "Levels");
  EXPECT_TRUE(rows[0].Enabled);
  EXPECT_EQ(rows[0].FuncName, "AVG");
  EXPECT_DOUBLE_EQ(rows[0].NextDue, At(2024, 3, 15, 11));
  EXPECT_DOUBLE_EQ(rows[0].Period, 1.0 / 24);
  // The entry without progress starts at the group's first period, 05:00.
  EXPECT_DOUBLE_EQ(rows[0].OldestLastUpdate, At(2024, 3, 15, 5));
  EXPECT_EQ(rows[0].LastRunEnd, 0);
  EXPECT_EQ(rows[1].Index, 1);
  EXPECT_FALSE(rows[1].Enabled);
  EXPECT_EQ(rows[1].NextDue, 0);

  clock_.Set(At(2024, 3, 15, 10, 40));
  processing_->RunProcessGroup(0);
  ASSERT_TRUE(Eventually([&] { return Reports().size() == 1 && !processing_->DemandBusy(); }));
  // ST1 05:00 .. 10:00 and ST2 08:00 .. 10:00 (no readings there is no failure).
  EXPECT_EQ(Reports()[0].Index, 0);
  // Five windows each, 05:00 to 09:00; ST2 starts at the group's period like ST1, and its
  // windows without readings count as computed though they store no row.
  EXPECT_EQ(Reports()[0].Windows, 10);
  EXPECT_EQ(Reports()[0].FailedEntries, 0);
  EXPECT_EQ(Reports()[0].Rows, 5);  // ST2's windows have no readings
  EXPECT_EQ(Reports()[0].DatabaseErrors, 0);
  EXPECT_EQ(Reports()[0].SectionName, "Levels");
  EXPECT_EQ(Reports()[0].FuncName, "AVG");
  EXPECT_DOUBLE_EQ(Reports()[0].End, At(2024, 3, 15, 10, 40));
  EXPECT_EQ(Progress().Windows, 10);
  EXPECT_EQ(Progress().Rows, 5);
  rows = processing_->GroupStatus();
  EXPECT_DOUBLE_EQ(rows[0].LastRunEnd, At(2024, 3, 15, 10, 40));
  EXPECT_DOUBLE_EQ(rows[0].OldestLastUpdate, At(2024, 3, 15, 10));
  EXPECT_EQ(rows[0].LastRunFailedEntries, 0);

  // The scheduled run of the next hour, without the database: both entries fail.
  std::filesystem::remove(dbFile_);
  clock_.Set(At(2024, 3, 15, 11, 50));
  ASSERT_TRUE(Eventually([&] { return Reports().size() == 2; }));
  EXPECT_EQ(Reports()[1].Index, 0);
  EXPECT_EQ(Reports()[1].Windows, 0);
  EXPECT_EQ(Reports()[1].FailedEntries, 2);
  EXPECT_EQ(Reports()[1].DatabaseErrors, 2);  // each entry's first query
  EXPECT_EQ(Progress().Windows, 10);
  EXPECT_EQ(Progress().FailedEntries, 2);
  EXPECT_EQ(Progress().DatabaseErrors, 2);
  rows = processing_->GroupStatus();
  EXPECT_DOUBLE_EQ(rows[0].LastRunEnd, At(2024, 3, 15, 11, 50));
  EXPECT_EQ(rows[0].LastRunFailedEntries, 2);
  EXPECT_DOUBLE_EQ(rows[0].NextDue, At(2024, 3, 15, 12, 0));

  processing_->StopProcessing();
  rows = processing_->GroupStatus();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].NextDue, 0);  // nothing is scheduled while stopped
  EXPECT_DOUBLE_EQ(rows[0].LastRunEnd, At(2024, 3, 15, 11, 50));
  EXPECT_EQ(rows[0].LastRunFailedEntries, 2);
}

}  // namespace
}  // namespace vnpp::processing
