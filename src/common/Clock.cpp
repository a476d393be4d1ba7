#include "common/Clock.h"

#include <sys/time.h>

#include <ctime>

namespace vnpp::common {
namespace {

const SystemClock g_systemClock;
std::atomic<const IClock*> g_clock{&g_systemClock};

}  // namespace

TDateTime SystemClock::Now() const {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  const time_t secs = tv.tv_sec;
  localtime_r(&secs, &local);
  return EncodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                        local.tm_min, local.tm_sec > 59 ? 59 : local.tm_sec,
                        static_cast<int>(tv.tv_usec / 1000));
}

const IClock& Clock() { return *g_clock.load(); }

ScopedClockOverride::ScopedClockOverride(const IClock& clock) : previous_(g_clock.load()) {
  g_clock.store(&clock);
}

ScopedClockOverride::~ScopedClockOverride() { g_clock.store(previous_); }

}  // namespace vnpp::common
