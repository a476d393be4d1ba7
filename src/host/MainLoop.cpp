#include "host/MainLoop.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/Error.h"

namespace vnpp::host {
namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

[[noreturn]] void Fail(const char* what) {
  throw common::EPostProcError(std::string(what) + ": " + std::strerror(errno));
}

void RunCallback(const std::function<void()>& fn) {
  try {
    if (fn) fn();
  } catch (...) {
    // A callback's failure must not end the loop; callbacks log their own failures.
  }
}

void Drain(int fd) {
  std::uint64_t value = 0;
  while (::read(fd, &value, sizeof value) < 0 && errno == EINTR) {
  }
}

}  // namespace

TMainLoop::TMainLoop()
    : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      timerFd_(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) {
  if (!wakeFd_.Valid()) Fail("eventfd");
  if (!timerFd_.Valid()) Fail("timerfd_create");
}

void TMainLoop::BlockStopSignals() {
  const sigset_t set = StopSignals();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void TMainLoop::WatchStopSignals(std::function<void()> onStop) {
  const sigset_t set = StopSignals();
  if (!signalFd_.Valid()) {
    signalFd_.Reset(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!signalFd_.Valid()) Fail("signalfd");
  }
  onStop_ = std::move(onStop);
}

void TMainLoop::SetTimer(std::chrono::milliseconds interval, std::function<void()> onTick) {
  interval_ = interval;
  onTick_ = std::move(onTick);
  if (timerEnabled_) EnableTimer(true);
}

void TMainLoop::EnableTimer(bool on) {
  itimerspec timerSpec{};
  if (on) {
    const auto ms = interval_.count() > 0 ? interval_.count() : 1;
    timerSpec.it_interval.tv_sec = ms / 1000;
    timerSpec.it_interval.tv_nsec = (ms % 1000) * 1000000;
    timerSpec.it_value = timerSpec.it_interval;
  }
  ::timerfd_settime(timerFd_.Get(), 0, &timerSpec, nullptr);
  timerEnabled_ = on;
}

void TMainLoop::Post(std::function<void()> message) {
  {
    common::MutexLock lock(postMu_);
    posted_.push_back(std::move(message));
  }
  Wake();
}

void TMainLoop::Quit() {
  quit_.store(true);
  Wake();
}

void TMainLoop::Wake() {
  const std::uint64_t one = 1;
  while (::write(wakeFd_.Get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void TMainLoop::RunPending() {
  std::deque<std::function<void()>> batch;
  {
    common::MutexLock lock(postMu_);
    batch.swap(posted_);
  }
  // Run unlocked: a message may post further messages; those run on the next round.
  for (auto& message : batch) {
    if (quit_.load()) return;
    RunCallback(message);
  }
}

void TMainLoop::FireTimer() {
  if (timerEnabled_) RunCallback(onTick_);
}

void TMainLoop::AddPollSource(common::IPollSource* source) {
  if (source != nullptr && std::find(sources_.begin(), sources_.end(), source) == sources_.end()) {
    sources_.push_back(source);
  }
}

void TMainLoop::RemovePollSource(common::IPollSource* source) {
  sources_.erase(std::remove(sources_.begin(), sources_.end(), source), sources_.end());
}

void TMainLoop::Run() {
  using Clock = std::chrono::steady_clock;
  std::vector<pollfd> fds;
  // Per source: its index in fds (or -1) and when its time-out ends.
  struct Watched {
    common::IPollSource* source;
    int fdIndex;
    std::optional<Clock::time_point> deadline;
  };
  std::vector<Watched> watched;
  while (!quit_.load()) {
    fds.assign({{wakeFd_.Get(), POLLIN, 0}, {timerFd_.Get(), POLLIN, 0}});
    const bool signals = signalFd_.Valid();
    if (signals) fds.push_back({signalFd_.Get(), POLLIN, 0});
    // Sources are asked afresh before every poll: what a bus connection waits for changes
    // with every message it sends or receives.
    watched.clear();
    int timeoutMs = -1;
    const Clock::time_point now = Clock::now();
    for (common::IPollSource* source : sources_) {
      common::TPollData data;
      try {
        data = source->Prepare();
      } catch (...) {
        continue;  // a failing source is left out of this round
      }
      Watched w{source, -1, std::nullopt};
      if (data.Fd >= 0) {
        w.fdIndex = static_cast<int>(fds.size());
        fds.push_back({data.Fd, data.Events, 0});
      }
      if (data.TimeoutMs >= 0) {
        w.deadline = now + std::chrono::milliseconds(data.TimeoutMs);
        if (timeoutMs < 0 || data.TimeoutMs < timeoutMs) timeoutMs = data.TimeoutMs;
      }
      watched.push_back(w);
    }
    if (::poll(fds.data(), fds.size(), timeoutMs) < 0) {
      if (errno == EINTR) continue;
      Fail("poll");
    }
    if (signals && (fds[2].revents & POLLIN) != 0) {
      signalfd_siginfo info{};
      if (::read(signalFd_.Get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (onStop_) {
          RunCallback(onStop_);
        } else {
          Quit();
        }
      }
    }
    if (quit_.load()) break;
    if ((fds[0].revents & POLLIN) != 0) {
      Drain(wakeFd_.Get());
      RunPending();
    }
    if (quit_.load()) break;
    if ((fds[1].revents & POLLIN) != 0) {
      Drain(timerFd_.Get());
      FireTimer();
    }
    const Clock::time_point after = Clock::now();
    for (const Watched& w : watched) {
      if (quit_.load()) break;
      // A callback above may have removed the source.
      if (std::find(sources_.begin(), sources_.end(), w.source) == sources_.end()) continue;
      const short revents = w.fdIndex >= 0 ? fds[static_cast<size_t>(w.fdIndex)].revents : 0;
      if (revents == 0 && !(w.deadline && *w.deadline <= after)) continue;
      try {
        w.source->Dispatch(revents);
      } catch (...) {
        // A source's failure must not end the loop; sources log their own failures.
      }
    }
  }
}

}  // namespace vnpp::host
