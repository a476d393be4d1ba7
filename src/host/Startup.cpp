#include "host/Startup.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/AtomicFile.h"
#include "common/ServiceName.h"
#include "common/Text.h"

namespace vnpp::host {
namespace {

// "-word", "/word", "\\word", or the GNU long form "--word".
bool IsSwitch(std::string_view arg, std::string_view word) {
  if (arg.empty() || (arg[0] != '-' && arg[0] != '/' && arg[0] != '\\')) return false;
  if (arg.size() > 2 && arg[0] == '-' && arg[1] == '-') arg.remove_prefix(1);
  return common::EqualsNoCase(arg.substr(1), word);
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

// Opens the lock file without O_CREAT first: in a sticky world-writable directory the
// kernel may refuse O_CREAT on a file another account created. A symbolic link is never
// followed. Returns -1 with errno on failure.
int OpenLockFile(const std::string& path) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    // O_NONBLOCK: a FIFO put there must not hold up the start.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd =
        ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// The path still names the file that fd has open.
bool SameFile(const std::string& path, const struct stat& opened) {
  struct stat now {};
  return ::lstat(path.c_str(), &now) == 0 && now.st_dev == opened.st_dev &&
         now.st_ino == opened.st_ino;
}

// Takes a file, link or directory that another account put at path out of the way.
void RemovePlanted(const std::string& path) {
  if (::unlink(path.c_str()) == 0 || errno != EISDIR) return;
  const std::string aside = path + ".replaced-" + std::to_string(::getpid());
  if (::rename(path.c_str(), aside.c_str()) == 0) ::rmdir(aside.c_str());
}

std::string AccountName(uid_t uid) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buf(size > 0 ? static_cast<size_t>(size) : 16384, '\0');
  passwd pw{};
  passwd* result = nullptr;
  if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &result) != 0 || result == nullptr) {
    return "uid " + std::to_string(uid);
  }
  return pw.pw_name;
}

constexpr std::string_view kKnownSwitches[] = {
    "install",   "uninstall",   "silent", "catchup", "encodepassword",
    "regserver", "unregserver", "check",  "help",    "version"};

}  // namespace

TProcessValues& Process() {
  static TProcessValues values;
  return values;
}

bool HasSwitch(const std::vector<std::string>& args, std::string_view word) {
  return std::any_of(args.begin(), args.end(),
                     [word](const std::string& arg) { return IsSwitch(arg, word); });
}

bool ParseCommandLine(int argc, char** argv, TCommandLine& line, std::string& error) {
  line = TCommandLine();
  line.Args.assign(argv + (argc > 0 ? 1 : 0), argv + argc);
  if (std::string unknown; !KnownArguments(line.Args, unknown)) {
    error = "unknown argument \"" + unknown + "\"";
    return false;
  }
  if (!ParseRecomputeArgs(line.Args, line.Recompute, line.RecomputeArgs, error)) return false;
  line.InstallRun = HasSwitch(line.Args, "install") || HasSwitch(line.Args, "uninstall");
  line.CatchUp = HasSwitch(line.Args, "catchup");
  line.EncodePassword = HasSwitch(line.Args, "encodepassword");
  line.RegServer = HasSwitch(line.Args, "regserver");
  line.UnregServer = HasSwitch(line.Args, "unregserver");
  line.Check = HasSwitch(line.Args, "check");
  line.Help = HasSwitch(line.Args, "help");
  line.Version = HasSwitch(line.Args, "version");
  return true;
}

std::string InstanceLockPath() {
  std::string name = Env("VNPPSVC_INSTANCE");
  if (name.empty()) name = std::string("Global\\") + common::kServiceName;
  // A name may hold "\" (the namespace prefix) or "/": neither may reach the path.
  for (char& c : name) {
    if (c == '\\' || c == '/') c = '_';
  }
  const std::string dir = common::IsDirectory("/run/lock") ? "/run/lock" : "/tmp";
  return dir + "/" + name + ".lock";
}

TLockResult TInstanceLock::Deny(const std::string& path, std::string reason) {
  holder_ = LockHolderPid(path);
  reason_ = std::move(reason);
  return holder_ > 0 ? TLockResult::Held : TLockResult::Denied;
}

TLockResult TInstanceLock::Acquire() { return Acquire(ServiceAccountId()); }

TLockResult TInstanceLock::Acquire(std::optional<uid_t> owner) {
  if (fd_.Valid()) return TLockResult::Acquired;
  holder_ = 0;
  reason_.clear();
  const std::string path = InstanceLockPath();
  const uid_t self = ::geteuid();
  if (owner && *owner != self) {
    // Whatever this account could create there, the service would have to replace it.
    return Deny(path, "The instance lock " + path + " belongs to the account " +
                          AccountName(*owner) +
                          " of the service VNPostProcessor; VNPPSvc runs under that account "
                          "only (systemctl start VNPostProcessor).");
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    common::UniqueFd fd(OpenLockFile(path));
    if (!fd.Valid() && errno == ELOOP && owner) {
      RemovePlanted(path);  // a symbolic link
      continue;
    }
    if (!fd.Valid()) {
      const int error = errno;
      struct stat st {};
      const bool exists = ::lstat(path.c_str(), &st) == 0;
      return Deny(path, "Cannot open the instance lock " + path + ": " + std::strerror(error) +
                            (exists ? " (it belongs to the account " + AccountName(st.st_uid) + ")."
                                    : "."));
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) {
      return Deny(path,
                  "Cannot read the instance lock " + path + ": " + std::strerror(errno) + ".");
    }
    if (owner && (st.st_uid != *owner || (st.st_mode & 077) != 0 || !S_ISREG(st.st_mode))) {
      // Planted by another account (or left open to others by an older version): it must
      // not decide whether the service starts. Replaced under its own flock, so that two
      // instances of the owner never both replace it; one held by another account's process
      // is replaced after a second of waiting.
      if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0 && attempt < 50) {
        ::usleep(20000);
        continue;
      }
      if (SameFile(path, st)) RemovePlanted(path);
      continue;
    }
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      holder_ = LockHolderPid(path);
      return TLockResult::Held;
    }
    // Replaced between the open and the flock: take the file that is there now.
    if (!SameFile(path, st)) continue;
    fd_ = std::move(fd);
    return TLockResult::Acquired;
  }
  return Deny(path, "The instance lock " + path + " keeps being replaced.");
}

bool StartedBySystemd() { return !Env("NOTIFY_SOCKET").empty(); }

int ReportInstanceRefusal(const TInstanceLock& lock, TLockResult result, bool catchUp,
                          bool toSystem) {
  const std::string holder =
      lock.HolderPid() > 0 ? " (PID " + std::to_string(lock.HolderPid()) + ")" : std::string();
  std::string text;
  if (catchUp && result == TLockResult::Held) {
    text = "VNPPSvc: VNPostProcessor runs already" + holder +
           "; -catchup does not run beside it. Run the groups through the running service: "
           "vnppctl run INDEX|SECTION-NAME for each group (vnppctl status lists them).";
  } else if (result == TLockResult::Held) {
    if (!toSystem) return 0;  // a second instance on the desktop ends silently
    text = "VNPPSvc: another instance holds the instance lock " + InstanceLockPath() + holder +
           "; this one ends.";
  } else {
    text = "VNPPSvc: " + lock.Reason();
  }
  if (toSystem) {
    ::openlog("VNPostProcessor", LOG_PID, LOG_DAEMON);
    ::syslog(LOG_ERR, "%s", text.c_str());
  }
  std::fprintf(stderr, "%s\n", text.c_str());
  return 1;
}

pid_t LockHolderPid(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  char device[64];
  std::snprintf(device, sizeof device, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  std::ifstream locks("/proc/locks");
  // "1: FLOCK  ADVISORY  WRITE 1234 fe:00:5678 0 EOF"; a waiter's line has "->" after the
  // number and is skipped.
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, where;
    fields >> number >> kind >> mode >> access >> pid >> where;
    if (kind != "FLOCK" || where != device) continue;
    return static_cast<pid_t>(std::atol(pid.c_str()));
  }
  return 0;
}

std::optional<uid_t> ServiceAccountId() {
  const std::string serviceName =
      Process().ServiceName.empty() ? std::string("VNPostProcessor") : Process().ServiceName;
  const std::string unit = RegisteredUnitPath(serviceName + ".service");
  if (unit.empty()) return std::nullopt;
  const std::string account = UnitAccount(unit);
  if (account.empty()) return std::nullopt;
  if (std::all_of(account.begin(), account.end(),
                  [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
    return static_cast<uid_t>(std::strtoul(account.c_str(), nullptr, 10));
  }
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buf(size > 0 ? static_cast<size_t>(size) : 16384, '\0');
  passwd pw{};
  passwd* result = nullptr;
  if (::getpwnam_r(account.c_str(), &pw, buf.data(), buf.size(), &result) != 0 ||
      result == nullptr) {
    return std::nullopt;
  }
  return pw.pw_uid;
}

bool KnownArguments(const std::vector<std::string>& args, std::string& unknown) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // GROUP, FROM and TO follow it (checked by ParseRecomputeArgs).
    if (IsSwitch(arg, "recompute")) {
      i += 3;
      continue;
    }
    const bool known = std::any_of(std::begin(kKnownSwitches), std::end(kKnownSwitches),
                                   [&arg](std::string_view word) { return IsSwitch(arg, word); });
    if (!known) {
      unknown = arg;
      return false;
    }
  }
  return true;
}

const char* UsageText() {
  return "Usage: VNPPSvc                      process on schedule until stopped\n"
         "       VNPPSvc -catchup             run every enabled group up to now, then end\n"
         "       VNPPSvc -recompute GROUP FROM TO\n"
         "                                    compute the windows of GROUP in [FROM, TO) again\n"
         "                                    (YYYY-MM-DD[ HH:MM[:SS]]), write what changed\n"
         "       VNPPSvc -install [-silent]   write and enable the systemd unit\n"
         "       VNPPSvc -uninstall [-silent] disable and remove the systemd unit\n"
         "       VNPPSvc -check               check the configuration, the database and the\n"
         "                                    files as a start would; exit 0 when clean\n"
         "       VNPPSvc -encodepassword      encode the password read from standard input\n"
         "       VNPPSvc -REGSERVER | -UNREGSERVER\n"
         "                                    install or remove the D-Bus files\n"
         "       VNPPSvc --help | --version   this text, or the version and build commit\n"
         "A switch starts with \"-\", \"--\" or \"/\"; letter case does not matter.\n";
}

std::string EffectiveUserName() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buf(size > 0 ? static_cast<size_t>(size) : 16384, '\0');
  passwd pw{};
  passwd* result = nullptr;
  if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &result) != 0 || result == nullptr) {
    return std::string();
  }
  return pw.pw_name;
}

std::string UnitAccount(const std::string& unitPath) {
  std::ifstream in(unitPath);
  if (!in) return std::string();
  std::string section;
  std::string account = "root";
  std::string line;
  while (std::getline(in, line)) {
    line = common::Trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[') {
      section = line;
      continue;
    }
    if (section != "[Service]") continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos || common::Trim(line.substr(0, eq)) != "User") continue;
    // The last assignment wins; an empty one returns to the default account.
    account = common::Trim(line.substr(eq + 1));
    if (account.empty()) account = "root";
  }
  if (common::EqualsNoCase(account, "LocalSystem")) account = "root";
  return account;
}

std::string UnitDirectory() {
  std::string dir = Env("VNPPSVC_UNIT_DIR");
  return dir.empty() ? std::string("/etc/systemd/system") : dir;
}

std::string RegisteredUnitPath(const std::string& unitName) {
  std::vector<std::string> dirs = {UnitDirectory()};
  if (Env("VNPPSVC_UNIT_DIR").empty()) {
    dirs.insert(dirs.end(), {"/lib/systemd/system", "/usr/lib/systemd/system"});
  }
  for (const std::string& dir : dirs) {
    const std::string path = dir + "/" + unitName;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return path;
  }
  return std::string();
}

bool SelectRunMode(std::string_view baseName, bool installRun) {
  TProcessValues& p = Process();
  p.ServiceDisplayName = std::string(baseName);
  p.ServiceName = p.ServiceDisplayName;
  std::replace(p.ServiceName.begin(), p.ServiceName.end(), ' ', '_');
  if (installRun) {
    p.RunAsService = true;
    return true;
  }
  const std::string unit = RegisteredUnitPath(p.ServiceName + ".service");
  p.RunAsService = !unit.empty();
  if (p.RunAsService) {
    const std::string account = UnitAccount(unit);
    std::string user = EffectiveUserName();
    // A numeric User= names the account by its id.
    if (!account.empty() && std::all_of(account.begin(), account.end(), [](char c) {
          return std::isdigit(static_cast<unsigned char>(c));
        })) {
      user = std::to_string(::geteuid());
    }
    p.RunAsService = !account.empty() && common::EqualsNoCase(user, account);
  }
  return p.RunAsService;
}

std::string ProgramDirectory() {
  std::string dir = Env("VNPPSVC_HOME");
  if (dir.empty()) {
    std::string exe(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size() - 1);
    if (n > 0) {
      exe.resize(static_cast<size_t>(n));
      const auto slash = exe.rfind('/');
      if (slash != std::string::npos) dir = slash == 0 ? std::string("/") : exe.substr(0, slash);
    }
    if (dir.empty()) dir = ".";
  }
  if (dir.back() != '/') dir += '/';
  return dir;
}

}  // namespace vnpp::host
