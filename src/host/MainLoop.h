// The main thread's event loop: the one-second message timer, messages posted from other
// threads, SIGINT/SIGTERM/SIGHUP as the stop command, and the descriptors of other
// subsystems (the bus connection of the automation object).
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <vector>

#include "common/Mutex.h"
#include "common/PollSource.h"
#include "common/ThreadAnnotations.h"
#include "common/UniqueFd.h"

namespace vnpp::host {

// Thread safety: Post and Quit may be called from any thread; everything else belongs to
// the thread that runs the loop. Callbacks run on that thread; exceptions they let out are
// swallowed so that the loop goes on.
class TMainLoop {
 public:
  // Throws common::EPostProcError when the loop's descriptors cannot be created.
  TMainLoop();
  TMainLoop(const TMainLoop&) = delete;
  TMainLoop& operator=(const TMainLoop&) = delete;

  // Blocks SIGINT, SIGTERM and SIGHUP in the calling thread. Call on the main thread before any
  // other thread exists, so that every thread inherits the mask and the signals reach only
  // the loop.
  static void BlockStopSignals();

  // From now on SIGINT, SIGTERM and SIGHUP call onStop on the loop's thread (Quit when empty).
  // REQUIRES: BlockStopSignals has run. Throws common::EPostProcError on failure.
  void WatchStopSignals(std::function<void()> onStop);

  // The message timer: onTick runs every interval while the timer is enabled.
  void SetTimer(std::chrono::milliseconds interval, std::function<void()> onTick);
  void EnableTimer(bool on);
  bool TimerEnabled() const { return timerEnabled_; }

  // Queues message to run on the loop's thread, in posting order.
  void Post(std::function<void()> message) EXCLUDES(postMu_);
  // Ends Run after the callback in progress.
  void Quit();
  bool QuitRequested() const { return quit_.load(); }

  // Watches source's descriptor from the next poll on, until removed. The source must
  // outlive its registration. Loop thread only.
  void AddPollSource(common::IPollSource* source);
  void RemovePollSource(common::IPollSource* source);

  // Runs until Quit.
  void Run();

  // Test drive, without waiting: run the messages posted so far, or one timer tick (when
  // enabled).
  void RunPending() EXCLUDES(postMu_);
  void FireTimer();

 private:
  void Wake();

  common::UniqueFd wakeFd_;    // eventfd: posted messages and Quit
  common::UniqueFd timerFd_;   // timerfd of the message timer
  common::UniqueFd signalFd_;  // signalfd of the stop signals, once watched
  std::function<void()> onStop_;
  std::function<void()> onTick_;
  std::chrono::milliseconds interval_{1000};
  bool timerEnabled_ = false;
  std::atomic<bool> quit_{false};
  std::vector<common::IPollSource*> sources_;  // loop thread only

  common::Mutex postMu_;
  std::deque<std::function<void()>> posted_ GUARDED_BY(postMu_);
};

}  // namespace vnpp::host
