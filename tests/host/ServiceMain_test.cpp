#include "host/ServiceMain.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "common/Clock.h"
#include "common/Error.h"
#include "common/UniqueFd.h"
#include "host/Startup.h"
#include "processing/Processing.h"
#include "support/HostTestSupport.h"

namespace vnpp::host {
namespace {

using testing::ReadFile;
using testing::RecordingSink;
using testing::ScopedEnv;
using testing::TempDir;
using Event = RecordingSink::Event;

class ServiceMainTest : public ::testing::Test {
 protected:
  ServiceMainTest() : home_("VNPPSVC_HOME", dir_.Path()) {
    Process().ShuttingDown.store(false);
    std::filesystem::create_directory(dir_ / "LogFiles");
  }
  ~ServiceMainTest() override { Process().ShuttingDown.store(false); }

  // Creation starts the processing thread, which loads the (absent) configuration and
  // logs as it does. Waits for that to end, then forgets its messages.
  void Settle(TfrmServiceMain& form) {
    for (int i = 0; i < 2000 && !(form.Processing() && form.Processing()->Loaded()); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(form.Processing() && form.Processing()->Loaded());
    std::filesystem::remove(dir_ / "LogFiles/VNPostProc.log");
    sink_.Clear();
  }

  const Event stopped_{"ItemChange", common::kHostAppId, "MESSAGE",
                       "Post processing service stopped."};
  const Event shutdown_{"AppShutdown", common::kHostAppId, "", ""};

  TempDir dir_;
  ScopedEnv home_;
  TMainLoop loop_;
  RecordingSink sink_;
};

TEST_F(ServiceMainTest, CreationPreparesLogQueueAndTimerWithLabelsDisabled) {
  TfrmServiceMain form(loop_, &sink_);
  form.FormCreate();
  EXPECT_EQ(form.ProgramDir, dir_.Path() + "/");
  EXPECT_EQ(form.Log().LogFileName(), dir_.Path() + "/LogFiles/VNPostProc.log");
  EXPECT_TRUE(form.IsProcessing());
  Settle(form);
  EXPECT_TRUE(form.Log().LogMessage());  // no configuration file: the default
  EXPECT_TRUE(form.Log().HasMessageQueue());
  EXPECT_TRUE(loop_.TimerEnabled());
  EXPECT_EQ(form.PollGroupLabel(), "Disabled");
  EXPECT_EQ(form.PollTimeLabel(), "Disabled");
}

TEST_F(ServiceMainTest, TimerTickWritesQueuedMessagesToFileAndClients) {
  common::FakeClock clock(common::EncodeDateTime(2024, 3, 15, 10, 17, 30));
  common::ScopedClockOverride over(clock);
  TfrmServiceMain form(loop_, &sink_);
  form.FormCreate();
  Settle(form);
  form.Log().SetLogMessage(true);
  form.Log().QueueMessage("PollGroup 1: AVG - Retrieve data...");
  EXPECT_TRUE(sink_.Events().empty());
  loop_.FireTimer();
  EXPECT_EQ(ReadFile(dir_ / "LogFiles/VNPostProc.log"),
            "03/15/2024 10:17:30    PollGroup 1: AVG - Retrieve data...\r\n");
  EXPECT_EQ(sink_.Events(), (std::vector<Event>{{"ItemChange", common::kHostAppId, "MESSAGE",
                                                 "PollGroup 1: AVG - Retrieve data..."}}));
}

TEST_F(ServiceMainTest, StopServiceClosesOnceAndEndsTheLoop) {
  TfrmServiceMain form(loop_, &sink_);
  form.FormCreate();
  Settle(form);
  form.Stopservice1Click();
  EXPECT_TRUE(Process().ShuttingDown.load());
  EXPECT_TRUE(form.Closed());
  EXPECT_TRUE(loop_.QuitRequested());
  EXPECT_FALSE(loop_.TimerEnabled());
  EXPECT_FALSE(form.Log().HasMessageQueue());
  EXPECT_EQ(form.HostComObject(), nullptr);
  form.Close();
  form.Log().WriteLog("after close: no broadcast");
  EXPECT_EQ(sink_.Events(), (std::vector<Event>{stopped_, shutdown_}));
  EXPECT_FALSE(form.IsProcessing());
}

TEST_F(ServiceMainTest, CloseRequestPostedFromAnotherThreadClosesOnTheLoop) {
  TfrmServiceMain form(loop_);
  form.FormCreate();
  std::thread([&] { form.PostClose(); }).join();
  EXPECT_FALSE(form.Closed());
  loop_.Run();  // ends because the close quits the loop
  EXPECT_TRUE(form.Closed());
}

TEST_F(ServiceMainTest, PollGroupNoticeBroadcastsOnTheMainThread) {
  TfrmServiceMain form(loop_, &sink_);
  form.FormCreate();
  Settle(form);
  std::thread processing(
      [&] { form.ShowNextGroup("3", common::EncodeDateTime(2024, 3, 15, 11, 5, 0)); });
  processing.join();
  EXPECT_TRUE(sink_.Events().empty()) << "nothing before the main thread runs the notice";
  loop_.RunPending();
  EXPECT_EQ(sink_.Events(),
            (std::vector<Event>{{"ItemChange", common::kHostAppId, "POLLGROUP", ""}}));
  EXPECT_EQ(form.PollGroupLabel(), "3");
  EXPECT_EQ(form.PollTimeLabel(), "03/15/2024 11:05:00");

  TfrmServiceMain noSink(loop_);
  noSink.FormCreate();
  EXPECT_NO_THROW(noSink.WMPollGroupChanged());
}

TEST_F(ServiceMainTest, DestroyingAnOpenObjectRunsTheClosingSteps) {
  {
    TfrmServiceMain form(loop_, &sink_);
    form.FormCreate();
    Settle(form);
  }
  EXPECT_EQ(sink_.Events(), (std::vector<Event>{stopped_, shutdown_}));
  EXPECT_FALSE(loop_.TimerEnabled());
}

}  // namespace
}  // namespace vnpp::host

namespace vnpp::host {
namespace {

using testing::BlockingSink;
using testing::WriteFile;

// A client slow for seconds while the main thread broadcasts the queued messages: the
// processing thread runs a requested group to its end, and the operations that clients
// call answer, all while the broadcast is held.
TEST_F(ServiceMainTest, SlowClientHoldsUpNeitherProcessingNorTheOperations) {
  WriteFile(dir_ / "VNPostProc.VFG",
            "[PostProcess]\r\nGroups=1\r\nLogDetail=1\r\n"
            "[PostProcessGroup:1]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\n"
            "StartFrom=LAST 3 HOURS\r\nPOLLNumber=1\r\nPOLL1=ST1.WL\r\n");
  BlockingSink sink;
  TfrmServiceMain form(loop_, &sink);
  form.FormCreate();
  Settle(form);
  form.Log().QueueMessage("before");
  sink.Arm();
  std::thread mainThread([&] { loop_.FireTimer(); });  // the timer's drain
  ASSERT_TRUE(sink.WaitBlocked(std::chrono::seconds(10)));

  auto client = std::async(std::launch::async, [&] {
    // What automation clients call meanwhile, from other threads.
    form.RunProcessGroup(0);
    EXPECT_TRUE(form.IsProcessing());
    EXPECT_EQ(form.NextPollGroup(), "1");
    EXPECT_EQ(form.PollGroupLabel(), "1");
    form.SetLogDetail(2);
    EXPECT_EQ(form.GetLogDetail(), 2);
    // The run goes to its end (its entry fails: there is no database).
    for (int i = 0; i < 1000; ++i) {
      const auto rows = form.GroupStatus();
      if (!rows.empty() && rows[0].LastRunEnd != 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  });
  const bool answered = client.wait_for(std::chrono::seconds(8)) == std::future_status::ready;
  sink.Release();
  mainThread.join();
  ASSERT_TRUE(answered) << "a client's call waited for the slow client";
  EXPECT_TRUE(client.get()) << "the group run did not finish while the broadcast was held";
  loop_.FireTimer();
  const auto items = sink.Items();
  EXPECT_NE(std::find(items.begin(), items.end(), "MESSAGE:PollGroup 1: AVG - Retrieve data..."),
            items.end());
}

// A start asked for by a client can never follow the stop of the close: processing stays
// stopped once the object has closed, and the client is told.
TEST_F(ServiceMainTest, StartAfterCloseFailsAndStartsNothing) {
  TfrmServiceMain form(loop_, &sink_);
  form.FormCreate();
  Settle(form);
  form.Stopservice1Click();
  EXPECT_THROW(form.StartProcessing(), common::EPostProcError);
  form.RestartProcessing();
  EXPECT_FALSE(form.IsProcessing());
}

// After a stop the unit's status text says so instead of naming the next group; a start
// names the next group again.
TEST_F(ServiceMainTest, StatusTextSaysProcessingStoppedAfterAStop) {
  TempDir sock;
  common::UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = sock / "notify";
  path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ScopedEnv notify("NOTIFY_SOCKET", path);
  // The last STATUS= that has arrived.
  auto lastStatus = [&] {
    std::string last;
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(fd.Get(), buf, sizeof buf, MSG_DONTWAIT)) > 0) {
      const std::string datagram(buf, static_cast<size_t>(n));
      if (datagram.rfind("STATUS=", 0) == 0) last = datagram.substr(7);
    }
    return last;
  };
  testing::WriteFile(dir_ / "VNPostProc.VFG",
                     "[PostProcess]\r\nGroupNames=Hourly\r\n[Hourly]\r\nFuncName=AVG\r\n"
                     "Enabled=1\r\nTypeInterval=0\r\nStartFrom=NOW\r\nPOLLNumber=0\r\n"
                     "[Database Settings]\r\nODBC Data Source=vnpp-no-such-dsn\r\n");
  TfrmServiceMain form(loop_, &sink_);
  form.FormCreate();
  Settle(form);
  loop_.RunPending();
  EXPECT_EQ(lastStatus().rfind("Next Group: 1, Next Time: ", 0), 0u);
  form.StopProcessing();
  loop_.RunPending();
  EXPECT_EQ(lastStatus(), "Processing stopped.");
  form.StartProcessing();
  for (int i = 0; i < 2000 && !form.Processing()->Loaded(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  loop_.RunPending();
  EXPECT_EQ(lastStatus().rfind("Next Group: ", 0), 0u);

  // A start without an enabled group never shows the group of before the stop.
  form.StopProcessing();
  testing::WriteFile(dir_ / "VNPostProc.VFG",
                     "[PostProcess]\r\nGroupNames=Hourly\r\n[Hourly]\r\nFuncName=AVG\r\n"
                     "Enabled=0\r\n");
  form.StartProcessing();
  for (int i = 0; i < 2000 && !form.Processing()->Loaded(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  loop_.RunPending();
  EXPECT_EQ(lastStatus(), "Processing started; no group is scheduled.");
}

}  // namespace
}  // namespace vnpp::host
