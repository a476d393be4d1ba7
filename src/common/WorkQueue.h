// A queue of work handed from one or more threads to one consumer thread.
// Thread safety: every member is safe to call from any thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <optional>
#include <utility>

#include "common/Mutex.h"

namespace vnpp::common {

// Producers Push; the consumer takes items with Pop and reports each one finished with Done,
// so that WaitIdle can tell when everything pushed so far has been dealt with. Stop ends
// the consumer's Pop; items still queued then are dropped.
template <typename T>
class TWorkQueue {
 public:
  void Push(T item) EXCLUDES(mu_) {
    {
      MutexLock lock(mu_);
      items_.push_back(std::move(item));
    }
    work_.notify_one();
  }

  // Waits for the next item; nullopt once Stop was called.
  std::optional<T> Pop() EXCLUDES(mu_) {
    MutexLock lock(mu_);
    while (!stop_ && items_.empty()) work_.wait(mu_);
    if (stop_) return std::nullopt;
    std::optional<T> item(std::move(items_.front()));
    items_.pop_front();
    busy_ = true;
    return item;
  }

  // The consumer has finished the item of its last Pop.
  void Done() EXCLUDES(mu_) {
    bool idle = false;
    {
      MutexLock lock(mu_);
      busy_ = false;
      idle = items_.empty();
    }
    if (idle) idle_.notify_all();
  }

  // Returns once the queue is empty and the consumer has finished its item.
  void WaitIdle() EXCLUDES(mu_) {
    MutexLock lock(mu_);
    while (!items_.empty() || busy_) idle_.wait(mu_);
  }

  // Drops what is queued (a later Push queues again), without ending the consumer.
  void Clear() EXCLUDES(mu_) {
    MutexLock lock(mu_);
    items_.clear();
  }

  void Stop() EXCLUDES(mu_) {
    {
      MutexLock lock(mu_);
      stop_ = true;
    }
    work_.notify_all();
  }

 private:
  Mutex mu_;
  std::condition_variable_any work_;  // an item queued, or Stop
  std::condition_variable_any idle_;  // the queue ran empty with nothing in hand
  std::deque<T> items_ GUARDED_BY(mu_);
  bool busy_ GUARDED_BY(mu_) = false;  // an item taken by Pop is not finished yet
  bool stop_ GUARDED_BY(mu_) = false;
};

}  // namespace vnpp::common
