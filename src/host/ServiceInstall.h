// The installing run: "-install" writes the systemd unit VNPostProcessor.service and enables
// it, "-uninstall" disables and removes it.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vnpp::host {

// The unit file's text for the executable and the home directory (both absolute, the home
// without a trailing '/'): the template etc/VNPostProcessor.service.in filled in as the
// package fills it. Throws common::EPostProcError when a path is not absolute or holds a
// character that a unit file cannot carry (a control character, '"' or '\', and in the
// executable's name also "'").
// account: the unit's User= (the package's "vnppsvc"), or empty for root (what -install
// writes unless VNPPSVC_UNIT_USER names an account).
std::string UnitFileText(const std::string& executable, const std::string& home,
                         const std::string& account = std::string());

// The switches of the installing run, with the prefixes "-" and "/" only, letter case
// ignored: "install" (it wins when both are given), "uninstall", and "silent" (no message on
// success).
//
// Install: writes <UnitDirectory()>/VNPostProcessor.service for this executable
// (/proc/self/exe) and ProgramDirectory(); an existing unit is a failure that changes
// nothing. The file appears whole or not at all. Uninstall: removes that file; a missing
// unit is a failure. When systemd runs (/run/systemd/system exists), "systemctl
// daemon-reload" and "systemctl enable" follow the install, "systemctl disable" precedes the
// removal and a reload follows it; a failed enable removes the new unit again.
// VNPPSVC_SYSTEMCTL names another systemctl program (empty: none is run).
//
// Success: "Service installed successfully" / "Service uninstalled successfully" on out
// unless silent, exit code 0. Failure: 'Service "VNPostProcessor" failed to install with
// error: "<reason>"' (or "uninstall") on err, exit code 1. Without either switch (only "\install"
// was given) nothing is done and the exit code is 1.
int RunServiceInstall(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace vnpp::host
