// Feeds systemd's watchdog while processing makes progress, so that a processing thread stuck
// in a database call ends in a restart instead of a service that runs on doing nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace vnpp::host {

// Thread safety: main-thread object (the message timer calls Tick).
class TWatchdog {
 public:
  // interval: the unit's WatchdogSec. heartbeat: the common::SteadyNanoseconds() time of the
  // processing thread's last sign of progress, or 0 while no thread works (processing
  // stopped, or its thread ended on its own). ping sends "WATCHDOG=1".
  TWatchdog(std::chrono::microseconds interval, std::function<std::int64_t()> heartbeat,
            std::function<void()> ping);

  // Called once a second by the message timer: pings unless the heartbeat is older than
  // MaxHeartbeatAge at steady-clock time nowNs. Returns whether it pinged.
  bool Tick(std::int64_t nowNs);
  bool Tick();  // at common::SteadyNanoseconds()

  // Half the interval. The last ping of a stuck thread goes out at most this long (plus one
  // timer tick) after its last heartbeat, and systemd acts one interval after that ping.
  std::chrono::nanoseconds MaxHeartbeatAge() const { return maxAge_; }

 private:
  std::chrono::nanoseconds maxAge_;
  std::function<std::int64_t()> heartbeat_;
  std::function<void()> ping_;
};

}  // namespace vnpp::host
