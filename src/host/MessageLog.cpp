#include "host/MessageLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/Clock.h"
#include "common/DateTime.h"
#include "common/Text.h"
#include "host/UniqueFd.h"

namespace vnpp::host {
namespace {

bool WriteAll(int fd, const std::string& text) {
  return common::WriteAll(fd, text.data(), text.size());
}

}  // namespace

std::string LoadMessage(int id) {
  static const char* const kTexts[] = {
      common::kMsgUnableToConnect, common::kMsgDatabaseNotConnected, common::kMsgReading,
      common::kMsgStartupLoaded,   common::kMsgErrorPrefix,          common::kMsgDisabled,
      common::kMsgDataFor,         common::kMsgRetrieveData,         common::kMsgFinished,
      common::kMsgServiceStarted,  common::kMsgServiceStopped,
  };
  static_assert(sizeof kTexts / sizeof kTexts[0] == kMsgIdLast - kMsgIdFirst + 1);
  if (id < kMsgIdFirst || id > kMsgIdLast) return std::string();
  return kTexts[id - kMsgIdFirst];
}

void TMessageLog::WriteLog(const std::string& message) {
  try {
    const std::string line = common::FormatDateTimeText(common::Now()) + "    " + message;
    {
      common::MutexLock lock(fileMu_);
      if (logMessage_.load()) AppendLogLineLocked(line);
      if (echoFd_ >= 0) WriteAll(echoFd_, line + "\n");
    }
    // The broadcast runs unlocked: a slow client must not hold up the other thread's lines.
    if (common::IEventSink* sink = sink_.load())
      sink->SetItemChange(common::kHostAppId, common::kItemMessage, message);
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
    common::MutexLock lock(fileMu_);
    AppendLogLineLocked(line);
  } catch (...) {
    // Dropped silently.
  }
}

void TMessageLog::AppendLogLineLocked(const std::string& line) {
  if (logFileName_.empty()) return;
  // O_CREAT makes the file but never the directory: a missing "LogFiles" loses the line.
  const UniqueFd fd(
      ::open(logFileName_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666));
  if (!fd.Valid()) return;
  // One write call per line: with O_APPEND a killed process leaves the line whole or absent.
  WriteAll(fd.Get(), line + "\r\n");
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
