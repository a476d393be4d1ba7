// Start-up: command-line switches, the single-instance lock, the run-mode decision and the
// program directory.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "common/UniqueFd.h"

namespace vnpp::host {

// Process-wide values of start-up. Everything but ShuttingDown is written on the main
// thread before any thread of the program exists and only read afterwards.
struct TProcessValues {
  std::string ServiceDisplayName;
  std::string ServiceName;
  bool RunAsService = false;
  // Set by the stop commands; the main object lets itself be closed when it is set.
  std::atomic<bool> ShuttingDown{false};
  // The command-line arguments without the program name.
  std::vector<std::string> Args;
};

TProcessValues& Process();

// Stores the command line in Process().Args.
void SetCommandLine(int argc, char** argv);

// True when some argument (the program name not counted) is "-", "/" or "\" followed by
// word, compared without regard to ASCII letter case.
bool HasSwitch(int argc, char** argv, std::string_view word);
bool HasSwitch(const std::vector<std::string>& args, std::string_view word);
// HasSwitch over Process().Args.
bool FindCmdLineSwitch(std::string_view word);
// The switch "install" or "uninstall" is present.
bool IsInstallRun();

// The lock file of the single-instance rule: "Global\VNPostProcessor", or the name in
// VNPPSVC_INSTANCE, made into a file name, in /run/lock (/tmp when that is missing).
std::string InstanceLockPath();

// The machine-wide marker of the running instance: an exclusive flock on the lock file,
// released by the kernel when the process ends. Thread safety: main thread only.
class TInstanceLock {
 public:
  TInstanceLock() = default;
  // Creates the lock file when needed (mode 0666) and takes the lock without waiting.
  // False when another process holds it or the file cannot be opened.
  bool Acquire();
  bool Held() const { return fd_.Valid(); }

 private:
  common::UniqueFd fd_;
};

// The name of the effective user, empty when it cannot be found.
std::string EffectiveUserName();

// The account a systemd unit file names in the User= of its [Service] section: "root" when
// absent or empty, and for "LocalSystem" (any case). Empty when the file cannot be read.
std::string UnitAccount(const std::string& unitPath);

// The directory of the systemd units: VNPPSVC_UNIT_DIR or /etc/systemd/system.
std::string UnitDirectory();

// The unit file systemd would load for unitName ("VNPostProcessor.service"): the one in
// UnitDirectory(), or, without VNPPSVC_UNIT_DIR, the package's in /lib/systemd/system or
// /usr/lib/systemd/system. Empty when there is none.
std::string RegisteredUnitPath(const std::string& unitName);

// Sets ServiceDisplayName, ServiceName and RunAsService of Process() and returns
// RunAsService: true with the switch "install" or "uninstall", or when the unit
// ServiceName + ".service" is registered (RegisteredUnitPath) and the effective user is the
// account it names.
bool SelectRunMode(std::string_view baseName);

// The directory of the executable (or VNPPSVC_HOME), with a trailing '/'.
std::string ProgramDirectory();

}  // namespace vnpp::host
