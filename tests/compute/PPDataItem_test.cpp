#include "compute/PPDataItem.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/Error.h"
#include "common/Regional.h"

namespace vnpp::compute {
namespace {

using common::EncodeDateTime;

const TDateTime kStart = EncodeDateTime(2001, 5, 1, 10, 0, 0);
const TDateTime kEnd = EncodeDateTime(2001, 5, 1, 11, 0, 0);
constexpr double kMinute = 1.0 / 1440.0;
constexpr double kMilli = 1.0 / 86400000.0;

// Reading i at 10:0i:00.250, so whole-second and millisecond value times differ.
TDateTime ReadingTime(std::size_t i) {
  return kStart + static_cast<double>(i) * kMinute + 250 * kMilli;
}

TPPDataItem MakeItem(const std::vector<double>& values, const std::string& parameter,
                     std::optional<double> previous = std::nullopt) {
  TPPDataItem item("ST1", "WL", kStart, kEnd, 0, "desc", "LBL", "", parameter, previous.has_value(),
                   0);
  for (std::size_t i = 0; i < values.size(); ++i) {
    item.Times.push_back(ReadingTime(i));
    item.Values.push_back(values[i]);
  }
  if (previous) {
    item.PrevTime = kStart - kMinute;
    item.PrevValue = *previous;
  }
  return item;
}

TEST(PPDataItem, ComputesEachFunctionOverTheWindowReadings) {
  constexpr int kNone = -1;           // no value time
  constexpr int kWholeSecond = 1000;  // added to an index: value time rounded to the second
  struct Case {
    const char* function;
    const char* parameter;
    std::vector<double> values;
    std::optional<double> previous;
    double expected;
    int valueTimeOf;  // reading index, kNone, or index + kWholeSecond
  };
  const std::vector<double> three = {1, 2, 3};
  const Case cases[] = {
      {"FIRST", "", three, {}, 1, 0},
      {"FIRST", " \t ", three, {}, 1, 0},
      {"FIRST", "2", three, {}, 2, 1},
      {"FIRST", "  2", three, {}, 2, 1},
      {"FIRST", "+2", three, {}, 2, 1},
      {"FIRST", "abc", three, {}, 1, 0},
      {"FIRST", "2 ", three, {}, 1, 0},
      {"FIRST", "$2", three, {}, 2, 1},
      {"FIRST", "x3", three, {}, 3, 2},
      {"FIRST", "X3", three, {}, 3, 2},
      {"FIRST", "0x2", three, {}, 2, 1},
      {"FIRST", "0X3", three, {}, 3, 2},
      {"FIRST", "$", three, {}, 1, 0},
      {"FIRST", "0x", three, {}, 1, 0},
      {"FIRST", "4294967298", three, {}, 1, 0},  // beyond 32 bits: falls back, not wraps
      {"FIRST", "$100000002", three, {}, 1, 0},
      {"FIRST", "4", three, {}, 0, kNone},  // n + 1
      {"FIRST", "0", three, {}, 0, kNone},
      {"FIRST", "-1", three, {}, 0, kNone},
      {"first", "2", three, {}, 2, 1},
      {"LAST", "", three, {}, 3, 2},
      {"LAST", "2", three, {}, 2, 1},
      {"LAST", "3", three, {}, 1, 0},
      {"LAST", "4", three, {}, 0, kNone},
      {"CNT", "", three, {}, 3, kNone},
      {"DELTA", "", {4, 10}, 7, 3, kNone},
      {"DELTA", "", {2}, 7, -5, kNone},
      {"DELTA", "100", {2}, 98, 4, kNone},
      {"DELTA", "100", {50}, 40, 110, kNone},
      {"DELTA", " 100 ", {50}, 40, 110, kNone},
      {"DELTA", "2.5", {50}, 40, 12.5, kNone},
      {"DELTA", "", {50}, {}, 0, kNone},
      {"DELTA", "100", {50}, {}, 100, kNone},
      {"Delta", "1e2", {50}, 40, 110, kNone},
      {"STDEV", "", {5}, {}, 0, kNone},
      {"STDEV", "", {1, 3}, {}, std::sqrt(2.0), kNone},
      {"Stdev", "", {2, 4, 4, 4, 5, 5, 7, 9}, {}, 2.1380899352993950, kNone},
      {"MIN", "", {5, 3, 3}, {}, 3, 1 + kWholeSecond},
      {"MAX", "", {7, 1, 7}, {}, 7, 0 + kWholeSecond},
      {"AVG", "", {1, 2, 3, 4}, {}, 2.5, kNone},
      {"SUM", "", {1, 2, 3, 4}, {}, 10, kNone},
      {"MEDIAN", "", {1, 2, 3, 4}, {}, 0, kNone},
      {"SPECIAL", "", {1, 2, 3, 4}, {}, 0, kNone},
  };
  common::FakeClock clock(EncodeDateTime(2024, 3, 10, 12, 34, 56, 789));
  common::ScopedClockOverride useClock(clock);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.function) + " \"" + c.parameter + "\"");
    TPPDataItem item = MakeItem(c.values, c.parameter, c.previous);
    item.Compute(c.function);
    EXPECT_EQ(item.FunctionName, c.function);
    EXPECT_EQ(item.ProcessTime, clock.Now());
    EXPECT_NEAR(item.PPValue, c.expected, 1e-9);
    if (c.valueTimeOf == kNone) {
      EXPECT_FALSE(item.HasValueTime);
    } else if (c.valueTimeOf >= kWholeSecond) {
      EXPECT_TRUE(item.HasValueTime);
      const TDateTime reading = ReadingTime(static_cast<std::size_t>(c.valueTimeOf - kWholeSecond));
      EXPECT_EQ(item.ValueTime, common::EpochToDateTime(common::DateTimeToEpoch(reading)));
      EXPECT_NE(item.ValueTime, reading);
    } else {
      EXPECT_TRUE(item.HasValueTime);
      EXPECT_EQ(item.ValueTime, ReadingTime(static_cast<std::size_t>(c.valueTimeOf)));
    }
  }
}

// A constant that is no number is a configuration error; a negative result is a fact of the
// readings (a counter reset): the window stores nothing and says why, naming both readings.
TEST(PPDataItem, DeltaRejectsBadRolloverConstantsAndWithholdsNegativeResults) {
  const std::string convert = "DELTA - Unable to convert parameter string to RolloverConstant.";
  for (const char* parameter : {"x", "   ", "1 0", "1,5", "e5", "1e999", "inf"}) {
    SCOPED_TRACE(parameter);
    TPPDataItem item = MakeItem({10}, parameter, 5.0);
    try {
      item.Compute("DELTA");
      ADD_FAILURE() << "no exception";
    } catch (const common::EPostProcError& e) {
      EXPECT_EQ(e.what(), convert);
    }
  }
  struct Case {
    const char* parameter;
    std::vector<double> values;
    std::optional<double> previous;
    bool stored;
  };
  const Case cases[] = {
      {"-20", {10}, 5.0, false}, {"-1", {3}, {}, false}, {"1000", {3}, 998.0, true},
      {"0", {5}, 5.0, true},     {"", {3}, 998.0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.parameter);
    TPPDataItem item = MakeItem(c.values, c.parameter, c.previous);
    ASSERT_NO_THROW(item.Compute("DELTA"));
    EXPECT_EQ(item.HasResult(), c.stored) << item.Rejection;
    if (!c.stored) {
      EXPECT_EQ(item.Rejection.rfind("DELTA- Negative value after applying RolloverConstant.", 0),
                0u);
      EXPECT_NE(item.Rejection.find("Newest reading " + std::to_string(int(c.values[0]))),
                std::string::npos)
          << item.Rejection;
    }
  }
}

// Finite readings whose sum lies beyond the range of a double: such a result is never
// stored; what stays finite is.
TEST(PPDataItem, ResultsThatAreNotFiniteAreWithheld) {
  for (const char* function : {"AVG", "SUM"}) {
    SCOPED_TRACE(function);
    TPPDataItem item = MakeItem({1.5e308, 1.5e308}, "", std::nullopt);
    item.Compute(function);
    EXPECT_FALSE(item.HasResult());
    EXPECT_EQ(item.Rejection, "The result is not a finite number.");
  }
  TPPDataItem max = MakeItem({1.5e308, 1.5e308}, "", std::nullopt);
  max.Compute("MAX");
  EXPECT_TRUE(max.HasResult());
  EXPECT_EQ(max.PPValue, 1.5e308);
}

TEST(PPDataItem, DeltaReadsTheRolloverConstantWithTheRegionalDecimalSeparator) {
  const common::TRegionalSettings saved = common::Regional();
  common::TRegionalSettings comma = saved;
  comma.DecimalSeparator = ',';
  common::SetRegionalSettings(comma);
  TPPDataItem withComma = MakeItem({50}, "2,5", 40.0);
  TPPDataItem withPoint = MakeItem({50}, "2.5", 40.0);
  EXPECT_NO_THROW(withComma.Compute("DELTA"));
  EXPECT_THROW(withPoint.Compute("DELTA"), common::EPostProcError);
  common::SetRegionalSettings(saved);
  EXPECT_DOUBLE_EQ(withComma.PPValue, 12.5);
}

TEST(PPDataItem, WithoutReadingsComputesNothingButTheProcessTime) {
  common::FakeClock clock(EncodeDateTime(2024, 3, 10, 12, 0, 0, 5));
  common::ScopedClockOverride useClock(clock);
  for (const char* function : {"CNT", "DELTA", "FIRST", "MIN", "AVG"}) {
    TPPDataItem item = MakeItem({}, "-5", 100.0);
    item.Compute(function);
    EXPECT_EQ(item.FunctionName, function);
    EXPECT_EQ(item.ProcessTime, clock.Now());
    EXPECT_EQ(item.PPValue, 0);
    EXPECT_FALSE(item.HasValueTime);
  }
}

}  // namespace
}  // namespace vnpp::compute

namespace vnpp::compute {
namespace {

TEST(PPDataItem, CompletenessRuleSkipsOrFlagsWindowsShortOfReadings) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const TDateTime jan = EncodeDateTime(2001, 1, 1, 0, 0, 0);
  const TDateTime feb = EncodeDateTime(2001, 2, 1, 0, 0, 0);
  // Readings every hour from the month's start, n of them.
  auto hourly = [](int n) {
    std::vector<double> minutes;
    for (int i = 0; i < n; ++i) minutes.push_back(60.0 * i);
    return minutes;
  };
  struct Case {
    const char* name;
    const char* function;
    std::vector<double> minutes;  // reading times, minutes after the window's start
    std::vector<double> values;   // empty: 1 each
    int intervalMinutes;
    int minCoverage;
    int maxGapMinutes;
    bool flag;
    bool stored;
    const char* flag1;  // nullptr: NULL
    const char* flag2;
    bool month = false;
    std::optional<double> previous = {};
  };
  const Case cases[] = {
      {"no rule", "AVG", {0}, {}, 0, 0, 0, false, true, nullptr, nullptr},
      {"all there", "AVG", {0, 15, 30, 45}, {}, 15, 75, 0, false, true, nullptr, "100.0"},
      {"at threshold", "AVG", {0, 15, 30}, {}, 15, 75, 0, false, true, nullptr, "75.0"},
      {"above expected", "AVG", {0, 10, 20, 30, 45}, {}, 15, 75, 0, false, true, nullptr, "100.0"},
      {"below, skip", "AVG", {0, 15}, {}, 15, 75, 0, false, false, nullptr, "50.0"},
      {"below, flag", "SUM", {0, 15}, {}, 15, 75, 0, true, true, "I", "50.0"},
      {"duplicate tags", "CNT", {0, 0, 15, 15}, {}, 15, 75, 0, true, true, "I", "50.0"},
      {"NULL, non-finite",
       "CNT",
       {0, 15, 30, 45},
       {1, kNaN, kInf, 1},
       15,
       75,
       0,
       true,
       true,
       "I",
       "50.0"},
      {"gap at start", "MAX", {25, 30, 45}, {}, 0, 0, 20, true, true, "I", nullptr},
      {"gap in middle", "MIN", {0, 5, 40, 50}, {}, 0, 0, 20, true, true, "I", nullptr},
      {"gap at end", "LAST", {0, 15, 30}, {}, 0, 0, 20, false, false, nullptr, nullptr},
      {"gaps at limit", "FIRST", {0, 20, 40}, {}, 0, 0, 20, false, true, nullptr, nullptr},
      {"gap and coverage", "AVG", {0, 15, 30}, {}, 15, 50, 20, true, true, "I", "75.0"},
      {"month, 75 %", "AVG", hourly(558), {}, 60, 75, 0, false, true, nullptr, "75.0", true},
      {"month, below", "AVG", hourly(557), {}, 60, 75, 0, true, true, "I", "74.8", true},
      // The reading before the window gives DELTA its start, not its coverage.
      {"DELTA", "DELTA", {30, 45}, {}, 15, 75, 0, true, true, "I", "50.0", false, 0.0},
      {"SPECIAL", "SPECIAL", {45}, {}, 15, 75, 0, false, false, nullptr, "25.0"},
  };
  for (const Case& c : cases) {
    const TDateTime start = c.month ? jan : kStart;
    TPPDataItem item("ST1", "WL", start, c.month ? feb : kEnd, 0, "", "LBL", "", "",
                     c.previous.has_value(), 0);
    for (std::size_t i = 0; i < c.minutes.size(); ++i) {
      item.Times.push_back(start + c.minutes[i] * kMinute);
      item.Values.push_back(c.values.empty() ? 1.0 : c.values[i]);
    }
    if (c.previous) {
      item.PrevTime = start - kMinute;
      item.PrevValue = *c.previous;
    }
    item.Rule.ReadingInterval = c.intervalMinutes * kMinute;
    item.Rule.MinCoverage = c.minCoverage;
    item.Rule.MaxGap = c.maxGapMinutes * kMinute;
    item.Rule.Action = c.flag ? TIncompleteAction::Flag : TIncompleteAction::Skip;
    item.Compute(c.function);
    EXPECT_EQ(item.HasResult(), c.stored) << c.name;
    EXPECT_EQ(item.Flag1.value_or("NULL"), c.flag1 ? c.flag1 : "NULL") << c.name;
    EXPECT_EQ(item.Flag2.value_or("NULL"), c.flag2 ? c.flag2 : "NULL") << c.name;
    EXPECT_FALSE(item.Flag3.has_value()) << c.name;
    // The next window starts clean.
    item.BeginWindow(kStart, kEnd);
    EXPECT_FALSE(item.Flag1 || item.Flag2 || item.Incomplete) << c.name;
  }
}

}  // namespace
}  // namespace vnpp::compute
