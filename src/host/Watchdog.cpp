#include "host/Watchdog.h"

#include <utility>

#include "common/Clock.h"

namespace vnpp::host {

TWatchdog::TWatchdog(std::chrono::microseconds interval, std::function<std::int64_t()> heartbeat,
                     std::function<void()> ping)
    : maxAge_(std::chrono::duration_cast<std::chrono::nanoseconds>(interval) / 2),
      heartbeat_(std::move(heartbeat)),
      ping_(std::move(ping)) {}

bool TWatchdog::Tick(std::int64_t nowNs) {
  const std::int64_t beat = heartbeat_ ? heartbeat_() : 0;
  if (beat != 0 && nowNs - beat > maxAge_.count()) return false;
  if (ping_) ping_();
  return true;
}

bool TWatchdog::Tick() { return Tick(common::SteadyNanoseconds()); }

}  // namespace vnpp::host
