#include "compute/PPDataItem.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include "common/Clock.h"
#include "common/Error.h"
#include "common/Regional.h"
#include "common/Text.h"
#include "compute/ReadingValue.h"
#include "compute/Statistics.h"

namespace vnpp::compute {
namespace {

constexpr std::size_t kInitialCapacity = 200;

const char* const kRolloverConvertMessage =
    "DELTA - Unable to convert parameter string to RolloverConstant.";
const char* const kRolloverNegativeMessage =
    "DELTA- Negative value after applying RolloverConstant.";

// True when nothing but blanks and control characters is left after trimming both ends.
bool IsBlankText(const std::string& s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) <= ' '; });
}

int DigitValue(char c, int base) {
  int d = -1;
  if (c >= '0' && c <= '9') {
    d = c - '0';
  } else if (c >= 'a' && c <= 'f') {
    d = c - 'a' + 10;
  } else if (c >= 'A' && c <= 'F') {
    d = c - 'A' + 10;
  }
  return d < base ? d : -1;
}

// Leading blanks, an optional sign, then decimal digits or hexadecimal digits after "$",
// "x", "X", "0x" or "0X"; nothing may follow, and the value must fit 32 bits.
bool TryStrToInt32(const std::string& s, std::int32_t& out) {
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
    negative = s[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < s.size() && (s[i] == '$' || s[i] == 'x' || s[i] == 'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i == s.size()) return false;
  constexpr std::int64_t kLimit = std::int64_t{1} << 31;  // magnitude of INT32_MIN
  std::int64_t magnitude = 0;
  for (; i < s.size(); ++i) {
    const int d = DigitValue(s[i], base);
    if (d < 0) return false;
    magnitude = magnitude * base + d;
    if (magnitude > kLimit) return false;
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<std::int32_t>::max()) return false;
  out = static_cast<std::int32_t>(value);
  return true;
}

// A decimal number with the regional decimal separator, blanks around it allowed:
// [sign] digits [separator digits] [e [sign] digits], at least one mantissa digit.
bool TryRolloverConstant(const std::string& s, char decimalSeparator, double& out) {
  std::size_t begin = 0;
  std::size_t end = s.size();
  while (begin < end && s[begin] == ' ') ++begin;
  while (end > begin && s[end - 1] == ' ') --end;
  std::string text;
  std::size_t i = begin;
  auto isDigit = [&](std::size_t k) { return k < end && s[k] >= '0' && s[k] <= '9'; };
  if (i < end && (s[i] == '-' || s[i] == '+')) text += s[i++];
  int mantissaDigits = 0;
  for (; isDigit(i); ++i, ++mantissaDigits) text += s[i];
  if (i < end && s[i] == decimalSeparator) {
    text += '.';
    for (++i; isDigit(i); ++i, ++mantissaDigits) text += s[i];
  }
  if (mantissaDigits == 0) return false;
  if (i < end && (s[i] == 'e' || s[i] == 'E')) {
    text += 'e';
    ++i;
    if (i < end && (s[i] == '-' || s[i] == '+')) text += s[i++];
    if (!isDigit(i)) return false;
    for (; isDigit(i); ++i) text += s[i];
  }
  if (i != end) return false;
  // from_chars takes no leading "+".
  const char* first = text.data() + (text[0] == '+' ? 1 : 0);
  double value = 0;
  const auto [ptr, ec] = std::from_chars(first, text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || !std::isfinite(value)) {
    return false;
  }
  out = value;
  return true;
}

// N of FIRST and LAST: 1 when the parameter is blank or does not convert.
std::int32_t PositionParameter(const std::string& parameter) {
  if (IsBlankText(parameter)) return 1;
  std::int32_t n = 0;
  return TryStrToInt32(parameter, n) ? n : 1;
}

std::string NumberText(double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", value);
  return buf;
}

}  // namespace

bool RolloverConstant(const std::string& parameter, double& out) {
  return TryRolloverConstant(parameter, common::Regional().DecimalSeparator, out);
}

bool TPPDataItem::TakeValue(std::string_view text, TDateTime time, bool truncated, double& value) {
  const TReadingValue v = truncated ? TReadingValue{} : ParseReadingValue(text);
  if (v.Kind == TValueKind::Number) {
    value = v.Value;
    return true;
  }
  if (v.Kind == TValueKind::NonFinite) {
    ++Problems.NonFinite;
  } else {
    if (Problems.NotNumber == 0) {
      Problems.Example = std::string(text) + (truncated ? "..." : "");
      Problems.ExampleTime = time;
    }
    ++Problems.NotNumber;
  }
  return false;
}

TPPDataItem::TPPDataItem(std::string StationID, std::string SensorName, TDateTime StartTime,
                         TDateTime EndTime, std::uint8_t DataType, std::string Description,
                         std::string DataLabel, std::string AlternateLabel, std::string Parameter,
                         bool ReadPrevious, std::int32_t BoundaryMode)
    : Description(std::move(Description)),
      DataLabel(std::move(DataLabel)),
      AlternateLabel(std::move(AlternateLabel)),
      DataType(DataType),
      Parameter(std::move(Parameter)),
      StationID(std::move(StationID)),
      SensorName(std::move(SensorName)),
      StartTime(StartTime),
      EndTime(EndTime),
      BoundaryMode(BoundaryMode),
      ReadPrevious(ReadPrevious) {
  Times.reserve(kInitialCapacity);
  Values.reserve(kInitialCapacity);
}

void TPPDataItem::BeginWindow(TDateTime StartTime, TDateTime EndTime) {
  this->StartTime = StartTime;
  this->EndTime = EndTime;
  Times.clear();
  Values.clear();
  FunctionName.clear();
  PrevTime = 0;
  PrevValue = 0;
  PPValue = 0;
  HasValueTime = false;
  ValueTime = 0;
  ProcessTime = 0;
  Rejection.clear();
  Incomplete = false;
  Coverage = 0;
  Flag1.reset();
  Flag2.reset();
}

void TPPDataItem::Compute(const std::string& FunctionName) {
  ComputeFunction(FunctionName);
  if (!Rule.Measured() || Times.empty()) return;
  const TCompleteness c = AssessWindow(Rule, StartTime, EndTime, Times, Values);
  Coverage = c.Coverage;
  Incomplete = c.Incomplete;
  if (Rule.ReadingInterval > 0) Flag2 = CoverageText(c.Coverage);
  if (!Incomplete) return;
  if (Rule.Action == TIncompleteAction::Flag) Flag1 = "I";
  // A window refused for its result is reported as such, not as incomplete.
  if (Rejection.empty()) Problems.NoteIncomplete(c.Coverage);
}

void TPPDataItem::ComputeFunction(const std::string& FunctionName) {
  this->FunctionName = FunctionName;
  TStatistics stats;
  ProcessTime = common::Now();
  const std::size_t n = std::min(Times.size(), Values.size());
  if (n == 0) return;

  if (common::EqualsNoCase(FunctionName, "SPECIAL")) return;
  const bool first = common::EqualsNoCase(FunctionName, "FIRST");
  if (first || common::EqualsNoCase(FunctionName, "LAST")) {
    const std::int64_t position = PositionParameter(Parameter);
    const auto count = static_cast<std::int64_t>(n);
    if (position < 1 || position > count) return;
    const auto index = static_cast<std::size_t>(first ? position - 1 : count - position);
    PPValue = Values[index];
    ValueTime = Times[index];
    HasValueTime = true;
    return;
  }
  if (common::EqualsNoCase(FunctionName, "CNT")) {
    PPValue = static_cast<double>(n);
    return;
  }
  if (common::EqualsNoCase(FunctionName, "DELTA")) {
    const double delta = PrevTime > 0 ? Values[n - 1] - PrevValue : 0;
    if (Parameter.empty()) {
      PPValue = delta;
      return;
    }
    double rollover = 0;
    if (!RolloverConstant(Parameter, rollover)) {
      throw common::EPostProcError(kRolloverConvertMessage);
    }
    PPValue = delta + rollover;
    if (PPValue < 0) {
      // A counter reset by more than the constant: a fact of the readings, not a failure.
      const std::string previous = PrevTime > 0 ? "previous reading " + NumberText(PrevValue) +
                                                      " at " + common::FormatDateTimeText(PrevTime)
                                                : std::string("no previous reading");
      Rejection = std::string(kRolloverNegativeMessage) + " Newest reading " +
                  NumberText(Values[n - 1]) + " at " + common::FormatDateTimeText(Times[n - 1]) +
                  ", " + previous + ", roll-over constant " + NumberText(rollover) + ".";
    } else if (!std::isfinite(PPValue)) {
      Rejection = "The result is not a finite number.";
    }
    return;
  }

  for (std::size_t i = 0; i < n; ++i) stats.Add(common::DateTimeToEpoch(Times[i]), Values[i]);
  if (common::EqualsNoCase(FunctionName, "AVG")) {
    PPValue = stats.Mean();
  } else if (common::EqualsNoCase(FunctionName, "MIN")) {
    PPValue = stats.Min;
    ValueTime = common::EpochToDateTime(stats.MinTag);
    HasValueTime = true;
  } else if (common::EqualsNoCase(FunctionName, "MAX")) {
    PPValue = stats.Max;
    ValueTime = common::EpochToDateTime(stats.MaxTag);
    HasValueTime = true;
  } else if (common::EqualsNoCase(FunctionName, "SUM")) {
    PPValue = stats.Sum;
  } else if (common::EqualsNoCase(FunctionName, "STDEV")) {
    PPValue = stats.StdDev();
  }
  // Finite readings can still add up beyond the range of a double.
  if (!std::isfinite(PPValue)) Rejection = "The result is not a finite number.";
}

}  // namespace vnpp::compute
