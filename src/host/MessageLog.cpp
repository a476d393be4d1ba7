#include "host/MessageLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "common/Clock.h"
#include "common/DateTime.h"
#include "common/ServiceName.h"
#include "common/Text.h"
#include "common/UniqueFd.h"
#include "host/Startup.h"

namespace vnpp::host {
namespace {

bool WriteAll(int fd, const std::string& text) {
  return common::WriteAll(fd, text.data(), text.size());
}

}  // namespace

void OpenSyslog() {
  static const bool opened = [] {
    ::openlog(common::kServiceName, LOG_PID, LOG_DAEMON);
    return true;
  }();
  static_cast<void>(opened);
}

void ShowOperatorMessage(const std::string& text) {
  if (Process().RunAsService) {
    OpenSyslog();
    ::syslog(LOG_ERR, "%s", text.c_str());
  } else {
    WriteAll(STDERR_FILENO, text + "\n");
  }
}

namespace {

// The broadcast of log messages as item "MESSAGE" to the current event sink.
class TBroadcast final : public IJournal {
 public:
  explicit TBroadcast(const std::atomic<common::IEventSink*>& sink) : sink_(sink) {}
  void Send(const std::string& message, const TJournalFields&) noexcept override {
    try {
      if (common::IEventSink* sink = sink_.load()) {
        sink->SetItemChange(common::kHostAppId, common::kItemMessage, message);
      }
    } catch (...) {
      // A failed broadcast loses only the event.
    }
  }

 private:
  const std::atomic<common::IEventSink*>& sink_;
};

}  // namespace

TMessageLog::TMessageLog()
    : broadcast_(std::make_unique<TJournalLimiter>(
          std::make_unique<TBroadcast>(sink_), kBroadcastDetailBudget, kBroadcastDetailPeriod,
          [] { return common::SteadyNanoseconds(); }, "the bus broadcast")) {}

void TMessageLog::WriteLog(const std::string& message) {
  WriteLogAs(static_cast<TPriority>(ClassifyLogMessage(message).Priority), message);
}

void TMessageLog::WriteLogAs(TPriority priority, const std::string& message) {
  try {
    const std::string line = common::FormatDateTimeText(common::Now()) + "    " + message;
    std::string failure;
    {
      common::MutexLock lock(fileMu_);
      if (logMessage_.load()) failure = AppendLogLineLocked(line);
      if (echoFd_ >= 0) WriteAll(echoFd_, line + "\n");
    }
    Report(failure);
    IJournal* journal = journal_.load();
    if (journal != nullptr || sink_.load() != nullptr) {
      TJournalFields fields = ClassifyLogMessage(message);
      fields.Priority = static_cast<int>(priority);
      if (journal != nullptr) journal->Send(message, fields);
      // The broadcast runs unlocked: a slow client must not hold up the other thread's lines.
      broadcast_->Send(message, fields);
    }
  } catch (...) {
    // Logging never fails towards its caller; a failed broadcast loses only the event.
  }
}

void TMessageLog::QueueMessage(const std::string& message) {
  try {
    common::MutexLock lock(queueMu_);
    if (queue_) queue_->push_back(message);
  } catch (...) {
    // Out of memory: the message is lost, the processing thread goes on.
  }
}

void TMessageLog::SetLogFileName(const std::string& path) {
  common::MutexLock lock(fileMu_);
  logFileName_ = path;
}

std::string TMessageLog::LogFileName() const {
  common::MutexLock lock(fileMu_);
  return logFileName_;
}

void TMessageLog::AppendLogLine(const std::string& line) {
  try {
    std::string failure;
    {
      common::MutexLock lock(fileMu_);
      failure = AppendLogLineLocked(line);
    }
    Report(failure);
  } catch (...) {
    // Dropped silently.
  }
}

void TMessageLog::SetFailureReport(std::function<void(const std::string&)> report) {
  common::MutexLock lock(fileMu_);
  failureReport_ = std::move(report);
}

std::string TMessageLog::AppendLogLineLocked(const std::string& line) {
  if (logFileName_.empty()) return std::string();
  // O_CREAT makes the file but never the directory: a missing "LogFiles" loses the line.
  // Opened for reading as well, to look at the end that an earlier process may have left.
  constexpr int kFlags = O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY;
  common::UniqueFd fd(::open(logFileName_.c_str(), O_RDWR | kFlags, 0666));
  bool readable = fd.Valid();
  if (!fd.Valid() && errno == EACCES)
    fd.Reset(::open(logFileName_.c_str(), O_WRONLY | kFlags, 0666));
  if (!fd.Valid()) return Failure(errno);
  // A line cut short, by this process or by one before it (a full disk, a crash), leaves
  // the file inside that line: end it before this one.
  std::string lineEnd = lineOpen_ ? "\r\n" : "";
  struct stat st {};
  char last = '\n';
  if (readable && ::fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
      ::pread(fd.Get(), &last, 1, st.st_size - 1) == 1) {
    lineEnd = last == '\n' ? "" : last == '\r' ? "\n" : "\r\n";
  }
  const std::string text = lineEnd + line + "\r\n";
  // One write call per line: with O_APPEND a killed process leaves the line whole or absent.
  std::size_t written = 0;
  if (common::WriteAll(fd.Get(), text.data(), text.size(), &written)) {
    lineOpen_ = false;
    failureReported_ = false;
    return std::string();
  }
  const int error = errno;
  if (written > 0) lineOpen_ = true;  // nothing written leaves the file as it was
  return Failure(error);
}

std::string TMessageLog::Failure(int error) {
  if (failureReported_) return std::string();
  failureReported_ = true;
  return "Cannot write the log file " + logFileName_ + ": " +
         std::error_code(error, std::generic_category()).message() +
         ". Log lines are lost until a write succeeds.";
}

void TMessageLog::Report(const std::string& failure) {
  if (failure.empty()) return;
  std::function<void(const std::string&)> report;
  {
    common::MutexLock lock(fileMu_);
    report = failureReport_;
  }
  // Called unlocked: the report may be slow (syslog) and must not hold up the other thread.
  if (report) report(failure);
}

void TMessageLog::CreateMessageQueue() {
  common::MutexLock lock(queueMu_);
  if (!queue_) queue_.emplace();
}

void TMessageLog::FreeMessageQueue() {
  common::MutexLock lock(queueMu_);
  queue_.reset();
}

bool TMessageLog::HasMessageQueue() const {
  common::MutexLock lock(queueMu_);
  return queue_.has_value();
}

void TMessageLog::DrainMessageQueue() {
  // drainMu_, not queueMu_, is held across the writes: a second drain waits and writes its
  // (later) messages after these, while QueueMessage and the status captions go on.
  common::MutexLock drain(drainMu_);
  std::deque<std::string> batch;
  {
    common::MutexLock lock(queueMu_);
    if (!queue_) return;
    batch.swap(*queue_);
  }
  for (const std::string& message : batch) WriteLog(message);
}

void TMessageLog::SetEchoFd(int fd) {
  common::MutexLock lock(fileMu_);
  echoFd_ = fd;
}

}  // namespace vnpp::host
