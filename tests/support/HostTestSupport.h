// Helpers shared by the host tests: the common temporary directory, file helpers and
// environment override, an event sink that records what it receives and one that blocks.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/EventSink.h"
#include "support/Files.h"
#include "support/ScopedEnv.h"

namespace vnpp::host::testing {

using vnpp::testing::ReadFile;
using vnpp::testing::ScopedEnv;
using vnpp::testing::TempDir;
using vnpp::testing::WriteFile;

class RecordingSink final : public common::IEventSink {
 public:
  struct Event {
    std::string Kind, AppId, Item, Data;
    bool operator==(const Event&) const = default;
  };
  void SetItemChange(const std::string& appId, const std::string& item,
                     const std::string& data) override {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back({"ItemChange", appId, item, data});
  }
  void AppShutdown(const std::string& appId) override {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back({"AppShutdown", appId, "", ""});
  }
  std::vector<Event> Events() const {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    events_.clear();
  }

 private:
  mutable std::mutex mu_;
  std::vector<Event> events_;
};

// A broadcast target that, once armed, holds the first caller until released (or until a
// failsafe of 20 seconds has passed): a client that is slow for seconds.
class BlockingSink final : public common::IEventSink {
 public:
  void Arm() {
    std::lock_guard<std::mutex> lock(mu_);
    armed_ = true;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      released_ = true;
    }
    cv_.notify_all();
  }
  // Waits until a caller is held; false after timeout.
  bool WaitBlocked(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [this] { return blocked_; });
  }
  void SetItemChange(const std::string&, const std::string& item,
                     const std::string& data) override {
    std::unique_lock<std::mutex> lock(mu_);
    items_.push_back(item + ":" + data);
    if (!armed_ || blocked_) return;
    blocked_ = true;
    cv_.notify_all();
    cv_.wait_for(lock, std::chrono::seconds(20), [this] { return released_; });
  }
  void AppShutdown(const std::string&) override {}
  std::vector<std::string> Items() {
    std::lock_guard<std::mutex> lock(mu_);
    return items_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool armed_ = false, blocked_ = false, released_ = false;
  std::vector<std::string> items_;
};

}  // namespace vnpp::host::testing
