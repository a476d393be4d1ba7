// Calendar arithmetic in EpochSeconds, the date keywords ("TODAY", "NEXT MONTH", ...) and
// the data window of a period kind that contains or follows a given time.
// Thread safety: all functions are safe to call from any thread.
// Supported range: 1985-01-01 to 2053-01-18 03:14:07; results outside it are not meaningful
// but never undefined.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/DateTime.h"

namespace vnpp::processing {

// Days from 1984-12-31 to the date (1 for 1985-01-01). day may be 0, negative or beyond the
// month's length and then counts into the neighbouring months; a month outside 1..12 counts
// into the neighbouring years. A year before 1985, or a total before 1984-12-31, gives 0;
// a total beyond 65535 gives 65535.
std::uint16_t EpochDayNumber(int year, int month, int day);

// The current local time (clock seam) in whole seconds, fractions of a second dropped.
common::EpochSeconds NowEpoch();

// The time a date keyword names, evaluated at base (0 = NowEpoch()). The text is taken
// without leading and trailing blanks and in upper case. Keywords: "NOW", "THIS HOUR",
// "NEXT HOUR", "LAST HOUR", "LAST 2 HOURS", "LAST 3 HOURS", "LAST 6 HOURS", "LAST 12 HOURS",
// "TODAY", "TOMORROW", "YESTERDAY", "LAST 2 DAYS", "LAST 3 DAYS", "LAST 5 DAYS", "THIS WEEK",
// "NEXT WEEK", "LAST WEEK", "THIS MONTH", "NEXT MONTH", "LAST MONTH", "THIS YEAR",
// "NEXT YEAR", "LAST YEAR". Any other text gives the start of the base's hour.
common::EpochSeconds ResolveDateKeyword(const std::string& text, common::EpochSeconds base);

struct TWindow {
  common::TDateTime Start = 0;
  common::TDateTime End = 0;
};

// The processing window of period kind `kind` (a group's TypeInterval) for `time`:
// kinds 0-3 and 6 (hour, 6 hours, 12 hours, day, `interval`): the period that begins at the
// first boundary at or after time; kind 4: the calendar week containing time; kind 5: the
// calendar month containing time. No window for another kind or for a period that does not
// come to at least one whole second. Feeding End back as time gives the following window.
std::optional<TWindow> WindowFor(int kind, common::TDateTime time, common::TDateTime interval);

// Internal helpers shared with the schedule computation.
namespace detail {
// ResolveDateKeyword without the "base 0 means now" rule.
common::EpochSeconds ResolveAt(const std::string& text, common::EpochSeconds base);
// Length in whole seconds of a fixed period of `days`; 0 when it is not at least one second
// or does not fit the EpochSeconds range (such a period is treated as no period).
std::int64_t PeriodSeconds(double days);
// First multiple of p at or after s (integer division truncating toward zero).
std::int64_t NextBoundary(std::int64_t s, std::int64_t p);
}  // namespace detail

}  // namespace vnpp::processing
