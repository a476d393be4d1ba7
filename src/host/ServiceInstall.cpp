#include "host/ServiceInstall.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>

#include "common/AtomicFile.h"
#include "common/Error.h"
#include "common/ServiceName.h"
#include "common/Text.h"
#include "host/Startup.h"

extern char** environ;

namespace vnpp::host {
namespace {

using common::EPostProcError;

constexpr std::string_view kUnitTemplate =
#include "host/UnitTemplate.inc"
    ;

// The framework's own switches accept "-" and "/" only (a "\install" selects the installing
// state of the main object but installs nothing).
bool ServiceSwitch(const std::vector<std::string>& args, const std::string& word) {
  for (const std::string& arg : args) {
    if (arg.size() > 1 && (arg[0] == '-' || arg[0] == '/') &&
        common::EqualsNoCase(arg.substr(1), word)) {
      return true;
    }
  }
  return false;
}

std::string SystemError(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

// systemd also refuses a quote of either kind in the name of an executable.
void CheckUnitPath(const std::string& path, bool executable) {
  bool ok = !path.empty() && path[0] == '/';
  for (const char c : path) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f || c == '"' || c == '\\' || (executable && c == '\'')) ok = false;
  }
  if (!ok) {
    throw EPostProcError("the path \"" + path + "\" cannot be written into a unit file");
  }
}

// A double-quoted unit value; "%" would start a specifier. ("$" needs no escape: ExecStart
// holds only the executable's name, which systemd never expands.) CheckUnitPath has kept out
// what quoting cannot carry.
std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '%') quoted += '%';
    quoted += c;
  }
  return quoted + "\"";
}

bool UnderUserHomes(const std::string& path) {
  for (const std::string_view dir : {"/home", "/root", "/run/user"}) {
    if (path.compare(0, dir.size(), dir) == 0 &&
        (path.size() == dir.size() || path[dir.size()] == '/')) {
      return true;
    }
  }
  return false;
}

void Replace(std::string& text, std::string_view placeholder, const std::string& value) {
  for (auto pos = text.find(placeholder); pos != std::string::npos;
       pos = text.find(placeholder, pos + value.size())) {
    text.replace(pos, placeholder.size(), value);
  }
}

std::string ExecutablePath() {
  std::string exe(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size() - 1);
  if (n <= 0) throw EPostProcError(SystemError("/proc/self/exe", errno));
  exe.resize(static_cast<size_t>(n));
  return exe;
}

std::string HomePath() {
  std::string home = std::filesystem::absolute(ProgramDirectory()).lexically_normal().string();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return home;
}

// Writes a file that must not exist yet: it is linked under its final name only once it is
// whole, and linking fails when the name exists, so an existing unit stays untouched.
void CreateFileWhole(const std::string& dir, const std::string& name, const std::string& text) {
  const std::string path = dir + "/" + name;
  const int err = common::WriteFileWhole(path, text, common::TFinalName::CreateOnly, [](int fd) {
    return ::fchmod(fd, 0644) != 0 ? errno : 0;
  });
  // An existing unit is named; any other failure is the directory's.
  if (err != 0) throw EPostProcError(SystemError(err == EEXIST ? path : dir, err));
}

void RemoveFile(const std::string& dir, const std::string& name) {
  const std::string path = dir + "/" + name;
  if (const int err = common::RemoveFileDurably(path); err != 0) {
    throw EPostProcError(SystemError(path, err));
  }
}

// The systemctl to run, or none: VNPPSVC_SYSTEMCTL when set, else "systemctl" when systemd
// is the running init system.
std::optional<std::string> Systemctl() {
  if (const char* program = std::getenv("VNPPSVC_SYSTEMCTL")) {
    if (*program == '\0') return std::nullopt;
    return std::string(program);
  }
  if (common::IsDirectory("/run/systemd/system")) return std::string("systemctl");
  return std::nullopt;
}

// Runs systemctl with args; its messages go to our standard error. Throws on failure.
void RunSystemctl(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> words = {program, "--quiet"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::string command = "systemctl";
  for (const std::string& a : args) command += " " + a;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  const int spawned =
      ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw EPostProcError(SystemError(command, spawned));
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw EPostProcError(SystemError(command, errno));
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
  const std::string how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                            : "signal " + std::to_string(WTERMSIG(status));
  throw EPostProcError(command + " failed (" + how + ")");
}

void Install(const std::string& unitName) {
  const std::string dir = UnitDirectory();
  // Checked first so that a refused install does not even touch the directory; the link in
  // CreateFileWhole still refuses a unit that appears in between.
  struct stat st {};
  if (::lstat((dir + "/" + unitName).c_str(), &st) == 0) {
    throw EPostProcError(SystemError(dir + "/" + unitName, EEXIST));
  }
  // Root unless VNPPSVC_UNIT_USER names the account (one that owns the home).
  const char* account = std::getenv("VNPPSVC_UNIT_USER");
  CreateFileWhole(dir, unitName,
                  UnitFileText(ExecutablePath(), HomePath(), account != nullptr ? account : ""));
  const std::optional<std::string> systemctl = Systemctl();
  if (!systemctl) return;
  try {
    RunSystemctl(*systemctl, {"daemon-reload"});
    RunSystemctl(*systemctl, {"enable", unitName});
  } catch (...) {
    // A unit that is not enabled is not installed: take it away again, so that a second
    // attempt meets the state of the first.
    common::RemoveFileDurably(dir + "/" + unitName);
    try {
      RunSystemctl(*systemctl, {"daemon-reload"});
    } catch (...) {
      // The first failure is the one reported.
    }
    throw;
  }
}

void Uninstall(const std::string& unitName) {
  const std::string dir = UnitDirectory();
  const std::string path = dir + "/" + unitName;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) throw EPostProcError(SystemError(path, errno));
  const std::optional<std::string> systemctl = Systemctl();
  if (systemctl) RunSystemctl(*systemctl, {"disable", unitName});
  RemoveFile(dir, unitName);
  if (systemctl) RunSystemctl(*systemctl, {"daemon-reload"});
}

}  // namespace

std::string UnitFileText(const std::string& executable, const std::string& home,
                         const std::string& account) {
  CheckUnitPath(executable, true);
  CheckUnitPath(home, false);
  for (const char c : account) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!plain) throw common::EPostProcError("not an account name for a unit: " + account);
  }
  std::string text(kUnitTemplate);
  if (account.empty()) {
    // Root, with only the capabilities to write a home that another account owns.
    Replace(text, "@VNPP_ACCOUNT@", "CapabilityBoundingSet=CAP_DAC_OVERRIDE CAP_DAC_READ_SEARCH");
  } else {
    // An account that owns the home (with its own primary group): no capabilities at all.
    Replace(text, "@VNPP_ACCOUNT@",
            "User=" + account +
                "\nCapabilityBoundingSet=\nAmbientCapabilities=\nPrivateUsers=yes\nRemoveIPC=yes");
  }
  Replace(text, "@VNPP_EXEC_START@", Quoted(executable));
  Replace(text, "@VNPP_HOME_ENVIRONMENT@", Quoted("VNPPSVC_HOME=" + home));
  // A condition's path is taken as written, without quotes; "%" still starts a specifier.
  const std::string quotedConfig =
      Quoted(home + (home.back() == '/' ? "" : "/") + "VNPostProc.VFG");
  Replace(text, "@VNPP_CONFIG_FILE@", quotedConfig.substr(1, quotedConfig.size() - 2));
  // The instance lock lives in /run/lock, which ProtectSystem=strict makes read-only.
  Replace(text, "@VNPP_READ_WRITE_PATHS@", Quoted(home) + " /run/lock");
  // ProtectHome=yes would hide an executable or a home kept in a user's home directory.
  Replace(text, "@VNPP_PROTECT_HOME@",
          UnderUserHomes(executable) || UnderUserHomes(home) ? "read-only" : "yes");
  return text;
}

int RunServiceInstall(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const bool install = ServiceSwitch(args, "install");
  const bool uninstall = !install && ServiceSwitch(args, "uninstall");
  if (!install && !uninstall) {
    err << "VNPPSvc: not started by systemd; the service switches are -install and "
           "-uninstall (or /install and /uninstall).\n";
    return 1;
  }
  const bool silent = ServiceSwitch(args, "silent");
  const std::string displayName =
      Process().ServiceDisplayName.empty() ? common::kServiceName : Process().ServiceDisplayName;
  const std::string serviceName =
      Process().ServiceName.empty() ? common::kServiceName : Process().ServiceName;
  const std::string unitName = serviceName + ".service";
  try {
    if (install) {
      Install(unitName);
    } else {
      Uninstall(unitName);
    }
  } catch (const std::exception& e) {
    err << "Service \"" << displayName << "\" failed to " << (install ? "install" : "uninstall")
        << " with error: \"" << e.what() << "\"\n";
    return 1;
  }
  if (!silent) {
    out << (install ? "Service installed successfully" : "Service uninstalled successfully")
        << "\n";
  }
  return 0;
}

}  // namespace vnpp::host
