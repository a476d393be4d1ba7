// The clock seam: every "now" of the program comes from here.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "common/DateTime.h"

namespace vnpp::common {

// Thread safety: implementations are safe to call from any thread.
class IClock {
 public:
  virtual ~IClock() = default;
  // Current local wall-clock time, with milliseconds.
  virtual TDateTime Now() const = 0;
};

class SystemClock final : public IClock {
 public:
  TDateTime Now() const override;
};

// The clock in force; the system clock unless replaced.
const IClock& Clock();
inline TDateTime Now() { return Clock().Now(); }

// Monotonic time in nanoseconds, for measuring how long ago something happened (the
// processing thread's heartbeat); unrelated to the wall clock above.
inline std::int64_t SteadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Replaces the clock for the lifetime of this object (tests). Not nestable across threads.
class ScopedClockOverride {
 public:
  explicit ScopedClockOverride(const IClock& clock);
  ~ScopedClockOverride();
  ScopedClockOverride(const ScopedClockOverride&) = delete;
  ScopedClockOverride& operator=(const ScopedClockOverride&) = delete;

 private:
  const IClock* previous_;
};

// A clock that stands still until told to move. Safe to use from any thread.
class FakeClock final : public IClock {
 public:
  explicit FakeClock(TDateTime now = 0) : now_(now) {}
  TDateTime Now() const override { return now_.load(); }
  void Set(TDateTime now) { now_.store(now); }
  void Advance(double days) {
    TDateTime t = now_.load();
    while (!now_.compare_exchange_weak(t, t + days)) {
    }
  }
  void AdvanceSeconds(double seconds) { Advance(seconds / kSecondsPerDay); }

 private:
  std::atomic<TDateTime> now_;
};

}  // namespace vnpp::common
