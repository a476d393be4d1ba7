// "-REGSERVER" and "-UNREGSERVER": the bus files of the automation object.
#pragma once

#include <ostream>
#include <string>

namespace vnpp::automation {

// The D-Bus data directory: VNPPSVC_DBUS_DIR, else /usr/share/dbus-1.
std::string DbusDataDirectory();

// The files -REGSERVER installs, relative to DbusDataDirectory().
inline constexpr const char* kPolicyPath = "system.d/VNPPSvc.VNPostProcCom.conf";
inline constexpr const char* kActivationPath = "system-services/VNPPSvc.VNPostProcCom.service";
inline constexpr const char* kInterfacePath = "interfaces/VNPPSvc.IVNPostProcCom.xml";

// Installs (install true) or removes the system bus policy, the activation file and the
// interface description. Each file is written whole or not at all (a temporary file beside
// it, flushed, renamed over it); missing subdirectories are created, the data directory
// itself must exist. Removing files that are absent is no failure. One line per file on out,
// the reason of a failure on err. Returns the exit code: 0 done, 1 failed.
int RunRegServer(bool install, std::ostream& out, std::ostream& err);

}  // namespace vnpp::automation
