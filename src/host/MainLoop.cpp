#include "host/MainLoop.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

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

void TMainLoop::Run() {
  while (!quit_.load()) {
    pollfd fds[3] = {{wakeFd_.Get(), POLLIN, 0}, {timerFd_.Get(), POLLIN, 0}, {-1, POLLIN, 0}};
    nfds_t count = 2;
    if (signalFd_.Valid()) {
      fds[2].fd = signalFd_.Get();
      count = 3;
    }
    if (::poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      Fail("poll");
    }
    if (count == 3 && (fds[2].revents & POLLIN) != 0) {
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
  }
}

}  // namespace vnpp::host
