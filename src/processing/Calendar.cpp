#include "processing/Calendar.h"

#include <cmath>
#include <limits>

#include "common/Clock.h"
#include "common/Text.h"

namespace vnpp::processing {
namespace {

using common::EpochSeconds;
using common::TDateTime;

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr int kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

// A time taken apart into calendar date and time of day.
struct TParts {
  int Year = 0;
  int Month = 0;
  int Day = 0;
  std::int64_t Hour = 0;
  std::int64_t Minute = 0;
  std::int64_t Second = 0;
  int Weekday = 0;  // Monday 1 to Sunday 7
};

// Signed counts added when a time is put together.
struct TAdjustment {
  int Years = 0;
  int Months = 0;
  int Days = 0;
  std::int64_t Hours = 0;
  std::int64_t Minutes = 0;
  std::int64_t Seconds = 0;
};

TParts TakeApart(EpochSeconds t) {
  const std::int64_t days = t / kSecondsPerDay;
  const std::int64_t rest = t % kSecondsPerDay;
  const TDateTime date = common::EpochToDateTime(days * kSecondsPerDay);
  const common::TDateTimeParts d = common::DecodeDateTime(date);
  TParts p;
  p.Year = d.Year;
  p.Month = d.Month;
  p.Day = d.Day;
  p.Hour = rest / 3600;
  p.Minute = rest % 3600 / 60;
  p.Second = rest % 60;
  p.Weekday = common::DayOfTheWeek(date);
  return p;
}

EpochSeconds ClampToEpoch(std::int64_t s) {
  constexpr std::int64_t kMin = std::numeric_limits<EpochSeconds>::min();
  constexpr std::int64_t kMax = std::numeric_limits<EpochSeconds>::max();
  return static_cast<EpochSeconds>(s < kMin ? kMin : (s > kMax ? kMax : s));
}

EpochSeconds PutTogether(const TParts& p, const TAdjustment& a) {
  int month = p.Month + a.Months;
  int year = 0;
  if (a.Months >= 0) {
    year = p.Year + a.Years + (month - 1) / 12;
    month = (month - 1) % 12 + 1;
  } else {
    year = p.Year + a.Years - (12 - month) / 12;
    month = (month + 11) % 12 + 1;
  }
  const std::int64_t day = EpochDayNumber(year, month, p.Day + a.Days);
  return ClampToEpoch(day * kSecondsPerDay + p.Hour * 3600 + p.Minute * 60 + p.Second +
                      a.Hours * 3600 + a.Minutes * 60 + a.Seconds);
}

std::string TrimUpper(const std::string& text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= ' ') ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ') --last;
  return common::UpperAscii(text.substr(first, last - first));
}

}  // namespace

std::uint16_t EpochDayNumber(int year, int month, int day) {
  std::int64_t y = year;
  std::int64_t m = month;
  if (m < 1 || m > 12) {
    // Count whole years out of the month first (floor division).
    const std::int64_t shift = (m - 1 >= 0) ? (m - 1) / 12 : -((12 - m) / 12);
    y += shift;
    m -= shift * 12;
  }
  if (y < 1985) return 0;
  const std::int64_t whole = y - 1985;
  // Leap years among 1985 .. y-1, counted from year 1.
  const auto leapsBefore = [](std::int64_t n) { return n / 4 - n / 100 + n / 400; };
  std::int64_t total =
      whole * 365 + leapsBefore(y - 1) - leapsBefore(1984) + kDaysBeforeMonth[m - 1] + day;
  if (m > 2 && common::IsLeapYear(static_cast<int>(y))) ++total;
  if (total < 0) return 0;
  if (total > std::numeric_limits<std::uint16_t>::max()) {
    return std::numeric_limits<std::uint16_t>::max();
  }
  return static_cast<std::uint16_t>(total);
}

common::EpochSeconds NowEpoch() {
  const common::TDateTimeParts p = common::DecodeDateTime(common::Now());
  return ClampToEpoch(static_cast<std::int64_t>(EpochDayNumber(p.Year, p.Month, p.Day)) *
                          kSecondsPerDay +
                      p.Hour * 3600 + p.Minute * 60 + p.Second);
}

common::EpochSeconds ResolveDateKeyword(const std::string& text, common::EpochSeconds base) {
  return detail::ResolveAt(text, base == 0 ? NowEpoch() : base);
}

std::optional<TWindow> WindowFor(int kind, common::TDateTime time, common::TDateTime interval) {
  double period = 0;
  switch (kind) {
    case 0:
      period = 1.0 / 24;
      break;
    case 1:
      period = 0.25;
      break;
    case 2:
      period = 0.5;
      break;
    case 3:
      period = 1.0;
      break;
    case 6:
      period = interval;
      break;
    case 4:
    case 5: {
      const EpochSeconds at = common::DateTimeToEpoch(time);
      const bool week = kind == 4;
      TWindow w;
      w.Start = common::EpochToDateTime(detail::ResolveAt(week ? "THIS WEEK" : "THIS MONTH", at));
      w.End = common::EpochToDateTime(detail::ResolveAt(week ? "NEXT WEEK" : "NEXT MONTH", at));
      return w;
    }
    default:
      return std::nullopt;
  }
  const std::int64_t p = detail::PeriodSeconds(period);
  if (p == 0) return std::nullopt;
  // Both ends come from whole seconds, so that the end of one window is bit for bit the
  // start of the next and compares exactly with limits built the same way.
  const std::int64_t e = detail::NextBoundary(common::DateTimeToEpoch(time), p);
  TWindow w;
  w.Start = common::EpochToDateTime(e);
  w.End = common::EpochToDateTime(e + p);
  return w;
}

namespace detail {

common::EpochSeconds ResolveAt(const std::string& text, common::EpochSeconds base) {
  TParts p = TakeApart(base);
  TAdjustment a;
  const std::string key = TrimUpper(text);
  if (key == "NOW") return PutTogether(p, a);
  p.Minute = 0;
  p.Second = 0;
  const int sinceSunday = p.Weekday % 7;
  if (key == "NEXT HOUR") {
    a.Hours = 1;
  } else if (key == "LAST HOUR") {
    a.Hours = -1;
  } else if (key == "LAST 2 HOURS") {
    a.Hours = -2;
  } else if (key == "LAST 3 HOURS") {
    a.Hours = -3;
  } else if (key == "LAST 6 HOURS") {
    a.Hours = -6;
  } else if (key == "LAST 12 HOURS") {
    a.Hours = -12;
  } else if (key == "TODAY") {
    p.Hour = 0;
  } else if (key == "TOMORROW") {
    p.Hour = 0;
    a.Days = 1;
  } else if (key == "YESTERDAY") {
    p.Hour = 0;
    a.Days = -1;
  } else if (key == "LAST 2 DAYS") {
    p.Hour = 0;
    a.Days = -2;
  } else if (key == "LAST 3 DAYS") {
    p.Hour = 0;
    a.Days = -3;
  } else if (key == "LAST 5 DAYS") {
    p.Hour = 0;
    a.Days = -5;
  } else if (key == "THIS WEEK") {
    p.Hour = 0;
    a.Days = -sinceSunday;
  } else if (key == "NEXT WEEK") {
    p.Hour = 0;
    a.Days = 7 - sinceSunday;
  } else if (key == "LAST WEEK") {
    p.Hour = 0;
    a.Days = -sinceSunday - 7;
  } else if (key == "THIS MONTH" || key == "NEXT MONTH" || key == "LAST MONTH") {
    p.Day = 1;
    p.Hour = 0;
    a.Months = key == "NEXT MONTH" ? 1 : (key == "LAST MONTH" ? -1 : 0);
  } else if (key == "THIS YEAR" || key == "NEXT YEAR" || key == "LAST YEAR") {
    p.Month = 1;
    p.Day = 1;
    p.Hour = 0;
    a.Years = key == "NEXT YEAR" ? 1 : (key == "LAST YEAR" ? -1 : 0);
  }
  // "THIS HOUR" and any other text: the start of the base's hour.
  return PutTogether(p, a);
}

std::int64_t PeriodSeconds(double days) {
  if (!(days > 0)) return 0;
  const double seconds = days * 86400.0;
  if (!(seconds < static_cast<double>(std::numeric_limits<EpochSeconds>::max()))) return 0;
  // Rounded like DateTimeToEpoch: to the nearest, an exact half to the even neighbour.
  return static_cast<std::int64_t>(std::nearbyint(seconds));
}

std::int64_t NextBoundary(std::int64_t s, std::int64_t p) { return (s + p - 1) / p * p; }

}  // namespace detail
}  // namespace vnpp::processing
