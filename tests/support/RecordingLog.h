// A log that records every message, for the tests of whatever logs.
// Thread safety: every member is safe to call from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "common/Log.h"

namespace vnpp::testing {

class TRecordingLog : public common::ILog {
 public:
  // detail: what LogDetail gives until SetLogDetail.
  explicit TRecordingLog(int detail = 2) : initialDetail_(detail), detail_(detail) {}

  void WriteLog(const std::string& message) override {
    std::lock_guard<std::mutex> lock(mu_);
    written_.push_back(message);
    Record(message);
  }
  void QueueMessage(const std::string& message) override {
    std::lock_guard<std::mutex> lock(mu_);
    queued_.push_back(message);
    Record(message);
  }
  void SetLogMessage(bool on) override { logMessage_.store(on); }
  int LogDetail() const override { return detail_.load(); }
  void SetLogDetail(int level) override { detail_.store(level); }

  // The queued messages, the written ones, and all of them in the order they came.
  std::vector<std::string> Queued() const {
    std::lock_guard<std::mutex> lock(mu_);
    return queued_;
  }
  std::vector<std::string> Written() const {
    std::lock_guard<std::mutex> lock(mu_);
    return written_;
  }
  std::vector<std::string> Messages() const {
    std::lock_guard<std::mutex> lock(mu_);
    return messages_;
  }
  // For each of Messages, the log switch when it came.
  std::vector<bool> LogMessageAt() const {
    std::lock_guard<std::mutex> lock(mu_);
    return logMessageAt_;
  }
  bool LogMessage() const { return logMessage_.load(); }
  std::size_t CountQueued(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(mu_);
    std::size_t n = 0;
    for (const std::string& m : queued_) n += m.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }

  // Forgets the messages.
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    queued_.clear();
    written_.clear();
    messages_.clear();
    logMessageAt_.clear();
  }
  // Clear, and the switch and the detail level as at construction.
  void Reset() {
    Clear();
    logMessage_.store(false);
    detail_.store(initialDetail_);
  }

 private:
  void Record(const std::string& message) {
    messages_.push_back(message);
    logMessageAt_.push_back(logMessage_.load());
  }

  const int initialDetail_;
  std::atomic<int> detail_;
  std::atomic<bool> logMessage_{false};
  mutable std::mutex mu_;
  std::vector<std::string> queued_;
  std::vector<std::string> written_;
  std::vector<std::string> messages_;
  std::vector<bool> logMessageAt_;
};

}  // namespace vnpp::testing
