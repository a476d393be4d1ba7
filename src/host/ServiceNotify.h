// Readiness, status, stop and watchdog reports to systemd in service mode.
// Each report is one datagram to NOTIFY_SOCKET; without that variable it does nothing.
// Thread safety: every function may be called from any thread.
#pragma once

#include <chrono>
#include <string>

namespace vnpp::host {

// "READY=1": the main object exists and processing runs. Ignored outside systemd.
void NotifyReady();
// "STOPPING=1": the stop request has been received.
void NotifyStopping();
// "STATUS=<text>": one line for "systemctl status".
void NotifyStatus(const std::string& text);
// "WATCHDOG=1": the service is healthy.
void NotifyWatchdog();

// The unit's WatchdogSec when systemd watches this process (WATCHDOG_USEC set, and
// WATCHDOG_PID, when set, naming this process); zero otherwise.
std::chrono::microseconds WatchdogInterval();

}  // namespace vnpp::host
