#include "host/MainLoop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>
#include <vector>

namespace vnpp::host {
namespace {

TEST(MainLoop, RunsMessagesPostedFromAnotherThreadInOrderUntilQuit) {
  TMainLoop loop;
  std::vector<int> seen;  // touched only on the loop's thread
  std::thread poster([&] {
    for (int i = 0; i < 500; ++i) loop.Post([&seen, i] { seen.push_back(i); });
    loop.Post([&loop] { loop.Quit(); });
    loop.Post([&seen] { seen.push_back(-1); });  // after Quit: never runs
  });
  loop.Run();
  poster.join();
  ASSERT_EQ(seen.size(), 500u);
  for (int i = 0; i < 500; ++i) EXPECT_EQ(seen[i], i);
}

TEST(MainLoop, FailingMessageDoesNotEndTheLoop) {
  TMainLoop loop;
  bool later = false;
  loop.Post([] { throw std::runtime_error("boom"); });
  loop.Post([&] { later = true; });
  loop.RunPending();
  EXPECT_TRUE(later);
  EXPECT_FALSE(loop.QuitRequested());
}

TEST(MainLoop, TimerTicksOnlyWhileEnabled) {
  TMainLoop loop;
  int ticks = 0;
  loop.SetTimer(std::chrono::milliseconds(1000), [&] { ++ticks; });
  loop.FireTimer();
  EXPECT_EQ(ticks, 0);
  loop.EnableTimer(true);
  loop.FireTimer();
  loop.FireTimer();
  EXPECT_EQ(ticks, 2);
  loop.EnableTimer(false);
  loop.FireTimer();
  EXPECT_EQ(ticks, 2);
}

TEST(MainLoop, RealTimerDrivesTheTickInRun) {
  TMainLoop loop;
  int ticks = 0;
  loop.SetTimer(std::chrono::milliseconds(1), [&] {
    if (++ticks == 3) loop.Quit();
  });
  loop.EnableTimer(true);
  loop.Run();
  EXPECT_EQ(ticks, 3);
}

TEST(MainLoop, StopSignalsRunTheStopHandlerOnTheLoopThread) {
  TMainLoop::BlockStopSignals();
  for (int sig : {SIGTERM, SIGINT}) {
    TMainLoop loop;
    int stops = 0;
    loop.WatchStopSignals([&] {
      ++stops;
      loop.Quit();
    });
    ASSERT_EQ(::kill(::getpid(), sig), 0);
    loop.Run();
    EXPECT_EQ(stops, 1) << sig;
  }
  TMainLoop loop;
  loop.WatchStopSignals(nullptr);  // no handler: the signal ends the loop
  ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
  loop.Run();
  EXPECT_TRUE(loop.QuitRequested());
}

}  // namespace
}  // namespace vnpp::host
