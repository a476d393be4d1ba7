#include "automation/vnppctl/Client.h"

namespace vnpp::ctl {

using automation::kBusName;
using automation::kObjectPath;

TClient::TClient(bool system) : system_(system) {
  try {
    connection_ = system ? sdbus::createSystemBusConnection() : sdbus::createSessionBusConnection();
  } catch (const sdbus::Error& e) {
    throw TExit{kExitNotRunning,
                "vnppctl: cannot connect to the " + BusName() + " bus: " + e.getMessage()};
  }
  // Every call goes to the unique name of the process that owns the well-known name now.
  // A call to a well-known name without an owner would start the service by bus
  // activation; a call to a unique name never does, and fails once that process has gone.
  std::string owner;
  try {
    auto bus = sdbus::createProxy(*connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus");
    bus->callMethod("GetNameOwner")
        .onInterface("org.freedesktop.DBus")
        .withArguments(std::string(kBusName))
        .storeResultsTo(owner);
  } catch (const sdbus::Error& e) {
    Fail(e);
  }
  proxy_ = sdbus::createProxy(*connection_, owner, kObjectPath);
  owner_ = owner;
}

void TClient::Fail(const sdbus::Error& e) const {
  const std::string& name = e.getName();
  if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
      name == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
      name.rfind("org.freedesktop.DBus.Error.Spawn.", 0) == 0) {
    std::string hint = system_ ? " (a desktop instance runs on the session bus: --session)"
                               : " (the service runs on the system bus: --system)";
    if (system_) hint += "; systemctl start VNPostProcessor starts it";
    throw TExit{kExitNotRunning,
                "vnppctl: VNPPSvc is not running on the " + BusName() + " bus" + hint};
  }
  if (name == "org.freedesktop.DBus.Error.AccessDenied") {
    throw TExit{kExitDenied, std::string("vnppctl: access denied: this command is for root "
                                         "and the members of the group \"") +
                                 automation::kControlGroup + "\""};
  }
  if (name == "org.freedesktop.DBus.Error.NoReply" ||
      name == "org.freedesktop.DBus.Error.Disconnected") {
    throw TExit{kExitNotRunning, "vnppctl: VNPPSvc did not answer: " + e.getMessage()};
  }
  if (name == automation::kErrorRefused) {
    throw TExit{kExitFailed, "vnppctl: " + e.getMessage()};
  }
  if (name == automation::kErrorClosing) {
    throw TExit{kExitFailed, "vnppctl: VNPPSvc is shutting down"};
  }
  throw TExit{kExitFailed, "vnppctl: " + name + ": " + e.getMessage()};
}

}  // namespace vnpp::ctl
