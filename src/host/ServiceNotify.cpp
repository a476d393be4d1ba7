#include "host/ServiceNotify.h"

#include <systemd/sd-daemon.h>

namespace vnpp::host {

void NotifyReady() { ::sd_notify(0, "READY=1"); }

void NotifyStopping() { ::sd_notify(0, "STOPPING=1"); }

}  // namespace vnpp::host
