// A private dbus-daemon for a test: a session bus, or a bus with the system bus's default
// policy plus a policy file of ours, in a temporary directory of its own. Each test starts
// its own daemon, so that tests running side by side never meet on the well-known name.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/HostTestSupport.h"

extern char** environ;

namespace vnpp::automation::testing {

inline std::string SourceDir() {
  const char* s = std::getenv("VNPP_SOURCE_DIR");
  return s != nullptr ? s : ".";
}

// scripts/test sets VNPP_REQUIRE_DBUS=1: there a missing bus is a failure, not a skip.
inline bool BusRequired() {
  const char* r = std::getenv("VNPP_REQUIRE_DBUS");
  return r != nullptr && std::string(r) == "1";
}

inline const char* kSystemLikePolicy = R"(
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Properties"/>
    <deny send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"
          send_member="UpdateActivationEnvironment"/>
  </policy>
  <policy user="root">
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Monitoring"/>
  </policy>
)";

class TPrivateBus {
 public:
  // policyFile: for a system-like bus, the policy file to include; empty for a session bus.
  // serviceDir: a directory of activation files for the bus, or empty for none.
  explicit TPrivateBus(const std::string& policyFile = std::string(),
                       const std::string& serviceDir = std::string()) {
    char pattern[] = "/tmp/vnpp-bus.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      error_ = "mkdtemp failed";
      return;
    }
    dir_ = pattern;
    // Other accounts reach the socket (the tests of the policy switch user).
    ::chmod(dir_.c_str(), 0755);
    const std::string config = dir_ + "/bus.conf";
    {
      std::ofstream out(config);
      out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n<busconfig>\n";
      if (policyFile.empty()) {
        out << "  <type>session</type>\n  <listen>unix:dir=" << dir_ << "</listen>\n"
            << "  <auth>EXTERNAL</auth>\n"
            << "  <policy context=\"default\">\n    <allow send_destination=\"*\" "
               "eavesdrop=\"true\"/>\n    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n"
            << "  </policy>\n";
      } else {
        out << "  <type>system</type>\n  <listen>unix:path=" << dir_ << "/system_bus_socket"
            << "</listen>\n  <auth>EXTERNAL</auth>\n"
            << kSystemLikePolicy << "  <include>" << policyFile << "</include>\n";
      }
      if (!serviceDir.empty()) out << "  <servicedir>" << serviceDir << "</servicedir>\n";
      out << "</busconfig>\n";
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      error_ = "pipe failed";
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // The daemon's own complaints (it cannot raise its descriptor limit, ...) stay in its log.
    const std::string log = dir_ + "/daemon.log";
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string configArg = "--config-file=" + config;
    std::vector<std::string> args = {"dbus-daemon", "--nofork", "--nopidfile", configArg,
                                     "--print-address=3"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = ::posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
      pid_ = -1;
      ::close(fds[0]);
      error_ = "dbus-daemon cannot be started (is the package dbus installed?)";
      return;
    }
    std::string line;
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(fds[0]);
    if (line.empty()) {
      error_ = "dbus-daemon printed no address (configuration refused?)";
      return;
    }
    address_ = line;
  }

  ~TPrivateBus() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    if (!dir_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(dir_, ec);
    }
  }
  TPrivateBus(const TPrivateBus&) = delete;
  TPrivateBus& operator=(const TPrivateBus&) = delete;

  bool Running() const { return !address_.empty(); }
  const std::string& Address() const { return address_; }
  const std::string& Error() const { return error_; }
  const std::string& Dir() const { return dir_; }
  pid_t Pid() const { return pid_; }

 private:
  std::string dir_;
  std::string address_;
  std::string error_;
  pid_t pid_ = -1;
};

// Sets an environment variable (nullptr: removes it) for the lifetime of the object.
class TScopedEnv : public host::testing::ScopedEnv {
 public:
  TScopedEnv(const char* name, const char* value)
      : ScopedEnv(name, value != nullptr ? std::optional<std::string>(value) : std::nullopt) {}
};

}  // namespace vnpp::automation::testing

// In a test body: skips (or, under scripts/test, fails) when the bus is not running.
#define VNPP_NEED_BUS(bus)                                          \
  do {                                                              \
    if (!(bus).Running()) {                                         \
      if (::vnpp::automation::testing::BusRequired()) {             \
        FAIL() << "no private D-Bus daemon: " << (bus).Error();     \
      }                                                             \
      GTEST_SKIP() << "no private D-Bus daemon: " << (bus).Error(); \
    }                                                               \
  } while (0)
