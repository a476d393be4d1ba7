#include "host/MainLoop.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
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

namespace vnpp::host {
namespace {

// A pipe watched through the loop: each byte written is one Dispatch with POLLIN.
class PipeSource final : public common::IPollSource {
 public:
  PipeSource() {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    read_ = fds[0];
    write_ = fds[1];
  }
  ~PipeSource() override {
    ::close(read_);
    ::close(write_);
  }
  common::TPollData Prepare() override {
    ++prepared;
    return {read_, POLLIN, -1};
  }
  void Dispatch(short revents) override {
    char c = 0;
    if ((revents & POLLIN) != 0 && ::read(read_, &c, 1) == 1) bytes.push_back(c);
    if (onDispatch) onDispatch();
  }
  void Write(char c) { EXPECT_EQ(::write(write_, &c, 1), 1); }

  int prepared = 0;   // loop thread
  std::string bytes;  // loop thread
  std::function<void()> onDispatch;

 private:
  int read_ = -1, write_ = -1;
};

// A source without a descriptor that wants to be called back after timeoutMs.
class TimeoutSource final : public common::IPollSource {
 public:
  common::TPollData Prepare() override { return {-1, 0, timeoutMs}; }
  void Dispatch(short revents) override {
    EXPECT_EQ(revents, 0);
    if (++dispatched == 3 && onThird) onThird();
  }
  int timeoutMs = 5;
  int dispatched = 0;
  std::function<void()> onThird;
};

TEST(MainLoop, PollSourcesAreAskedBeforeEveryPollAndDispatchedOnEventsAndTimeouts) {
  TMainLoop loop;
  PipeSource pipe;
  TimeoutSource timer;
  loop.AddPollSource(&pipe);
  loop.AddPollSource(&pipe);  // once only
  loop.AddPollSource(&timer);
  // Nothing but the time-out happens until the timeout source, at its third call-back,
  // removes itself and writes to the pipe; the pipe source ends the loop once it has read
  // both bytes.
  timer.onThird = [&] {
    loop.RemovePollSource(&timer);
    pipe.Write('a');
    pipe.Write('b');
  };
  pipe.onDispatch = [&] {
    if (pipe.bytes == "ab") loop.Quit();
  };
  loop.Run();
  EXPECT_EQ(pipe.bytes, "ab");
  EXPECT_EQ(timer.dispatched, 3);  // never called again once removed
  EXPECT_GE(pipe.prepared, 5);     // asked before every poll: three time-outs, two bytes
}

TEST(MainLoop, SourceRemovedByAnotherCallbackIsNotDispatched) {
  TMainLoop loop;
  PipeSource first, second;
  loop.AddPollSource(&first);
  loop.AddPollSource(&second);
  // Both are ready in the same round; the first one's callback removes the second.
  first.onDispatch = [&] {
    loop.RemovePollSource(&second);
    loop.Post([&] { loop.Quit(); });
  };
  second.onDispatch = [&] { ADD_FAILURE() << "dispatched after removal"; };
  first.Write('x');
  second.Write('y');
  loop.Run();
  EXPECT_EQ(first.bytes, "x");
}

}  // namespace
}  // namespace vnpp::host
