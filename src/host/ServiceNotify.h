// Readiness, status, stop and watchdog reports to systemd. They are sent whenever systemd
// gave a notification socket (NOTIFY_SOCKET), whatever the run mode: a Type=notify unit whose
// account the run-mode rule does not see still waits for READY=1. Without the variable each
// report does nothing.
// Thread safety: every function may be called from any thread.
#pragma once

#include <chrono>
#include <string>

namespace vnpp::host {

// "READY=1": the main object exists and processing runs. Nothing without NOTIFY_SOCKET.
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
