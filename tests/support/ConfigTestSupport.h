// The common temporary directory and file helpers, a child process with a file size limit,
// and a log that records messages.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "common/Log.h"
#include "support/Files.h"
#include "support/RecordingLog.h"

namespace vnpp::config::testing {

using vnpp::testing::ReadFile;
using vnpp::testing::TempDir;
using vnpp::testing::WriteFile;

// Runs check in a child process whose files cannot grow beyond fileSizeLimit bytes (a full
// disk: writes fail with EFBIG) and which is killed after alarmSeconds (a call that blocks).
// Returns what check returns (empty when all is well), or what went wrong with the child.
inline std::string InChild(const std::function<std::string()>& check,
                           rlim_t fileSizeLimit = RLIM_INFINITY, unsigned alarmSeconds = 20) {
  int fds[2];
  if (::pipe(fds) != 0) return "pipe failed";
  const pid_t pid = ::fork();
  if (pid < 0) return "fork failed";
  if (pid == 0) {
    ::close(fds[0]);
    std::string result;
    ::signal(SIGXFSZ, SIG_IGN);
    ::alarm(alarmSeconds);
    rlimit limit{fileSizeLimit, fileSizeLimit};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
      result = "setrlimit failed";
    } else {
      try {
        result = check();
      } catch (const std::exception& e) {
        result = std::string("exception: ") + e.what();
      }
    }
    std::size_t done = 0;
    while (done < result.size()) {
      const ssize_t n = ::write(fds[1], result.data() + done, result.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string result;
  char buf[4096];
  ssize_t n = 0;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) result.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status)) {
    return "child ended by signal " + std::to_string(WTERMSIG(status)) + " " + result;
  }
  return result;
}

// Records every message; LogDetail -99 until set, as no configuration has set it.
class RecordingLog : public vnpp::testing::TRecordingLog {
 public:
  RecordingLog() : TRecordingLog(-99) {}
};

}  // namespace vnpp::config::testing
