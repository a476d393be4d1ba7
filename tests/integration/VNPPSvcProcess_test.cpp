// Runs the real executable in a temporary home directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "host/HostTestSupport.h"
#include "host/Startup.h"
#include "host/UniqueFd.h"

extern char** environ;

namespace vnpp::host {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

struct Child {
  pid_t pid = -1;
  UniqueFd out;  // the child's standard output and standard error
};

// Starts VNPPSvc with env added to the test's environment; its output goes to one pipe.
Child Spawn(const std::map<std::string, std::string>& env) {
  std::vector<std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string(*e).rfind("VNPPSVC_", 0) != 0) vars.emplace_back(*e);
  }
  for (const auto& [k, v] : env) vars.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (std::string& v : vars) envp.push_back(v.data());
  envp.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  char exe[] = VNPPSVC_EXE;
  char* argv[] = {exe, nullptr};
  Child child;
  if (::posix_spawn(&child.pid, exe, &actions, nullptr, argv, envp.data()) != 0) child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  child.out = std::move(readEnd);
  return child;
}

std::string ReadAll(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  return text;
}

// True once pid holds a write flock (the instance lock), false when it ends first or the
// deadline passes.
bool WaitForInstanceLock(pid_t pid) {
  const std::string marker = " WRITE " + std::to_string(pid) + " ";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
      if (line.find("FLOCK") != std::string::npos && line.find(marker) != std::string::npos) {
        return true;
      }
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
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

TEST(VNPPSvcProcess, RunsUntilAStopSignalAndASecondInstanceEndsSilently) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    TempDir home, units;
    std::filesystem::create_directory(home / "LogFiles");
    const std::string instance =
        "vnpp-it-" + std::to_string(::getpid()) + "-" + std::to_string(sig);
    ScopedEnv instanceEnv("VNPPSVC_INSTANCE", instance);
    const std::string lockPath = InstanceLockPath();
    const std::map<std::string, std::string> env = {{"VNPPSVC_HOME", home.Path()},
                                                    {"VNPPSVC_INSTANCE", instance},
                                                    {"VNPPSVC_UNIT_DIR", units.Path()}};

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
    std::filesystem::remove(lockPath);
  }
}

}  // namespace
}  // namespace vnpp::host
