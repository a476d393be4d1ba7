// Date-time values: days since 1899-12-30 00:00:00 local time as a double, the fraction
// being the time of day. No time zone or daylight-saving adjustment is made anywhere.
#pragma once

#include <cstdint>
#include <string>

namespace vnpp::common {

using TDateTime = double;
// Whole seconds since 1984-12-31 00:00:00 local time.
using EpochSeconds = std::int32_t;

inline constexpr TDateTime kEpochBaseDate = 31047.0;  // 1984-12-31
inline constexpr double kSecondsPerDay = 86400.0;
inline constexpr double kMSecsPerDay = 86400000.0;

struct TDateTimeParts {
  int Year = 0;
  int Month = 0;
  int Day = 0;
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int Millisecond = 0;
};

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// Calendar encoding; the Try forms return false for an invalid date or time.
bool TryEncodeDate(int year, int month, int day, TDateTime& out);
bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& out);
// Throws EConvertError on an invalid date or time.
TDateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                         int msec = 0);
// Takes a value apart, rounding to the nearest millisecond.
TDateTimeParts DecodeDateTime(TDateTime t);
// Monday 1 to Sunday 7.
int DayOfTheWeek(TDateTime t);

// The instant t stands for as the system's time zone rules have it (t is local wall-clock
// time), in whole seconds since 1970-01-01 UTC; -1 when the system cannot tell.
std::int64_t LocalToUnixSeconds(TDateTime t);

// round((t - 31047) * 86400), an exact half to the even neighbour.
EpochSeconds DateTimeToEpoch(TDateTime t);
// 31047 + s / 86400.
TDateTime EpochToDateTime(std::int64_t s);

// Microseconds from 0001-01-01 00:00:00 to a calendar date and time: an exact key that orders
// time tags as the database orders them, without the rounding of a date-time value. The
// fields must form a valid date and time; micros is the fraction of the second.
std::int64_t CalendarMicros(int year, int month, int day, int hour, int minute, int second,
                            std::int64_t micros);
// CalendarMicros of t rounded to the nearest millisecond: the time a bound date-time
// parameter stands for in the database.
std::int64_t CalendarMicros(TDateTime t);

// "mm/dd/yyyy hh:nn:ss" with the regional date and time separators. With withMillis,
// ".zzz" (regional decimal separator) is added when the milliseconds are not zero.
std::string FormatDateTimeText(TDateTime t, bool withMillis = false);
// Reads month/day/year with an optional "h:n[:s[.zzz]]" time. Both the regional
// separators and "/" ":" "." are accepted, so a text written under one locale reads back
// under another. Returns false when the text is no valid date-time.
bool TryParseDateTimeText(const std::string& text, TDateTime& out);
// A local time as operators type it on a command line: "YYYY-MM-DD[ HH:MM[:SS]]". Returns
// false for any other text or an invalid date or time.
bool ParseDateTimeArgument(const std::string& text, TDateTime& out);

}  // namespace vnpp::common
