#include "host/Journal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <vector>

#include "common/Clock.h"
#include "common/Log.h"
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
      {"Database NOT connected.", 4, std::nullopt},
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

}  // namespace
}  // namespace vnpp::host
