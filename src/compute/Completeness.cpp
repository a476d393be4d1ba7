#include "compute/Completeness.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vnpp::compute {
namespace {

constexpr double kMillisPerDay = common::kSecondsPerDay * 1000;

// Times and durations at the whole millisecond, as the window bounds go to the database;
// plain arithmetic, since this runs for every reading.
std::int64_t Millis(TDateTime t) { return std::llround(t * kMillisPerDay); }

}  // namespace

TCompleteness AssessWindow(const TCompletenessRule& rule, TDateTime start, TDateTime end,
                           std::span<const TDateTime> times, std::span<const double> values) {
  TCompleteness c;
  const std::int64_t startKey = Millis(start);
  const std::int64_t endKey = Millis(end);
  std::int64_t last = startKey;
  bool any = false;
  const std::size_t n = std::min(times.size(), values.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(values[i])) continue;
    const std::int64_t key = Millis(times[i]);
    if (any && key == last) continue;  // the same time tag counts once
    c.LongestGapMillis = std::max(c.LongestGapMillis, key - last);
    last = key;
    any = true;
    ++c.Valid;
  }
  c.LongestGapMillis = std::max(c.LongestGapMillis, endKey - last);

  const std::int64_t interval = Millis(rule.ReadingInterval);
  if (interval > 0) {
    const std::int64_t length = std::max<std::int64_t>(0, endKey - startKey);
    c.Expected = static_cast<long>((length + interval / 2) / interval);
  }
  if (c.Expected > 0) {
    c.Coverage = std::min(100.0, 100.0 * static_cast<double>(c.Valid) / c.Expected);
    // Whole numbers: a window exactly at the threshold is complete.
    if (static_cast<std::int64_t>(c.Valid) * 100 <
        static_cast<std::int64_t>(rule.MinCoverage) * c.Expected) {
      c.Incomplete = true;
    }
  } else {
    c.Coverage = c.Valid > 0 ? 100.0 : 0.0;
  }
  const std::int64_t maxGap = Millis(rule.MaxGap);
  if (maxGap > 0 && c.LongestGapMillis > maxGap) c.Incomplete = true;
  return c;
}

std::string CoverageText(double coverage) {
  char buf[32];
  // Rounded down to the decimal shown: 99.96 % of the readings is not 100.0.
  std::snprintf(buf, sizeof buf, "%.1f", std::floor(coverage * 10 + 1e-9) / 10);
  std::string text = buf;
  for (char& ch : text) {
    if (ch == ',') ch = '.';  // whatever the C library's locale
  }
  return text;
}

}  // namespace vnpp::compute
