#include "host/MessageLog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <future>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/Clock.h"
#include "common/Regional.h"
#include "common/UniqueFd.h"
#include "support/HostTestSupport.h"

namespace vnpp::host {
namespace {

using testing::ReadFile;
using testing::RecordingSink;
using testing::TempDir;

const common::TDateTime kMorning = common::EncodeDateTime(2026, 12, 7, 6, 49, 19, 730);

class MessageLogTest : public ::testing::Test {
 protected:
  MessageLogTest() : clockOverride_(clock_) {
    std::filesystem::create_directory(dir_ / "LogFiles");
    log_.SetLogFileName(LogPath());
    log_.SetLogMessage(true);
  }
  ~MessageLogTest() override { common::SetRegionalSettings(common::TRegionalSettings{}); }
  std::string LogPath() const { return dir_ / "LogFiles/VNPostProc.log"; }

  TempDir dir_;
  common::FakeClock clock_{kMorning};
  common::ScopedClockOverride clockOverride_;
  TMessageLog log_;
};

TEST_F(MessageLogTest, WritesStampFourBlanksMessageAndCrLfWithRegionalSeparators) {
  struct Case {
    common::TRegionalSettings regional;
    const char* line;
  } cases[] = {
      {{'/', ':', '.'}, "12/07/2026 06:49:19    Startup parameters loaded.\r\n"},
      {{'.', '-', ','}, "12.07.2026 06-49-19    Startup parameters loaded.\r\n"},
  };
  for (const Case& c : cases) {
    common::SetRegionalSettings(c.regional);
    std::filesystem::remove(LogPath());
    log_.WriteLog(common::kMsgStartupLoaded);
    EXPECT_EQ(ReadFile(LogPath()), c.line);
  }
}

TEST_F(MessageLogTest, AppendsToAnExistingFileAndEchoesEachLineWithLf) {
  testing::WriteFile(LogPath(), "old line\r\n");
  const common::UniqueFd echo(::open((dir_ / "echo").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
  log_.SetEchoFd(echo.Get());
  log_.WriteLog("first");
  clock_.AdvanceSeconds(61);
  log_.WriteLog("second");
  EXPECT_EQ(ReadFile(LogPath()),
            "old line\r\n12/07/2026 06:49:19    first\r\n12/07/2026 06:50:20    second\r\n");
  EXPECT_EQ(ReadFile(dir_ / "echo"),
            "12/07/2026 06:49:19    first\n12/07/2026 06:50:20    second\n");
}

TEST_F(MessageLogTest, ErrorPrefixWithEmptyTextIsLoggedAsThePrefixAlone) {
  log_.WriteLog(common::kMsgErrorPrefix + std::string());
  EXPECT_EQ(ReadFile(LogPath()), "12/07/2026 06:49:19    Error 1500: \r\n");
}

// The directory deleted while the program runs: the lines are lost and that is said once,
// as for a full disk; once the directory is back, the log goes on.
TEST_F(MessageLogTest, MissingLogFilesDirectoryIsReportedOnceAndTheLogGoesOnWhenItIsBack) {
  std::vector<std::string> reports;
  log_.SetFailureReport([&](const std::string& text) { reports.push_back(text); });
  RecordingSink sink;
  log_.SetEventSink(&sink);
  log_.WriteLog("before");
  std::filesystem::remove_all(dir_ / "LogFiles");
  log_.WriteLog("lost");
  log_.AppendLogLine("also lost");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "LogFiles")) << "never created";
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find(LogPath() + ": " + std::strerror(ENOENT)), std::string::npos)
      << reports[0];
  std::filesystem::create_directory(dir_ / "LogFiles");
  log_.WriteLog("back");
  EXPECT_EQ(ReadFile(LogPath()), "12/07/2026 06:49:19    back\r\n");
  std::filesystem::remove_all(dir_ / "LogFiles");
  log_.WriteLog("lost again");
  EXPECT_EQ(reports.size(), 2u) << "a new failure after a good write";
  EXPECT_EQ(sink.Events().size(), 4u) << "every message is still broadcast";
}

// A line that a failed write (or a killed process) left without its end is ended before the
// next process's first line, which would otherwise be glued to it.
TEST_F(MessageLogTest, FileLeftInsideALineGetsTheLineEndBeforeTheNextLine) {
  const struct {
    const char* before;
    const char* after;
  } cases[] = {
      {"old line\r\ncut line", "old line\r\ncut line\r\n"},
      {"old line\r\ncut line\r", "old line\r\ncut line\r\n"},
      {"old line\r\n", "old line\r\n"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    testing::WriteFile(LogPath(), c.before);
    TMessageLog next;
    next.SetLogFileName(LogPath());
    next.SetLogMessage(true);
    next.WriteLog("first of the next process");
    EXPECT_EQ(ReadFile(LogPath()),
              std::string(c.after) + "12/07/2026 06:49:19    first of the next process\r\n");
  }
}

// A full disk, made with the file size limit (which holds for root too): a write that
// crosses it is cut short, the next one fails with EFBIG.
TEST_F(MessageLogTest, FailedAppendIsReportedOnceAndTheNextLineStartsAFreshLine) {
  testing::WriteFile(LogPath(), "old line\r\n");
  std::vector<std::string> reports;
  log_.SetFailureReport([&](const std::string& text) { reports.push_back(text); });
  struct Step {
    std::optional<off_t> room;  // bytes the file may still grow by; nullopt: no limit
    const char* message;
    size_t reportsAfter;
  };
  const Step steps[] = {
      {30, "first line, cut after thirty bytes", 1},
      {0, "lost entirely", 1},  // still the same failure: not reported again
      {std::nullopt, "written on a fresh line", 1},
      {0, "lost after a success", 2},
      {std::nullopt, "next", 2},
  };
  struct rlimit unlimited {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
  const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  for (const Step& step : steps) {
    if (step.room) {
      struct rlimit limit = unlimited;
      limit.rlim_cur = static_cast<rlim_t>(std::filesystem::file_size(LogPath()) + *step.room);
      ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    log_.WriteLog(step.message);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &unlimited), 0);
    EXPECT_EQ(reports.size(), step.reportsAfter) << step.message;
  }
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(ReadFile(LogPath()),
            "old line\r\n"
            "12/07/2026 06:49:19    first l\r\n"
            "12/07/2026 06:49:19    written on a fresh line\r\n"
            "12/07/2026 06:49:19    next\r\n");
  for (const std::string& report : reports) {
    EXPECT_NE(report.find(LogPath()), std::string::npos) << report;
    EXPECT_NE(report.find(std::strerror(EFBIG)), std::string::npos) << report;
  }
}

TEST_F(MessageLogTest, LogMessageOffTouchesNoFileButBroadcasts) {
  log_.SetLogMessage(false);
  RecordingSink sink;
  log_.SetEventSink(&sink);
  log_.WriteLog("only broadcast");
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
  ASSERT_EQ(sink.Events().size(), 1u);
  EXPECT_EQ(sink.Events()[0].Data, "only broadcast");
  // Per-window lines reach the bus at a bounded rate (a catch-up at LogDetail 2 makes
  // thousands a second); every other line does.
  for (int i = 0; i < TMessageLog::kBroadcastDetailBudget + 200; ++i) {
    log_.WriteLog("Data for \"ST1.WL\" at \"03/05/2024 07:00:00\", 4.5");
  }
  log_.WriteLog("Error 1500: still broadcast");
  ASSERT_EQ(sink.Events().size(), 1u + TMessageLog::kBroadcastDetailBudget + 1u);
  EXPECT_EQ(sink.Events().back().Data, "Error 1500: still broadcast");
}

class ThrowingSink final : public common::IEventSink {
 public:
  void SetItemChange(const std::string&, const std::string&, const std::string&) override {
    throw std::runtime_error("client gone");
  }
  void AppShutdown(const std::string&) override {}
};

TEST_F(MessageLogTest, FailingBroadcastKeepsTheFileLineAndDoesNotReachTheCaller) {
  ThrowingSink sink;
  log_.SetEventSink(&sink);
  EXPECT_NO_THROW(log_.WriteLog("kept"));
  EXPECT_EQ(ReadFile(LogPath()), "12/07/2026 06:49:19    kept\r\n");
}

TEST_F(MessageLogTest, QueuedMessagesAreWrittenInQueueOrderWithTheTimeOfTheDrain) {
  log_.QueueMessage("dropped: no queue yet");
  log_.CreateMessageQueue();
  log_.QueueMessage("one");
  log_.QueueMessage("two");
  log_.QueueMessage("three");
  EXPECT_FALSE(std::filesystem::exists(LogPath()));  // nothing before the timer runs
  clock_.AdvanceSeconds(1);
  log_.DrainMessageQueue();
  log_.DrainMessageQueue();  // the queue is empty now
  EXPECT_EQ(ReadFile(LogPath()),
            "12/07/2026 06:49:20    one\r\n"
            "12/07/2026 06:49:20    two\r\n"
            "12/07/2026 06:49:20    three\r\n");
}

TEST_F(MessageLogTest, FreeingTheQueueDiscardsItsEntries) {
  log_.CreateMessageQueue();
  log_.QueueMessage("discarded");
  log_.FreeMessageQueue();
  log_.QueueMessage("dropped");
  log_.DrainMessageQueue();
  EXPECT_FALSE(log_.HasMessageQueue());
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
}

TEST_F(MessageLogTest, TwoThreadsWritingAtOnceNeverTearALine) {
  constexpr int kLines = 1000;
  const common::UniqueFd echo(::open((dir_ / "echo").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
  log_.SetEchoFd(echo.Get());
  const std::string padding(100, 'x');
  auto writer = [&](char id) {
    for (int i = 0; i < kLines; ++i) log_.WriteLog(std::string(1, id) + padding);
  };
  std::thread a(writer, 'A');
  std::thread b(writer, 'B');
  a.join();
  b.join();

  const std::string stamp = "12/07/2026 06:49:19    ";
  for (const auto& [path, end] :
       {std::pair{LogPath(), std::string("\r\n")}, std::pair{dir_ / "echo", std::string("\n")}}) {
    const std::string text = ReadFile(path);
    int count[2] = {0, 0};
    size_t pos = 0;
    while (pos < text.size()) {
      const size_t eol = text.find(end, pos);
      ASSERT_NE(eol, std::string::npos) << path;
      const std::string line = text.substr(pos, eol - pos);
      ASSERT_TRUE(line == stamp + "A" + padding || line == stamp + "B" + padding)
          << path << ": " << line;
      ++count[line[stamp.size()] - 'A'];
      pos = eol + end.size();
    }
    EXPECT_EQ(count[0], kLines) << path;
    EXPECT_EQ(count[1], kLines) << path;
  }
}

}  // namespace
}  // namespace vnpp::host

namespace vnpp::host {
namespace {

using testing::BlockingSink;

// A client slow for seconds holds up the drain that broadcasts to it, but never the
// processing thread's next message or its status captions.
TEST_F(MessageLogTest, SlowBroadcastDuringADrainHoldsUpNeitherQueueNorCaptions) {
  BlockingSink sink;
  log_.SetEventSink(&sink);
  log_.CreateMessageQueue();
  log_.QueueMessage("first");
  sink.Arm();
  std::thread drain([&] { log_.DrainMessageQueue(); });
  ASSERT_TRUE(sink.WaitBlocked(std::chrono::seconds(10)));
  auto processingThread = std::async(std::launch::async, [&] {
    log_.QueueMessage("second");
    common::MutexLock captions(log_.MessageQueueLock());
  });
  const bool wentOn =
      processingThread.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  sink.Release();
  drain.join();
  EXPECT_TRUE(wentOn) << "the processing thread waited for a client";
  log_.DrainMessageQueue();
  EXPECT_EQ(sink.Items(), (std::vector<std::string>{"MESSAGE:first", "MESSAGE:second"}));
}

// Two drains at once (the timer and a stop of processing) write in queue order: the second
// waits for the first instead of overtaking it.
TEST_F(MessageLogTest, ConcurrentDrainsKeepTheQueueOrder) {
  BlockingSink sink;
  log_.SetEventSink(&sink);
  log_.CreateMessageQueue();
  log_.QueueMessage("1");
  log_.QueueMessage("2");
  sink.Arm();
  std::thread first([&] { log_.DrainMessageQueue(); });
  ASSERT_TRUE(sink.WaitBlocked(std::chrono::seconds(10)));  // "1" written, held in its broadcast
  log_.QueueMessage("3");
  log_.QueueMessage("4");
  std::thread second([&] { log_.DrainMessageQueue(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  sink.Release();
  first.join();
  second.join();
  std::vector<std::string> messages;
  std::istringstream lines(ReadFile(LogPath()));
  for (std::string line; std::getline(lines, line);) messages.push_back(line.substr(23, 1));
  EXPECT_EQ(messages, (std::vector<std::string>{"1", "2", "3", "4"}));
}

}  // namespace
}  // namespace vnpp::host
