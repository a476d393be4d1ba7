// Starting the real executables of the tree from integration tests.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/UniqueFd.h"

extern char** environ;

namespace vnpp::integration {

struct Child {
  pid_t pid = -1;
  common::UniqueFd in;   // the child's standard input, with SpawnOptions::pipeInput
  common::UniqueFd out;  // the child's standard output and standard error
};

struct SpawnOptions {
  std::string input = "/dev/null";  // the file on standard input
  bool pipeInput = false;           // standard input from a pipe instead, kept in Child::in
  bool closedOutput = false;        // the output pipe has no reader from the start
};

// Starts argv[0] with env added to the test's environment, whose variables of the program
// (VNPPSVC_) and of the systemd protocols (NOTIFY_SOCKET, WATCHDOG_) are left out, as are
// those env names; its output goes to one pipe.
inline Child Spawn(const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env,
                   const SpawnOptions& options = {}) {
  std::vector<std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string var(*e);
    const std::string name = var.substr(0, var.find('='));
    bool ours = env.count(name) != 0;
    for (const char* prefix : {"VNPPSVC_", "NOTIFY_SOCKET=", "WATCHDOG_"}) {
      ours = ours || var.rfind(prefix, 0) == 0;
    }
    if (!ours) vars.push_back(var);
  }
  for (const auto& [k, v] : env) vars.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (std::string& v : vars) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::vector<std::string> argCopy = args;
  std::vector<char*> argv;
  for (std::string& a : argCopy) argv.push_back(a.data());
  argv.push_back(nullptr);

  int outFds[2], inFds[2];
  if (::pipe2(outFds, O_CLOEXEC) != 0) return {};
  common::UniqueFd readEnd(outFds[0]), writeEnd(outFds[1]), inRead, inWrite;
  if (options.pipeInput) {
    if (::pipe2(inFds, O_CLOEXEC) != 0) return {};
    inRead.Reset(inFds[0]);
    inWrite.Reset(inFds[1]);
  }
  if (options.closedOutput) readEnd.Reset();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), STDERR_FILENO);
  if (options.pipeInput) {
    posix_spawn_file_actions_adddup2(&actions, inRead.Get(), STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, options.input.c_str(), O_RDONLY, 0);
  }
  Child child;
  if (::posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
    child.pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  child.out = std::move(readEnd);
  child.in = std::move(inWrite);
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

// Runs args to its end: its exit code (-1 when it did not exit normally), its status (the
// exit code, or 128 + the signal that ended it) and its output.
// What a running child writes, read as it comes: waits on the child's output itself.
class TOutputWatch {
 public:
  explicit TOutputWatch(int fd) : fd_(fd) {}

  // Reads until text has appeared count times in all the output so far, the output ends,
  // or timeout passes; true when it has.
  bool WaitFor(std::string_view text, std::size_t count = 1,
               std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Count(text) < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return false;
    }
    return true;
  }
  std::size_t Count(std::string_view text) const {
    std::size_t n = 0;
    for (std::size_t at = text_.find(text); at != std::string::npos;
         at = text_.find(text, at + text.size())) {
      ++n;
    }
    return n;
  }
  // The output so far and the rest up to its end.
  std::string ReadToEnd() {
    while (ReadSome(-1)) {
    }
    return text_;
  }

 private:
  // False at the end of the output or on time-out.
  bool ReadSome(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char buf[4096];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) return false;
    text_.append(buf, static_cast<std::size_t>(n));
    return true;
  }

  int fd_;
  std::string text_;
};

struct Finished {
  int code = -1;
  int status = -1;
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
  done.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
