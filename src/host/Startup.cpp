#include "host/Startup.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "common/AtomicFile.h"
#include "common/ServiceName.h"
#include "common/Text.h"

namespace vnpp::host {
namespace {

bool IsSwitch(std::string_view arg, std::string_view word) {
  if (arg.empty() || (arg[0] != '-' && arg[0] != '/' && arg[0] != '\\')) return false;
  return common::EqualsNoCase(arg.substr(1), word);
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

// Opens the lock file without O_CREAT first: in a sticky world-writable directory the
// kernel may refuse O_CREAT on a file another account created.
int OpenLockFile(const std::string& path) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd >= 0) {
      ::fchmod(fd, 0666);  // past the umask, so that every account meets the same lock
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

}  // namespace

TProcessValues& Process() {
  static TProcessValues values;
  return values;
}

void SetCommandLine(int argc, char** argv) {
  Process().Args.assign(argv + (argc > 0 ? 1 : 0), argv + argc);
}

bool HasSwitch(int argc, char** argv, std::string_view word) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i] != nullptr && IsSwitch(argv[i], word)) return true;
  }
  return false;
}

bool HasSwitch(const std::vector<std::string>& args, std::string_view word) {
  return std::any_of(args.begin(), args.end(),
                     [word](const std::string& arg) { return IsSwitch(arg, word); });
}

bool FindCmdLineSwitch(std::string_view word) { return HasSwitch(Process().Args, word); }

bool IsInstallRun() { return FindCmdLineSwitch("install") || FindCmdLineSwitch("uninstall"); }

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

bool TInstanceLock::Acquire() {
  if (fd_.Valid()) return true;
  common::UniqueFd fd(OpenLockFile(InstanceLockPath()));
  if (!fd.Valid()) return false;
  while (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) return false;
  }
  fd_ = std::move(fd);
  return true;
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

bool SelectRunMode(std::string_view baseName) {
  TProcessValues& p = Process();
  p.ServiceDisplayName = std::string(baseName);
  p.ServiceName = p.ServiceDisplayName;
  std::replace(p.ServiceName.begin(), p.ServiceName.end(), ' ', '_');
  if (IsInstallRun()) {
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
