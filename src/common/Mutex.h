// An annotated mutex, its scoped lock and an auto-reset event.
// Thread safety: all three are safe to use from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "common/ThreadAnnotations.h"

namespace vnpp::common {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }

  // For std::condition_variable_any.
  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }

 private:
  std::mutex mu_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.Lock(); }
  ~MutexLock() RELEASE() { mu_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mu_;
};

// Auto-reset event: one Set ends one Wait (or the next one, when nobody waits).
class AutoResetEvent {
 public:
  void Set() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      signalled_ = true;
    }
    cv_.notify_one();
  }

  // Returns true when the event was signalled, false on time-out.
  bool Wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mu_);
    const bool got = cv_.wait_for(lock, timeout, [this] { return signalled_; });
    signalled_ = false;
    return got;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

}  // namespace vnpp::common
