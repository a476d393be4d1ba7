// Runs the real executable in a temporary home directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/UniqueFd.h"
#include "host/Startup.h"
#include "support/ChildProcess.h"
#include "support/HostTestSupport.h"
#include "support/PrivateBus.h"
#include "support/TestDatabases.h"

namespace vnpp::host {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

using integration::Child;
using integration::ReadAll;
using integration::WaitForInstanceLock;

struct SpawnOptions {
  std::vector<std::string> args;
  std::string input = "/dev/null";  // the file on standard input
  bool closedOutput = false;        // the output pipe has no reader from the start
};

// VNPPSvc with options.args; env is added to the test's environment.
Child Spawn(const std::map<std::string, std::string>& env, const SpawnOptions& options = {}) {
  std::vector<std::string> args = {VNPPSVC_EXE};
  args.insert(args.end(), options.args.begin(), options.args.end());
  integration::SpawnOptions spawn;
  spawn.input = options.input;
  spawn.closedOutput = options.closedOutput;
  return integration::Spawn(args, env, spawn);
}

// Every path under dir with its size and modification time.
std::string Snapshot(const std::string& dir) {
  std::string text;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    struct stat st {};
    ::lstat(e.path().c_str(), &st);
    text += e.path().string() + " " + std::to_string(st.st_size) + " " +
            std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + "\n";
  }
  return text;
}

// -check against one configuration and database that hold every problem at once, one table
// short, and a clean one; it neither takes the instance lock nor writes anything.
TEST(VNPPSvcProcess, CheckReportsEveryProblemAndExitsZeroOnlyWhenClean) {
  const std::string fine =
      "[G]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\nPOLLNumber=1\r\nPOLL1=ST1.WL\r\n"
      "POLLDataLabel1=WL_AVG\r\n";
  const std::string broken =
      "[G]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\nPOLLNumber=3\r\nPOLL1=ST1.WL\r\n"
      "POLLDataLabel1=WL_AVG\r\nPOLL2=ST1.WL\r\nPOLLDataLabel2=WL_AVG\r\nPOLL3=ST9.XX\r\n"
      "POLLDataLabel3=XX_AVG\r\n";
  const struct {
    const char* name;
    std::string groupNames, groups;
    std::vector<std::string> sql;  // run on the database after the schema
    int code;
    std::vector<std::string> said;
  } cases[] = {
      {"clean", "G", fine, {}, 0, {"no problems"}},
      {"every problem",
       "G,Nowhere",
       broken,
       {"DROP INDEX VN_DATA1_STATION_SENSOR_TIME", "DROP TABLE VN_PPDATA1",
        "CREATE TABLE VN_PPDATA1 (STATION_ID VARCHAR(64), DATA_LABEL VARCHAR(64), "
        "FUNCTION_NAME VARCHAR(16), TIME_TAG TIMESTAMP, TIME_PERIOD DOUBLE, PP_VALUE DOUBLE, "
        "FLAG1 VARCHAR(16), FLAG2 VARCHAR(16), FLAG3 VARCHAR(16), VALUE_TIME_TAG TIMESTAMP, "
        "PROCESS_TIME_TAG TIMESTAMP, SENSORNAME VARCHAR(64), ALTERNATE_LABEL VARCHAR(64))"},
       1,
       {"no section [Nowhere]", "[G] POLLDataLabel2=WL_AVG repeats POLLDataLabel1",
        "[G] POLL3=ST9.XX: VN_DATA1 holds no reading", "VN_PPDATA1 has no primary key",
        "CREATE INDEX VN_DATA1_STATION_SENSOR_TIME ON VN_DATA1 (STATION_ID, SENSORNAME, "
        "TIME_TAG)",
        "5 problems"}},
      {"no result table", "G", fine, {"DROP TABLE VN_PPDATA1"}, 1, {"no table VN_PPDATA1"}},
      {"change log without its tables",
       "G\r\nChangeLog=1",
       fine,
       {},
       1,
       {"missing in the readings' database: run sql/sqlite/changelog.sql", "1 problem"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir home, units;
    database::testing::TTestSqlite db;
    {
      database::TConnection connection;
      connection.Open(db.ConnectionString(), "", "");
      connection.ExecuteDirect(
          "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) VALUES ('ST1', "
          "'WL', '2026-01-01 00:00:00', 1.5)");
      for (const std::string& sql : c.sql) connection.ExecuteDirect(sql);
    }
    std::filesystem::create_directory(home / "LogFiles");
    std::ofstream(home / "VNPostProc.VFG")
        << "[PostProcess]\r\nGroupNames=" << c.groupNames << "\r\n"
        << c.groups << "[Database Settings]\r\nODBC Data Source=" << db.ConnectionString()
        << "\r\n";
    const std::string before = Snapshot(home.Path());
    Child child =
        Spawn({{"VNPPSVC_HOME", home.Path()}, {"VNPPSVC_UNIT_DIR", units.Path()}}, {{"--check"}});
    ASSERT_GT(child.pid, 0);
    const std::string output = ReadAll(child.out.Get());
    int status = -1;
    ASSERT_EQ(::waitpid(child.pid, &status, 0), child.pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.code) << status << output;
    for (const std::string& said : c.said) {
      EXPECT_NE(output.find(said), std::string::npos) << said << "\n" << output;
    }
    EXPECT_EQ(Snapshot(home.Path()), before) << "a check writes nothing";
  }
}

// SIGHUP (the terminal closed, or a hang-up from a supervisor) is a stop like the others.
TEST(VNPPSvcProcess, RunsUntilAStopSignalAndASecondInstanceEndsSilently) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(sig);
    // A bus of its own: the program's automation object is there and says nothing.
    automation::testing::TPrivateBus bus;
    VNPP_NEED_BUS(bus);
    TempDir home, units;
    std::filesystem::create_directory(home / "LogFiles");
    const std::string instance =
        "vnpp-it-" + std::to_string(::getpid()) + "-" + std::to_string(sig);
    ScopedEnv instanceEnv("VNPPSVC_INSTANCE", instance);
    const std::string lockPath = InstanceLockPath();
    const std::map<std::string, std::string> env = {{"VNPPSVC_HOME", home.Path()},
                                                    {"VNPPSVC_INSTANCE", instance},
                                                    {"VNPPSVC_UNIT_DIR", units.Path()},
                                                    {"DBUS_SESSION_BUS_ADDRESS", bus.Address()}};

    Child first = Spawn(env);
    ASSERT_GT(first.pid, 0);
    ASSERT_TRUE(WaitForInstanceLock(first.pid));
    // The first instance's processing thread loads its (absent) configuration and logs
    // the end of its start-up; after that it is idle and the home stays still.
    const auto logFile = home / "LogFiles/VNPostProc.log";
    for (int i = 0; i < 1000; ++i) {
      if (testing::ReadFile(logFile).find("Database NOT connected.") != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(testing::ReadFile(logFile).find("Database NOT connected."), std::string::npos);

    const std::string before = Snapshot(home.Path()) + Snapshot(units.Path());
    const std::string lockBefore = testing::ReadFile(lockPath);
    Child second = Spawn(env);
    ASSERT_GT(second.pid, 0);
    int status = -1;
    ASSERT_EQ(::waitpid(second.pid, &status, 0), second.pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ReadAll(second.out.Get()), "");
    EXPECT_EQ(Snapshot(home.Path()) + Snapshot(units.Path()), before);
    EXPECT_EQ(testing::ReadFile(lockPath), lockBefore);

    ASSERT_EQ(::waitpid(first.pid, &status, WNOHANG), 0) << "the first instance still runs";
    ASSERT_EQ(::kill(first.pid, sig), 0);
    ASSERT_EQ(::waitpid(first.pid, &status, 0), first.pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ReadAll(first.out.Get()), "");
    EXPECT_NE(testing::ReadFile(logFile).find("Post processing service stopped."),
              std::string::npos);
    std::filesystem::remove(lockPath);
  }
}

// Starts that cannot do what was asked say so and fail: a -catchup beside the running
// instance, a second instance under systemd (which otherwise reports only "protocol"), an
// argument the program does not know (which used to start processing in the foreground).
TEST(VNPPSvcProcess, RefusedStartsSayWhyAndFail) {
  TempDir home, units;
  std::filesystem::create_directory(home / "LogFiles");
  const std::string instance = "vnpp-it-" + std::to_string(::getpid()) + "-refused";
  ScopedEnv instanceEnv("VNPPSVC_INSTANCE", instance);
  const std::map<std::string, std::string> env = {{"VNPPSVC_HOME", home.Path()},
                                                  {"VNPPSVC_INSTANCE", instance},
                                                  {"VNPPSVC_UNIT_DIR", units.Path()}};
  const auto run = [&](const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& extra, std::string& output) {
    std::map<std::string, std::string> all = env;
    all.insert(extra.begin(), extra.end());
    Child child = Spawn(all, {args});
    if (child.pid <= 0) return -1;
    // A start that was not refused runs on: it is ended after 20 seconds.
    output.clear();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      pollfd p{child.out.Get(), POLLIN, 0};
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(child.pid, SIGKILL);
        break;
      }
      if (::poll(&p, 1, 100) != 1) continue;
      char buf[4096];
      const ssize_t n = ::read(child.out.Get(), buf, sizeof buf);
      if (n <= 0) break;
      output.append(buf, static_cast<size_t>(n));
    }
    int status = -1;
    if (::waitpid(child.pid, &status, 0) != child.pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  };
  std::string output;
  for (const char* arg : {"-catchupp", "/recomputed", "catchup"}) {
    EXPECT_EQ(run({arg}, {}, output), 2) << arg;
    EXPECT_NE(output.find(std::string("unknown argument \"") + arg + "\""), std::string::npos)
        << output;
    EXPECT_NE(output.find("Usage: VNPPSvc"), std::string::npos) << output;
  }
  // The GNU long forms: --help and --version answer on standard output; --recompute is
  // -recompute, never a start in the foreground.
  const struct {
    std::vector<std::string> args;
    int code;
    const char* said;
  } gnu[] = {{{"--help"}, 0, "Usage: VNPPSvc"},
             {{"--version"}, 0, "VNPPSvc 1."},
             {{"--recompute"}, 2, "-recompute needs GROUP FROM TO"}};
  for (const auto& g : gnu) {
    EXPECT_EQ(run(g.args, {}, output), g.code) << g.args[0];
    EXPECT_NE(output.find(g.said), std::string::npos) << output;
  }
  EXPECT_FALSE(std::filesystem::exists(home / "LogFiles/VNPostProc.log")) << "nothing started";
  // -recompute names what it cannot use as it was given.
  const struct {
    std::vector<std::string> args;
    int code;
    std::string said;
  } recompute[] = {
      {{"-recompute", "1", "2026-02-30", "2026-03-02"}, 2, "\"2026-02-30\" is not a valid date"},
      {{"-recompute", "1", "2026-02-01", "2026-04-31"}, 2, "\"2026-04-31\" is not a valid date"},
      {{"-recompute", "1", "2026-03-32", "2026-04-01"}, 2, "\"2026-03-32\" is not a valid date"},
      {{"-recompute", "Nope", "2026-02-01", "2026-02-02"},
       1,
       "cannot recompute group Nope: there is no group with this section name"},
  };
  for (const auto& r : recompute) {
    EXPECT_EQ(run(r.args, {}, output), r.code) << r.args[2] << output;
    EXPECT_NE(output.find(r.said), std::string::npos) << output;
  }

  Child first = Spawn(env);
  ASSERT_GT(first.pid, 0);
  ASSERT_TRUE(WaitForInstanceLock(first.pid));
  const std::string pid = "(PID " + std::to_string(first.pid) + ")";
  EXPECT_EQ(run({"-catchup"}, {}, output), 1);
  EXPECT_NE(output.find("vnppctl run"), std::string::npos) << output;
  EXPECT_NE(output.find(pid), std::string::npos) << output;
  EXPECT_EQ(run({}, {{"NOTIFY_SOCKET", home / "no-socket"}}, output), 1);
  EXPECT_NE(output.find(InstanceLockPath() + " " + pid), std::string::npos) << output;
  EXPECT_EQ(run({}, {}, output), 0) << "a second instance on the desktop ends silently";
  EXPECT_EQ(output, "");

  ASSERT_EQ(::kill(first.pid, SIGTERM), 0);
  int status = -1;
  ASSERT_EQ(::waitpid(first.pid, &status, 0), first.pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::filesystem::remove(InstanceLockPath());
}

// A home whose one group catches up over the last few hours against a data source that
// cannot be connected: every connection attempt writes its error to standard error.
void WriteUnreachableDatabaseHome(const TempDir& home) {
  std::filesystem::create_directory(home / "LogFiles");
  const std::time_t since = std::time(nullptr) - 3 * 3600;
  std::tm local{};
  ::localtime_r(&since, &local);
  char startFrom[32];
  std::strftime(startFrom, sizeof startFrom, "%m/%d/%Y %H:00:00", &local);
  std::ofstream(home / "VNPostProc.VFG")
      << "[PostProcess]\r\nLogMessage=1\r\nLogDetail=1\r\nGroupNames=G\r\n"
      << "[G]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\nBaseTime=00:05:00\r\n"
      << "StartFrom=" << startFrom << "\r\nDescription=WL_AVG\r\nDataType=0\r\n"
      << "POLLNumber=1\r\nPOLL1=ST01.WL\r\nPOLLDataLabel1=WL_AVG\r\n"
      << "[Database Settings]\r\nODBC Data Source=Driver=VNPP no such driver;Database=x\r\n";
}

// With SIGPIPE ignored, a write to a pipe nobody reads fails with EPIPE instead of ending
// the process; each case is run once with a reader, to show that it does write.
TEST(VNPPSvcProcess, OutputPipeWithoutReaderDoesNotKillTheProcess) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    bool closedOutput;
    int exitCode;
    const char* output;  // expected in the output when it is read
  };
  const Case cases[] = {
      {"encodepassword", {"-encodepassword"}, false, 0, "ODBC Password="},
      // The printed credential is lost: that is a failure.
      {"encodepassword", {"-encodepassword"}, true, 1, nullptr},
      {"catchup", {"-catchup"}, false, 1, "Error 1501: Unable to connect to database."},
      {"catchup", {"-catchup"}, true, 1, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.closedOutput ? " without reader" : " with reader"));
    TempDir home, units;
    WriteUnreachableDatabaseHome(home);
    std::ofstream(home / "password") << "secret\n";
    const std::string instance = "vnpp-it-" + std::to_string(::getpid()) + "-pipe";
    ScopedEnv instanceEnv("VNPPSVC_INSTANCE", instance);
    Child child = Spawn({{"VNPPSVC_HOME", home.Path()},
                         {"VNPPSVC_INSTANCE", instance},
                         {"VNPPSVC_UNIT_DIR", units.Path()}},
                        {c.args, home / "password", c.closedOutput});
    ASSERT_GT(child.pid, 0);
    const std::string output = c.closedOutput ? "" : ReadAll(child.out.Get());
    int status = -1;
    ASSERT_EQ(::waitpid(child.pid, &status, 0), child.pid);
    EXPECT_FALSE(WIFSIGNALED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exitCode) << status;
    if (c.output) {
      EXPECT_NE(output.find(c.output), std::string::npos) << output;
    }
    if (c.args[0] == "-catchup") {
      EXPECT_NE(testing::ReadFile(home / "LogFiles/VNPostProc.log")
                    .find("Post processing service stopped."),
                std::string::npos);
    }
    std::filesystem::remove(InstanceLockPath());
  }
}

// A catch-up that processed nothing because the configuration was missing or refused has
// not done its job.
TEST(VNPPSvcProcess, CatchUpFailsWhenTheConfigurationIsMissingOrRefused) {
  const struct {
    const char* name;
    std::function<void(const TempDir&)> make;
    const char* logged;
  } cases[] = {
      {"missing", [](const TempDir&) {}, "does not exist"},
      {"count above its limit",
       [](const TempDir& home) {
         std::ofstream(home / "VNPostProc.VFG") << "[PostProcess]\r\nGroups=10001\r\n";
       },
       "above the limit"},
      {"FIFO", [](const TempDir& home) { ::mkfifo((home / "VNPostProc.VFG").c_str(), 0644); },
       "not a regular file"},
      {"empty", [](const TempDir& home) { std::ofstream(home / "VNPostProc.VFG"); },
       "names no groups"},
      {"UTF-16",
       [](const TempDir& home) {
         std::ofstream(home / "VNPostProc.VFG") << std::string("\xFF\xFE[\0P\0]\0", 8);
       },
       "encoded as UTF-16"},
      {"POLLNumber no number",
       [](const TempDir& home) {
         std::ofstream(home / "VNPostProc.VFG")
             << "[PostProcess]\r\nGroupNames=G\r\n[G]\r\nPOLLNumber=2147483648\r\n";
       },
       "POLLNumber=2147483648 in section [G] is not a number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir home, units;
    std::filesystem::create_directory(home / "LogFiles");
    c.make(home);
    const std::string instance = "vnpp-it-" + std::to_string(::getpid()) + "-config";
    ScopedEnv instanceEnv("VNPPSVC_INSTANCE", instance);
    Child child = Spawn({{"VNPPSVC_HOME", home.Path()},
                         {"VNPPSVC_INSTANCE", instance},
                         {"VNPPSVC_UNIT_DIR", units.Path()}},
                        {{"-catchup"}});
    ASSERT_GT(child.pid, 0);
    const std::string output = ReadAll(child.out.Get());
    int status = -1;
    ASSERT_EQ(::waitpid(child.pid, &status, 0), child.pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << output;
    EXPECT_NE(output.find("configuration"), std::string::npos) << output;
    EXPECT_NE(testing::ReadFile(home / "LogFiles/VNPostProc.log").find(c.logged),
              std::string::npos);
    std::filesystem::remove(InstanceLockPath());
  }
}

// A refused connection is logged with its cause and the data source, never the password,
// once for the run.
TEST(VNPPSvcProcess, RefusedConnectionIsLoggedWithItsCauseOnce) {
  TempDir home, units;
  WriteUnreachableDatabaseHome(home);
  std::string config = testing::ReadFile(home / "VNPostProc.VFG");
  const std::string source = "Driver=VNPP no such driver;Database=x";
  config.replace(config.find(source), source.size(), source + ";PWD={hunter;2}");
  const std::string entries = "POLLNumber=1\r\n";
  config.replace(config.find(entries), entries.size(),
                 "POLLNumber=3\r\nPOLL2=ST02.WL\r\nPOLLDataLabel2=WL_AVG\r\nPOLL3=ST03.WL\r\n"
                 "POLLDataLabel3=WL_AVG\r\n");
  std::ofstream(home / "VNPostProc.VFG", std::ios::trunc) << config;
  const std::string instance = "vnpp-it-" + std::to_string(::getpid()) + "-connect";
  ScopedEnv instanceEnv("VNPPSVC_INSTANCE", instance);
  Child child = Spawn({{"VNPPSVC_HOME", home.Path()},
                       {"VNPPSVC_INSTANCE", instance},
                       {"VNPPSVC_UNIT_DIR", units.Path()}},
                      {{"-catchup"}});
  ASSERT_GT(child.pid, 0);
  const std::string output = ReadAll(child.out.Get());
  int status = -1;
  ASSERT_EQ(::waitpid(child.pid, &status, 0), child.pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  const std::string log = testing::ReadFile(home / "LogFiles/VNPostProc.log");
  const std::string line =
      "Error 1501: Unable to connect to database. Data source \"" + source + ";PWD=***\": ";
  const size_t at = log.find(line);
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find(line, at + 1), std::string::npos) << "once per run\n" << log;
  // The entries it leaves undone: one line for the run, not one per entry.
  EXPECT_EQ(log.find("Error 1500: The database connection is closed."), std::string::npos) << log;
  EXPECT_NE(log.find("Error 1500: PollGroup 1: 3 entries not processed: the database connection "
                     "is closed."),
            std::string::npos)
      << log;
  // The driver manager's reason follows on the same line.
  EXPECT_GT(log.find("\r\n", at), at + line.size() + 10) << log;
  EXPECT_EQ((log + output).find("hunter"), std::string::npos) << log << output;
  std::filesystem::remove(InstanceLockPath());
}

// The output read until it holds text, for at most 20 seconds.
std::string ReadUntil(int fd, const std::string& text) {
  std::string output;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (output.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) != 1) continue;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    output.append(buf, static_cast<size_t>(n));
  }
  return output;
}

// /dev/full stands in for a full disk: every log line fails, and the desktop-mode process
// says so once on standard error.
TEST(VNPPSvcProcess, LogFileOnAFullDiskIsReportedOnceOnStandardError) {
  TempDir home, units;
  std::filesystem::create_directory(home / "LogFiles");
  std::filesystem::create_symlink("/dev/full", home / "LogFiles/VNPostProc.log");
  const std::string instance = "vnpp-it-" + std::to_string(::getpid()) + "-full";
  ScopedEnv instanceEnv("VNPPSVC_INSTANCE", instance);
  Child child = Spawn({{"VNPPSVC_HOME", home.Path()},
                       {"VNPPSVC_INSTANCE", instance},
                       {"VNPPSVC_UNIT_DIR", units.Path()}});
  ASSERT_GT(child.pid, 0);
  const std::string notice = "Cannot write the log file " + home / "LogFiles/VNPostProc.log" +
                             ": " + std::strerror(ENOSPC);
  std::string output = ReadUntil(child.out.Get(), notice);
  ASSERT_EQ(::kill(child.pid, SIGTERM), 0);
  int status = -1;
  ASSERT_EQ(::waitpid(child.pid, &status, 0), child.pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  output += ReadAll(child.out.Get());
  const size_t first = output.find(notice);
  ASSERT_NE(first, std::string::npos) << output;
  EXPECT_EQ(output.find(notice, first + 1), std::string::npos) << output;
  std::filesystem::remove(InstanceLockPath());
}

// A datagram socket standing in for systemd's notification socket.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path)
      : path_(path), fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    bound_ = fd_.Valid() && ::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  bool Bound() const { return bound_; }
  // The next datagram, or "" when none arrives within 20 seconds.
  std::string Receive() {
    pollfd p{fd_.Get(), POLLIN, 0};
    if (::poll(&p, 1, 20000) != 1) return "";
    char buf[4096];
    const ssize_t n = ::recv(fd_.Get(), buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }

 private:
  std::string path_;
  common::UniqueFd fd_;
  bool bound_ = false;
};

// Under systemd with an account the run-mode rule does not see (a drop-in, a unit outside
// the unit directory), the process runs in desktop mode: it still reports to systemd.
TEST(VNPPSvcProcess, ReportsReadyAndStoppingWheneverNotifySocketIsSet) {
  TempDir home, units;
  std::filesystem::create_directory(home / "LogFiles");
  NotifySocket notify(home / "notify");
  ASSERT_TRUE(notify.Bound());
  const std::string instance = "vnpp-it-" + std::to_string(::getpid()) + "-notify";
  ScopedEnv instanceEnv("VNPPSVC_INSTANCE", instance);
  Child child = Spawn({{"VNPPSVC_HOME", home.Path()},
                       {"VNPPSVC_INSTANCE", instance},
                       {"VNPPSVC_UNIT_DIR", units.Path()},
                       {"NOTIFY_SOCKET", home / "notify"}});
  ASSERT_GT(child.pid, 0);
  EXPECT_EQ(notify.Receive(), "READY=1");
  ASSERT_EQ(::kill(child.pid, SIGTERM), 0);
  EXPECT_EQ(notify.Receive(), "STOPPING=1");
  int status = -1;
  ASSERT_EQ(::waitpid(child.pid, &status, 0), child.pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::filesystem::remove(InstanceLockPath());
}

}  // namespace
}  // namespace vnpp::host
