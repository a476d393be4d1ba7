// Readiness and stop reports to systemd in service mode.
#pragma once

namespace vnpp::host {

// "READY=1": the main object exists and processing runs. Ignored outside systemd.
void NotifyReady();
// "STOPPING=1": the stop request has been received.
void NotifyStopping();

}  // namespace vnpp::host
