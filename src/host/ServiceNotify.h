// Readiness and stop reports to systemd. They are sent whenever systemd gave a notification
// socket (NOTIFY_SOCKET), whatever the run mode: a Type=notify unit whose account the
// run-mode rule does not see still waits for READY=1.
#pragma once

namespace vnpp::host {

// "READY=1": the main object exists and processing runs. Nothing without NOTIFY_SOCKET.
void NotifyReady();
// "STOPPING=1": the stop request has been received.
void NotifyStopping();

}  // namespace vnpp::host
