#include "host/ServiceNotify.h"

#include <systemd/sd-daemon.h>

#include <cstdint>

namespace vnpp::host {

void NotifyReady() { ::sd_notify(0, "READY=1"); }

void NotifyStopping() { ::sd_notify(0, "STOPPING=1"); }

void NotifyStatus(const std::string& text) { ::sd_notify(0, ("STATUS=" + text).c_str()); }

void NotifyWatchdog() { ::sd_notify(0, "WATCHDOG=1"); }

std::chrono::microseconds WatchdogInterval() {
  std::uint64_t usec = 0;
  if (::sd_watchdog_enabled(0, &usec) <= 0) return std::chrono::microseconds(0);
  return std::chrono::microseconds(static_cast<std::int64_t>(usec));
}

}  // namespace vnpp::host
