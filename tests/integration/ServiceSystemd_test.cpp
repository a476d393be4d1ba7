// The real executable under the systemd protocols: the unit it installs, and the datagrams it
// sends to a notification socket of the test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/UniqueFd.h"
#include "host/Startup.h"
#include "support/ChildProcess.h"
#include "support/HostTestSupport.h"

namespace vnpp::host {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

using integration::Child;
using integration::ReadAll;
using Outcome = integration::Finished;

// program with args; env is added to the test's environment (see integration::Spawn).
Child Spawn(const std::string& program, const std::vector<std::string>& args,
            const std::map<std::string, std::string>& env, bool withInput = false) {
  std::vector<std::string> words = {program};
  words.insert(words.end(), args.begin(), args.end());
  integration::SpawnOptions options;
  options.pipeInput = withInput;
  return integration::Spawn(words, env, options);
}

Outcome RunToEnd(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env = {}) {
  std::vector<std::string> words = {program};
  words.insert(words.end(), args.begin(), args.end());
  return integration::RunToEnd(words, env);
}

bool Have(const std::string& program) { return RunToEnd(program, {"--version"}).status == 0; }

// A datagram socket standing in for systemd's notification socket.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    bound_ = fd_.Valid() && ::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  bool Bound() const { return bound_; }
  const std::string& Path() const { return path_; }

  // The next datagram, or nothing when none arrives within timeout.
  std::optional<std::string> Receive(std::chrono::milliseconds timeout) {
    pollfd p{fd_.Get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    char buf[4096];
    const ssize_t n = ::recv(fd_.Get(), buf, sizeof buf, 0);
    if (n < 0) return std::nullopt;
    std::string message(buf, static_cast<size_t>(n));
    all_.push_back(message);
    return message;
  }
  // Receives until a datagram equal to wanted (or, with prefix, starting with it) arrives.
  std::optional<std::string> WaitFor(const std::string& wanted, std::chrono::seconds timeout,
                                     bool prefix = false) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      const std::optional<std::string> m = Receive(left);
      if (m && (prefix ? m->rfind(wanted, 0) == 0 : *m == wanted)) return m;
    }
    return std::nullopt;
  }
  // Every datagram received so far.
  const std::vector<std::string>& All() const { return all_; }
  // Every datagram so far, one a line, for failure messages.
  std::string Received() const {
    std::string text;
    for (const std::string& m : all_) text += m + "\n";
    return text;
  }
  int Count(const std::string& message) const {
    int n = 0;
    for (const std::string& m : all_) n += m == message ? 1 : 0;
    return n;
  }

 private:
  std::string path_;
  common::UniqueFd fd_;
  bool bound_ = false;
  std::vector<std::string> all_;
};

int ThreadCount(pid_t pid) {
  int n = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/task", ec), end;
       !ec && it != end; it.increment(ec)) {
    ++n;
  }
  return n;
}

std::string InstanceName(const char* what) {
  return std::string("vnpp-sd-") + what + "-" + std::to_string(::getpid());
}

TEST(ServiceSystemd, InstallWritesAUnitSystemdAcceptsAndRefusesASecondOne) {
  TempDir home, units;
  const std::map<std::string, std::string> env = {{"VNPPSVC_HOME", home.Path()},
                                                  {"VNPPSVC_UNIT_DIR", units.Path()},
                                                  {"VNPPSVC_SYSTEMCTL", ""},
                                                  {"VNPPSVC_INSTANCE", InstanceName("install")}};
  const std::string unit = units / "VNPostProcessor.service";
  const std::string exe = std::filesystem::canonical(VNPPSVC_EXE).string();

  Outcome r = RunToEnd(exe, {"-install"}, env);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "Service installed successfully\n");
  const std::string text = ReadFile(unit);
  EXPECT_NE(text.find("\nExecStart=\"" + exe + "\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nEnvironment=\"VNPPSVC_HOME=" + home.Path() + "\"\n"), std::string::npos);
  if (Have("systemd-analyze")) {
    const Outcome verify = RunToEnd("systemd-analyze", {"verify", unit});
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_EQ(verify.output, "");
  } else {
    ADD_FAILURE() << "systemd-analyze is not installed (Debian package systemd); unit not verified";
  }

  r = RunToEnd(exe, {"/install"}, env);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "Service \"VNPostProcessor\" failed to install with error: \"" + unit +
                          ": File exists\"\n");
  EXPECT_EQ(ReadFile(unit), text);

  r = RunToEnd(exe, {"-uninstall", "-silent"}, env);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "");
  EXPECT_FALSE(std::filesystem::exists(unit));
  r = RunToEnd(exe, {"-uninstall"}, env);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "Service \"VNPostProcessor\" failed to uninstall with error: \"" + unit +
                          ": No such file or directory\"\n");
}

// One enabled hourly group and a database that is never reached before the group is due.
void WriteIdleConfiguration(const std::string& home) {
  WriteFile(home + "/VNPostProc.VFG",
            "[PostProcess]\r\nLogMessage=1\r\nLogDetail=1\r\nGroupNames=Hourly\r\n"
            "[Hourly]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\nBaseTime=00:05:00\r\n"
            "StartFrom=NOW\r\nPOLLNumber=1\r\nPOLL1=ST01.WL\r\nPOLLDataLabel1=WL_HAVG\r\n"
            "[Database Settings]\r\nODBC Data Source=vnpp-no-such-dsn\r\n");
}

TEST(ServiceSystemd, ReportsReadyStatusWatchdogAndStoppingToTheNotifySocket) {
  const struct {
    const char* name;
    std::optional<std::string> watchdogPid;
    bool pings;
  } cases[] = {
      {"WATCHDOG_PID unset", std::nullopt, true},
      {"WATCHDOG_PID names another process", "1", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir home, units, sock;
    std::filesystem::create_directory(home / "LogFiles");
    WriteIdleConfiguration(home.Path());
    // Registered under this account: the run-mode rule makes it the service.
    WriteFile(units / "VNPostProcessor.service",
              "[Service]\nType=notify\nUser=" + EffectiveUserName() + "\n");
    NotifySocket notify(sock / "notify");
    ASSERT_TRUE(notify.Bound());
    std::map<std::string, std::string> env = {{"VNPPSVC_HOME", home.Path()},
                                              {"VNPPSVC_UNIT_DIR", units.Path()},
                                              {"VNPPSVC_INSTANCE", InstanceName("notify")},
                                              {"NOTIFY_SOCKET", notify.Path()},
                                              {"WATCHDOG_USEC", "4000000"}};
    if (c.watchdogPid) env["WATCHDOG_PID"] = *c.watchdogPid;

    Child child = Spawn(VNPPSVC_EXE, {}, env);
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(notify.WaitFor("READY=1", 20s));
    EXPECT_GE(ThreadCount(child.pid), 2) << "processing runs when readiness is reported";

    const std::optional<std::string> status = notify.WaitFor("STATUS=", 20s, true);
    ASSERT_TRUE(status);
    EXPECT_TRUE(std::regex_match(
        *status, std::regex(R"(STATUS=Next Group: 1, Next Time: \d\d/\d\d/\d{4} \d\d:\d\d:\d\d)")))
        << *status;

    // Three seconds of a healthy, idle service: a ping every second, or none at all.
    const auto until = Clock::now() + 3s;
    while (Clock::now() < until) notify.Receive(100ms);
    if (c.pings) {
      EXPECT_GE(notify.Count("WATCHDOG=1"), 2);
    } else {
      EXPECT_EQ(notify.Count("WATCHDOG=1"), 0);
    }

    ASSERT_EQ(::kill(child.pid, SIGTERM), 0);
    EXPECT_TRUE(notify.WaitFor("STOPPING=1", 20s)) << notify.Received();
    int wstatus = -1;
    ASSERT_EQ(::waitpid(child.pid, &wstatus, 0), child.pid);
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << wstatus;
    while (notify.Receive(0ms)) {
    }
    EXPECT_EQ(notify.Count("READY=1"), 1) << notify.Received();
    EXPECT_EQ(notify.Count("STOPPING=1"), 1) << notify.Received();
    EXPECT_NE(ReadFile(home / "LogFiles/VNPostProc.log").find("Post processing service stopped."),
              std::string::npos);
    testing::ScopedEnv instance("VNPPSVC_INSTANCE", InstanceName("notify"));
    std::filesystem::remove(InstanceLockPath());
  }
}

// Reads from fd until text has arrived; false when the pipe ends first.
bool ReadUntil(int fd, const std::string& text) {
  std::string seen;
  char buf[256];
  ssize_t n;
  while (seen.find(text) == std::string::npos && (n = ::read(fd, buf, sizeof buf)) > 0) {
    seen.append(buf, static_cast<size_t>(n));
  }
  return seen.find(text) != std::string::npos;
}

TEST(ServiceSystemd, AStuckDatabaseCallStopsTheWatchdogPingsUntilItReturns) {
  if (!Have("sqlite3")) GTEST_SKIP() << "sqlite3 is not installed";
  TempDir home, sock;
  std::filesystem::create_directory(home / "LogFiles");
  const std::string db = home / "data.db";
  const std::string schema = std::string(VNPP_SOURCE_DIR) + "/sql/sqlite/schema.sql";
  ASSERT_EQ(RunToEnd("sh", {"-c", "sqlite3 \"$0\" < \"$1\"", db, schema}).status, 0);
  // A group with a two-second period, so that it runs at once and again and again; the
  // driver waits up to 100 s for a lock.
  WriteFile(home / "VNPostProc.VFG",
            "[PostProcess]\r\nLogMessage=1\r\nLogDetail=1\r\nGroupNames=Often\r\n"
            "[Often]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=6\r\nInterval=00:00:02\r\n"
            "StartFrom=NOW\r\nPOLLNumber=1\r\nPOLL1=ST01.WL\r\n"
            "POLLDataLabel1=WL_HAVG\r\n[Database Settings]\r\nODBC Data Source=Driver=SQLite3;"
            "Database=" +
                db + ";NoCreat=1;Timeout=100000\r\n");

  // Another program holds the database's exclusive lock: every statement of the service
  // waits in the driver.
  Child locker = Spawn("sqlite3", {db}, {}, true);
  ASSERT_GT(locker.pid, 0);
  const std::string lock = "BEGIN EXCLUSIVE;\nSELECT 'locked';\n";
  ASSERT_EQ(::write(locker.in.Get(), lock.data(), lock.size()), static_cast<ssize_t>(lock.size()));
  ASSERT_TRUE(ReadUntil(locker.out.Get(), "locked"));

  NotifySocket notify(sock / "notify");
  ASSERT_TRUE(notify.Bound());
  Child child = Spawn(VNPPSVC_EXE, {},
                      {{"VNPPSVC_HOME", home.Path()},
                       {"VNPPSVC_INSTANCE", InstanceName("stuck")},
                       {"NOTIFY_SOCKET", notify.Path()},
                       {"WATCHDOG_USEC", "4000000"}});
  ASSERT_GT(child.pid, 0);
  ASSERT_TRUE(notify.WaitFor("WATCHDOG=1", 20s));

  // Half of WatchdogSec (2 s) after the thread's last heartbeat the pings end; systemd would
  // restart the service 4 s after the last one.
  auto lastPing = Clock::now();
  const auto holdUntil = Clock::now() + 7s;
  while (Clock::now() < holdUntil) {
    if (const auto m = notify.Receive(100ms); m && *m == "WATCHDOG=1") lastPing = Clock::now();
  }
  EXPECT_GE(Clock::now() - lastPing, 3s) << "pings went on while the database call was stuck";
  int wstatus = 0;
  EXPECT_EQ(::waitpid(child.pid, &wstatus, WNOHANG), 0) << "the program itself runs on";

  // The lock goes; the run finishes and the idle loop's heartbeat brings the pings back.
  const std::string unlock = "COMMIT;\n.quit\n";
  ASSERT_EQ(::write(locker.in.Get(), unlock.data(), unlock.size()),
            static_cast<ssize_t>(unlock.size()));
  locker.in.Reset();
  ::waitpid(locker.pid, &wstatus, 0);
  EXPECT_TRUE(notify.WaitFor("WATCHDOG=1", 10s)) << "no ping once the database answered";

  ASSERT_EQ(::kill(child.pid, SIGTERM), 0);
  ASSERT_EQ(::waitpid(child.pid, &wstatus, 0), child.pid);
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << wstatus;
  const std::string log = ReadFile(home / "LogFiles/VNPostProc.log");
  EXPECT_NE(log.find("PollGroup 1: AVG - Retrieve data..."), std::string::npos) << log;
  EXPECT_EQ(log.find("Error"), std::string::npos) << log;
  // The stop saved the schedule: "NOW" became an explicit start.
  const std::string config = ReadFile(home / "VNPostProc.VFG");
  EXPECT_TRUE(
      std::regex_search(config, std::regex(R"(\nStartFrom=\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\r\n)")))
      << config;
  testing::ScopedEnv instance("VNPPSVC_INSTANCE", InstanceName("stuck"));
  std::filesystem::remove(InstanceLockPath());
}

}  // namespace
}  // namespace vnpp::host
