#include "common/DateTime.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>

#include "common/Error.h"
#include "common/Regional.h"

namespace vnpp::common {
namespace {

constexpr int kDaysBefore[2][13] = {{0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334},
                                    {0, 0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335}};

// Days from 0001-01-01 (day 0) to 1899-12-30.
constexpr std::int64_t kDateDelta = 693593;

std::int64_t DaysFromCivil(int y, int m, int d) {
  const std::int64_t yy = y - 1;
  return yy * 365 + yy / 4 - yy / 100 + yy / 400 + kDaysBefore[IsLeapYear(y) ? 1 : 0][m] + d - 1;
}

void CivilFromDays(std::int64_t n, int& y, int& m, int& d) {
  // n: days since 0001-01-01.
  std::int64_t y400 = n / 146097;
  n %= 146097;
  std::int64_t y100 = n / 36524;
  if (y100 == 4) y100 = 3;
  n -= y100 * 36524;
  std::int64_t y4 = n / 1461;
  n %= 1461;
  std::int64_t y1 = n / 365;
  if (y1 == 4) y1 = 3;
  n -= y1 * 365;
  y = static_cast<int>(y400 * 400 + y100 * 100 + y4 * 4 + y1 + 1);
  const int leap = IsLeapYear(y) ? 1 : 0;
  m = 1;
  while (m < 12 && n >= kDaysBefore[leap][m + 1]) ++m;
  d = static_cast<int>(n - kDaysBefore[leap][m]) + 1;
}

bool IsSep(char c, char regional, char fallback) { return c == regional || c == fallback; }

// Reads an unsigned decimal number of at most maxDigits digits at text[i].
bool ReadNumber(const std::string& text, size_t& i, int maxDigits, int& value) {
  size_t start = i;
  value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9' &&
         static_cast<int>(i - start) < maxDigits) {
    value = value * 10 + (text[i] - '0');
    ++i;
  }
  return i > start;
}

void SkipBlanks(const std::string& text, size_t& i) {
  while (i < text.size() && text[i] == ' ') ++i;
}

bool Digits(const std::string& text, std::size_t at, std::size_t count) {
  if (at + count > text.size()) return false;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

int Number(const std::string& text, std::size_t at, std::size_t count) {
  return std::atoi(text.substr(at, count).c_str());
}

}  // namespace

bool IsLeapYear(int year) { return (year % 4 == 0) && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && IsLeapYear(year)) return 29;
  return kDays[month];
}

bool TryEncodeDate(int year, int month, int day, TDateTime& out) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month)) {
    return false;
  }
  out = static_cast<TDateTime>(DaysFromCivil(year, month, day) - kDateDelta);
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& out) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || msec < 0 ||
      msec > 999) {
    return false;
  }
  out = (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + msec) / kMSecsPerDay;
  return true;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec) {
  TDateTime date = 0;
  TDateTime time = 0;
  if (!TryEncodeDate(year, month, day, date) || !TryEncodeTime(hour, minute, second, msec, time)) {
    throw EConvertError("Invalid argument to date encode");
  }
  return date + time;
}

TDateTimeParts DecodeDateTime(TDateTime t) {
  TDateTimeParts p;
  const auto totalMs = static_cast<std::int64_t>(std::llround(t * kMSecsPerDay));
  std::int64_t days = totalMs / 86400000;
  std::int64_t ms = totalMs % 86400000;
  if (ms < 0) {
    ms += 86400000;
    --days;
  }
  CivilFromDays(days + kDateDelta, p.Year, p.Month, p.Day);
  p.Hour = static_cast<int>(ms / 3600000);
  p.Minute = static_cast<int>(ms / 60000 % 60);
  p.Second = static_cast<int>(ms / 1000 % 60);
  p.Millisecond = static_cast<int>(ms % 1000);
  return p;
}

int DayOfTheWeek(TDateTime t) {
  // 1899-12-30 was a Saturday.
  const auto days = static_cast<std::int64_t>(std::floor(t + 0.5 / kMSecsPerDay));
  const std::int64_t sinceMonday = ((days + 5) % 7 + 7) % 7;
  return static_cast<int>(sinceMonday) + 1;
}

std::int64_t LocalToUnixSeconds(TDateTime t) {
  const TDateTimeParts p = DecodeDateTime(t);
  std::tm local{};
  local.tm_year = p.Year - 1900;
  local.tm_mon = p.Month - 1;
  local.tm_mday = p.Day;
  local.tm_hour = p.Hour;
  local.tm_min = p.Minute;
  local.tm_sec = p.Second;
  local.tm_isdst = -1;  // as the rules have it on that day
  return static_cast<std::int64_t>(std::mktime(&local));
}

EpochSeconds DateTimeToEpoch(TDateTime t) {
  const double seconds = (t - kEpochBaseDate) * kSecondsPerDay;
  // nearbyint rounds in the current mode; the program never leaves round-half-even.
  double r = std::nearbyint(seconds);
  constexpr double kMin = std::numeric_limits<EpochSeconds>::min();
  constexpr double kMax = std::numeric_limits<EpochSeconds>::max();
  if (!(r >= kMin)) r = kMin;  // also NaN
  if (r > kMax) r = kMax;
  return static_cast<EpochSeconds>(r);
}

TDateTime EpochToDateTime(std::int64_t s) {
  return kEpochBaseDate + static_cast<double>(s) / kSecondsPerDay;
}

std::int64_t CalendarMicros(int year, int month, int day, int hour, int minute, int second,
                            std::int64_t micros) {
  const std::int64_t seconds =
      DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  return seconds * 1000000 + micros;
}

std::int64_t CalendarMicros(TDateTime t) {
  const TDateTimeParts p = DecodeDateTime(t);
  return CalendarMicros(p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second,
                        std::int64_t{p.Millisecond} * 1000);
}

std::string FormatDateTimeText(TDateTime t, bool withMillis) {
  const TRegionalSettings& r = Regional();
  const TDateTimeParts p = DecodeDateTime(t);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d%c%02d%c%04d %02d%c%02d%c%02d", p.Month, r.DateSeparator,
                p.Day, r.DateSeparator, p.Year, p.Hour, r.TimeSeparator, p.Minute, r.TimeSeparator,
                p.Second);
  std::string text = buf;
  if (withMillis && p.Millisecond != 0) {
    std::snprintf(buf, sizeof buf, "%c%03d", r.DecimalSeparator, p.Millisecond);
    text += buf;
  }
  return text;
}

bool TryParseDateTimeText(const std::string& text, TDateTime& out) {
  const TRegionalSettings& r = Regional();
  size_t i = 0;
  SkipBlanks(text, i);
  int month = 0, day = 0, year = 0;
  if (!ReadNumber(text, i, 2, month)) return false;
  if (i >= text.size() || !IsSep(text[i], r.DateSeparator, '/')) return false;
  ++i;
  if (!ReadNumber(text, i, 2, day)) return false;
  if (i >= text.size() || !IsSep(text[i], r.DateSeparator, '/')) return false;
  ++i;
  const size_t yearStart = i;
  if (!ReadNumber(text, i, 4, year)) return false;
  if (i - yearStart <= 2) year += (year < 50) ? 2000 : 1900;
  TDateTime date = 0;
  if (!TryEncodeDate(year, month, day, date)) return false;

  int hour = 0, minute = 0, second = 0, msec = 0;
  SkipBlanks(text, i);
  if (i < text.size()) {
    if (!ReadNumber(text, i, 2, hour)) return false;
    if (i >= text.size() || !IsSep(text[i], r.TimeSeparator, ':')) return false;
    ++i;
    if (!ReadNumber(text, i, 2, minute)) return false;
    if (i < text.size() && IsSep(text[i], r.TimeSeparator, ':')) {
      ++i;
      if (!ReadNumber(text, i, 2, second)) return false;
      if (i < text.size() && IsSep(text[i], r.DecimalSeparator, '.')) {
        ++i;
        const size_t msStart = i;
        if (!ReadNumber(text, i, 3, msec)) return false;
        for (size_t k = i - msStart; k < 3; ++k) msec *= 10;
      }
    }
    SkipBlanks(text, i);
    if (i != text.size()) return false;
  }
  TDateTime time = 0;
  if (!TryEncodeTime(hour, minute, second, msec, time)) return false;
  out = date + time;
  return true;
}

bool ParseDateTimeArgument(const std::string& text, TDateTime& out) {
  // YYYY-MM-DD, then optionally " HH:MM" and ":SS".
  if (!Digits(text, 0, 4) || text.size() < 10 || text[4] != '-' || !Digits(text, 5, 2) ||
      text[7] != '-' || !Digits(text, 8, 2)) {
    return false;
  }
  int hour = 0, minute = 0, second = 0;
  if (text.size() > 10) {
    if (text.size() != 16 && text.size() != 19) return false;
    if (text[10] != ' ' || !Digits(text, 11, 2) || text[13] != ':' || !Digits(text, 14, 2)) {
      return false;
    }
    hour = Number(text, 11, 2);
    minute = Number(text, 14, 2);
    if (text.size() == 19) {
      if (text[16] != ':' || !Digits(text, 17, 2)) return false;
      second = Number(text, 17, 2);
    }
  }
  const int year = Number(text, 0, 4), month = Number(text, 5, 2), day = Number(text, 8, 2);
  // A day beyond the month's length (2026-02-30) is no date, not a day of the next month.
  TDateTime date = 0, time = 0;
  if (!TryEncodeDate(year, month, day, date) || !TryEncodeTime(hour, minute, second, 0, time)) {
    return false;
  }
  out = EncodeDateTime(year, month, day, hour, minute, second);
  return true;
}

}  // namespace vnpp::common
