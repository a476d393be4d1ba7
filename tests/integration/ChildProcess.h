// Starting the real executables of the tree from integration tests.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/UniqueFd.h"

extern char** environ;

namespace vnpp::integration {

struct Child {
  pid_t pid = -1;
  common::UniqueFd out;  // the child's standard output and standard error
};

// Starts argv[0] with env added to the test's environment (whose VNPPSVC_ variables are
// left out); its output goes to one pipe.
inline Child Spawn(const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env) {
  std::vector<std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string var(*e);
    const std::string name = var.substr(0, var.find('='));
    if (var.rfind("VNPPSVC_", 0) != 0 && env.count(name) == 0) vars.push_back(var);
  }
  for (const auto& [k, v] : env) vars.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (std::string& v : vars) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::vector<std::string> argCopy = args;
  std::vector<char*> argv;
  for (std::string& a : argCopy) argv.push_back(a.data());
  argv.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  common::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  Child child;
  if (::posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
    child.pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  child.out = std::move(readEnd);
  return child;
}

inline Child Spawn(const std::map<std::string, std::string>& env) {
  return Spawn({VNPPSVC_EXE}, env);
}

inline std::string ReadAll(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  return text;
}

// Runs args to its end: its exit code (-1 when it did not exit normally) and its output.
struct Finished {
  int code = -1;
  std::string output;
};
inline Finished RunToEnd(const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env = {}) {
  Child child = Spawn(args, env);
  Finished done;
  if (child.pid <= 0) return done;
  done.output = ReadAll(child.out.Get());
  int status = 0;
  ::waitpid(child.pid, &status, 0);
  if (WIFEXITED(status)) done.code = WEXITSTATUS(status);
  return done;
}

// True once pid holds a write flock (the instance lock), false when it ends first or the
// deadline passes.
inline bool WaitForInstanceLock(pid_t pid) {
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

}  // namespace vnpp::integration
