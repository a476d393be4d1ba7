#include "host/Watchdog.h"

#include <gtest/gtest.h>

namespace vnpp::host {
namespace {

using namespace std::chrono_literals;

TEST(Watchdog, PingsWhileTheHeartbeatIsFreshOrNoThreadWorks) {
  constexpr std::int64_t kNow = 1'000'000'000'000;
  constexpr std::int64_t kSecond = 1'000'000'000;
  const struct {
    const char* name;
    std::int64_t heartbeat;
    bool ping;
  } cases[] = {
      {"no thread at work", 0, true},
      {"beat just now", kNow, true},
      {"beat 4 s ago", kNow - 4 * kSecond, true},
      {"beat exactly half the interval ago", kNow - 5 * kSecond, true},
      {"beat just over half the interval ago", kNow - 5 * kSecond - 1, false},
      {"beat a minute ago", kNow - 60 * kSecond, false},
  };
  for (const auto& c : cases) {
    int pings = 0;
    TWatchdog watchdog(
        10s, [&] { return c.heartbeat; }, [&] { ++pings; });
    EXPECT_EQ(watchdog.MaxHeartbeatAge(), 5s);
    EXPECT_EQ(watchdog.Tick(kNow), c.ping) << c.name;
    EXPECT_EQ(pings, c.ping ? 1 : 0) << c.name;
  }
}

}  // namespace
}  // namespace vnpp::host
