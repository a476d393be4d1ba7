#include "host/Journal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <vector>

#include "common/Clock.h"
#include "common/Log.h"
#include "config/IniFile.h"
#include "database/Database.h"
#include "host/MessageLog.h"
#include "support/HostTestSupport.h"

namespace vnpp::host {
namespace {

TEST(Journal, ClassifiesPriorityAndGroupNumber) {
  const struct {
    const char* message;
    int priority;
    std::optional<int> group;
  } cases[] = {
      {"PollGroup 3: AVG - Retrieve data...", 6, 3},
      {"PollGroup 12: Finished.", 6, 12},
      {"PollGroup AVG: Finished.", 6, std::nullopt},
      {"PollGroup 3 without colon", 6, std::nullopt},
      {"PollGroup 3", 6, std::nullopt},
      {"PollGroup : x", 6, std::nullopt},
      {"PollGroup 1234567890: x", 6, std::nullopt},
      {"  PollGroup 3: x", 6, std::nullopt},
      {"Error 1500: PollGroup 3: boom", 3, std::nullopt},
      {"Error 1500: ", 3, std::nullopt},
      {"Error 1501: Unable to connect to database.", 3, std::nullopt},
      {"Error 1502: not one of ours", 6, std::nullopt},
      {" Database NOT connected.", 6, std::nullopt},  // a warning where it is made
      {"Warning: the configuration file /x/VNPostProc.VFG does not exist; there are no groups to "
       "process.",
       4, std::nullopt},
      {"Post processing service started.", 6, std::nullopt},
      {"", 6, std::nullopt},
  };
  for (const auto& c : cases) {
    const TJournalFields fields = ClassifyLogMessage(c.message);
    EXPECT_EQ(fields.Priority, c.priority) << c.message;
    EXPECT_EQ(fields.Group, c.group) << c.message;
  }
}

class RecordingJournal final : public IJournal {
 public:
  void Send(const std::string& message, const TJournalFields& fields) noexcept override {
    std::lock_guard<std::mutex> lock(mu_);
    entries.emplace_back(message, fields);
  }
  std::mutex mu_;
  std::vector<std::pair<std::string, TJournalFields>> entries;
};

TEST(Journal, EveryMessageReachesTheJournalAndTheFileLinesStayAsTheyWere) {
  testing::TempDir dir;
  std::filesystem::create_directory(dir / "LogFiles");
  common::FakeClock clock(common::EncodeDateTime(2026, 12, 7, 6, 49, 19));
  common::ScopedClockOverride over(clock);
  const std::string withJournal = dir / "LogFiles/a.log";
  const std::string without = dir / "LogFiles/b.log";
  RecordingJournal journal;
  TMessageLog a, b;
  a.SetJournal(&journal);
  for (TMessageLog* log : {&a, &b}) {
    log->SetLogFileName(log == &a ? withJournal : without);
    log->SetLogMessage(true);
    log->CreateMessageQueue();
    log->WriteLog("PollGroup 2: SUM - Retrieve data...");
    log->QueueMessage("Error 1500: disk full");
    log->DrainMessageQueue();
    log->SetLogMessage(false);  // the file stops; the journal, like the broadcast, does not
    log->WriteLog(common::kMsgServiceStopped);
  }
  EXPECT_EQ(testing::ReadFile(withJournal), testing::ReadFile(without));
  EXPECT_EQ(testing::ReadFile(withJournal),
            "12/07/2026 06:49:19    PollGroup 2: SUM - Retrieve data...\r\n"
            "12/07/2026 06:49:19    Error 1500: disk full\r\n");
  using Entry = std::pair<std::string, TJournalFields>;
  const std::vector<Entry> expected = {
      {"PollGroup 2: SUM - Retrieve data...", {6, 2}},
      {"Error 1500: disk full", {3, std::nullopt}},
      {"Post processing service stopped.", {6, std::nullopt}},
  };
  EXPECT_EQ(journal.entries, expected);
}

// A warning is classified where it is made, whatever its text: the database settings' " Database
// NOT connected." (its data source name in front) reaches the journal as a warning.
TEST(Journal, WarningsMadeElsewhereKeepTheirPriority) {
  testing::TempDir dir;
  testing::ScopedEnv registry("VNPPSVC_REGISTRY", dir / "no-registry.reg");
  RecordingJournal journal;
  TMessageLog log;
  log.SetJournal(&journal);
  config::TIniFile profile(dir / "none.VFG");
  profile.Load();
  database::TDatabase db([](const std::string&) {});
  db.LoadDatabaseSettings(profile, log);
  using Entry = std::pair<std::string, TJournalFields>;
  EXPECT_EQ(journal.entries, (std::vector<Entry>{{" Database NOT connected.", {4, std::nullopt}}}));
}

// The per-window lines of LogDetail 2 are limited per period; errors, warnings and the lines of
// LogDetail 1 always pass, and the next period begins with the count of lines left out.
TEST(Journal, LimiterLeavesOutOnlyPerWindowLinesAndSaysHowMany) {
  auto inner = std::make_unique<RecordingJournal>();
  RecordingJournal& journal = *inner;
  std::int64_t now = 1000;
  TJournalLimiter limiter(std::move(inner), 2, std::chrono::nanoseconds(100), [&] { return now; });
  const std::string window = "Data for \"ST1.WL\" at \"03/05/2024 07:00:00\", 4.5";
  for (int i = 0; i < 5; ++i) {
    limiter.Send(window, {6, std::nullopt});
    limiter.Send("PollGroup 1: AVG - Retrieve data...", {6, 1});
    limiter.Send("Error 1500: Data for nothing", {3, std::nullopt});
  }
  EXPECT_EQ(journal.entries.size(), 2u + 5u + 5u);
  now += 100;
  limiter.Send(window, {6, std::nullopt});
  ASSERT_EQ(journal.entries.size(), 14u);
  EXPECT_EQ(journal.entries[12].first.rfind("3 per-window messages were left out", 0), 0u)
      << journal.entries[12].first;
  EXPECT_EQ(journal.entries[13].first, window);
}

}  // namespace
}  // namespace vnpp::host
