// The message log: the log file, the queue of the processing thread's messages and the
// broadcast of every message to automation clients.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/EventSink.h"
#include "common/Log.h"
#include "common/Mutex.h"
#include "common/ThreadAnnotations.h"
#include "host/Journal.h"

namespace vnpp::host {

// Tells the operator without waiting for an answer: standard error in desktop mode, syslog
// (ident "VNPostProcessor") in service mode.
void ShowOperatorMessage(const std::string& text);
// Opens the connection to syslog under the service's name, once per process.
void OpenSyslog();

// Thread safety: every member may be called from any thread. WriteLog calls from several
// threads never interleave within a line, in the file or on the echo.
class TMessageLog final : public common::ILog {
 public:
  TMessageLog();

  // Per-window lines ("Data for ...") broadcast in each period at most; the rest are counted
  // in one line at the next message after the period.
  static constexpr int kBroadcastDetailBudget = 1000;
  static constexpr std::chrono::seconds kBroadcastDetailPeriod{30};
  TMessageLog(const TMessageLog&) = delete;
  TMessageLog& operator=(const TMessageLog&) = delete;

  // Time stamp + four blanks + message: to the file when LogMessage is on, to the echo when
  // one is set; the bare message to the journal when one is set (whatever LogMessage says,
  // as for the broadcast) and to the event sink as item "MESSAGE" (of the per-window lines, at most
  // kBroadcastDetailBudget in each kBroadcastDetailPeriod). Never throws.
  // The journal's priority: that of a WriteLogAs, else an error for the program's error
  // texts ("Error 1500: ...", "Error 1501: ...") and informational for the rest.
  void WriteLog(const std::string& message) override EXCLUDES(fileMu_);
  void WriteLogAs(TPriority priority, const std::string& message) override EXCLUDES(fileMu_);
  // Appends the message to MessageQueue; dropped when no queue exists. Never throws.
  void QueueMessage(const std::string& message) override EXCLUDES(queueMu_);

  void SetLogMessage(bool on) override { logMessage_.store(on); }
  bool LogMessage() const { return logMessage_.load(); }
  int LogDetail() const override { return logDetail_.load(); }
  void SetLogDetail(int level) override { logDetail_.store(level); }

  void SetLogFileName(const std::string& path) EXCLUDES(fileMu_);
  std::string LogFileName() const EXCLUDES(fileMu_);

  // Opens LogFileName for appending (creating the file, never its directory), writes line
  // and CR LF, closes it. A file that cannot be opened (its directory deleted) loses the
  // line; a write that fails or is cut short (a full disk) loses the line or its end. A file
  // that does not end with a line end (a line cut short, here or by an earlier process)
  // gets one before the line, so that the line begins a line of the file. A failure goes
  // to the failure report once, with the file name and the system's reason, and again only
  // after a write has succeeded in between.
  void AppendLogLine(const std::string& line) EXCLUDES(fileMu_);

  // Where write failures of the log file are reported; ShowOperatorMessage until set.
  void SetFailureReport(std::function<void(const std::string&)> report) EXCLUDES(fileMu_);

  // MessageQueue exists from CreateMessageQueue to FreeMessageQueue; freeing discards the
  // entries still in it.
  void CreateMessageQueue() EXCLUDES(queueMu_);
  void FreeMessageQueue() EXCLUDES(queueMu_);
  bool HasMessageQueue() const EXCLUDES(queueMu_);

  // The message timer's work: WriteLog of every queued message, oldest first. Nothing when
  // no queue exists. The queue lock is held only to take the messages out: the processing
  // thread never waits for the file or the broadcast. Drains from two threads (the timer,
  // a stop of processing) run one after the other, so messages keep their order.
  void DrainMessageQueue() EXCLUDES(drainMu_, queueMu_);

  // The lock of MessageQueue. The processing thread holds it while it changes the status
  // labels of the main object.
  common::Mutex& MessageQueueLock() RETURN_CAPABILITY(queueMu_) { return queueMu_; }

  // The broadcast target, or nullptr for none.
  // REQUIRES: the sink outlives its use; it is replaced only while no other thread logs.
  void SetEventSink(common::IEventSink* sink) { sink_.store(sink); }
  common::IEventSink* EventSink() const { return sink_.load(); }

  // The journal that receives every message in service mode, or nullptr for none.
  // REQUIRES: the journal outlives its use, as for the event sink.
  void SetJournal(IJournal* journal) { journal_.store(journal); }

  // A descriptor that receives a copy of every log line (ending in LF), or -1 for none.
  // The descriptor stays owned by the caller.
  void SetEchoFd(int fd) EXCLUDES(fileMu_);

 private:
  // Returns the failure report to make once fileMu_ is released, or "".
  std::string AppendLogLineLocked(const std::string& line) REQUIRES(fileMu_);
  // The report of a failure with errno error, or "" when one was made since the last good
  // write.
  std::string Failure(int error) REQUIRES(fileMu_);
  void Report(const std::string& failure) EXCLUDES(fileMu_);

  std::atomic<bool> logMessage_{false};
  std::atomic<int> logDetail_{0};
  std::atomic<common::IEventSink*> sink_{nullptr};
  std::atomic<IJournal*> journal_{nullptr};
  // The broadcast to sink_, behind a limiter of per-window lines as the journal's: a
  // catch-up at LogDetail 2 makes thousands a second, more than followers read.
  const std::unique_ptr<IJournal> broadcast_;

  // Held by a drain from taking the messages out until the last is written.
  // Lock order: drainMu_ before queueMu_ and fileMu_; queueMu_ is never held while another
  // lock is taken (the processing thread takes its StatusLock, if at all, before it).
  common::Mutex drainMu_ ACQUIRED_BEFORE(queueMu_, fileMu_);
  mutable common::Mutex queueMu_;
  std::optional<std::deque<std::string>> queue_ GUARDED_BY(queueMu_);

  // Serialises the file and the echo, so that lines of two threads never tear.
  mutable common::Mutex fileMu_;
  std::string logFileName_ GUARDED_BY(fileMu_);
  int echoFd_ GUARDED_BY(fileMu_) = -1;
  std::function<void(const std::string&)> failureReport_ GUARDED_BY(fileMu_) = ShowOperatorMessage;
  bool lineOpen_ GUARDED_BY(fileMu_) = false;         // the file ends inside a line
  bool failureReported_ GUARDED_BY(fileMu_) = false;  // since the last good write
};

}  // namespace vnpp::host
