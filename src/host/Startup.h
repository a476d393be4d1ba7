// Start-up: command-line switches, the single-instance lock, the run-mode decision and the
// program directory.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/UniqueFd.h"
#include "host/Recompute.h"

namespace vnpp::host {

// Process-wide values of start-up. Everything but ShuttingDown is written on the main
// thread before any thread of the program exists and only read afterwards.
struct TProcessValues {
  std::string ServiceDisplayName;
  std::string ServiceName;
  bool RunAsService = false;
  // Set by the stop commands.
  std::atomic<bool> ShuttingDown{false};
};

TProcessValues& Process();

// True when some argument is "-", "--", "/" or "\" followed by word, compared without regard to
// ASCII letter case.
bool HasSwitch(const std::vector<std::string>& args, std::string_view word);

// The command line, read once by main and handed to what needs it.
struct TCommandLine {
  std::vector<std::string> Args;  // without the program name
  bool InstallRun = false;        // "install" or "uninstall"
  bool CatchUp = false;
  bool EncodePassword = false;
  bool RegServer = false;
  bool UnregServer = false;
  bool Recompute = false;
  bool Check = false;            // -check: report every problem a start would meet, then end
  bool Help = false;             // --help: the usage on standard output
  bool Version = false;          // --version
  TRecomputeArgs RecomputeArgs;  // with Recompute
};
// Reads the arguments after the program name. False with error (one sentence without its
// full stop) for an argument the program does not know (KnownArguments) or a -recompute
// without valid GROUP FROM TO (ParseRecomputeArgs).
bool ParseCommandLine(int argc, char** argv, TCommandLine& line, std::string& error);

// The lock file of the single-instance rule: "Global\VNPostProcessor", or the name in
// VNPPSVC_INSTANCE, made into a file name, in /run/lock (/tmp when that is missing).
std::string InstanceLockPath();

// What TInstanceLock::Acquire found.
enum class TLockResult {
  Acquired,  // this process holds the lock
  Held,      // another process holds it
  Denied,    // this account may not take it, or the file cannot be used (Reason())
};

// The machine-wide marker of the running instance: an exclusive flock on the lock file,
// released by the kernel when the process ends. The file is readable and writable by its
// owner only (a readable file is enough to hold an flock), so another account cannot take or
// hold it. Thread safety: main thread only.
class TInstanceLock {
 public:
  TInstanceLock() = default;
  // Takes the lock without waiting, creating the file (mode 0600) when it is missing. With
  // owner set (the account of the registered service), only that account may take it: any
  // other is Denied, and a file that another account planted (or that others may open) is
  // replaced by one of its own; without owner, the account that made the file holds it, and
  // another is Denied unless it may open the file anyway (root).
  TLockResult Acquire(std::optional<uid_t> owner);
  // Acquire(ServiceAccountId()).
  TLockResult Acquire();
  bool Held() const { return fd_.Valid(); }
  // After Held or Denied: the process holding the lock, 0 when none is known.
  pid_t HolderPid() const { return holder_; }
  // After Denied: why, as one sentence naming the lock file.
  const std::string& Reason() const { return reason_; }

 private:
  TLockResult Deny(const std::string& path, std::string reason);

  common::UniqueFd fd_;
  pid_t holder_ = 0;
  std::string reason_;
};

// systemd started this process (NOTIFY_SOCKET is set).
bool StartedBySystemd();

// Ends a start that did not get the lock (result Held or Denied) and returns the exit code.
// A -catchup (catchUp) says on standard error that the service runs and how to run the
// groups through it, 1. With toSystem (service mode, or started by systemd) the refusal
// with the lock's path and the holder's PID goes to syslog and standard error, 1. Otherwise
// a second instance ends silently with 0, and a Denied one says why on standard error, 1.
int ReportInstanceRefusal(const TInstanceLock& lock, TLockResult result, bool catchUp,
                          bool toSystem);

// The process that holds an flock on the file at path (from /proc/locks), 0 when none does.
pid_t LockHolderPid(const std::string& path);

// The user id of the account the registered unit ServiceName + ".service" runs under
// (RegisteredUnitPath, UnitAccount); none when no unit is registered or its account is
// unknown.
std::optional<uid_t> ServiceAccountId();

// Every argument is a switch of the program ("install", "uninstall", "silent", "catchup",
// "encodepassword", "regserver", "unregserver", "check", "help", "version", as HasSwitch
// reads them). Otherwise false,
// with the first other argument in unknown.
bool KnownArguments(const std::vector<std::string>& args, std::string& unknown);
// The usage text, several lines ending in LF.
const char* UsageText();

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
// RunAsService: true in an install run (installRun: the switch "install" or "uninstall"),
// or when the unit ServiceName + ".service" is registered (RegisteredUnitPath) and the
// effective user is the account it names.
bool SelectRunMode(std::string_view baseName, bool installRun);

// The directory of the executable (or VNPPSVC_HOME), with a trailing '/'.
std::string ProgramDirectory();

}  // namespace vnpp::host
