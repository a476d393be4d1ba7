#include "processing/Calendar.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Clock.h"
#include "support/TestTime.h"

namespace vnpp::processing {
namespace {

using common::EpochSeconds;
using testing::At;
using testing::EpochAt;
using testing::SameTime;

struct TKeywordCase {
  const char* Text;
  common::TDateTime Expected;
};

TEST(Calendar, ResolvesEveryKeywordOnAWednesdayAfternoon) {
  const EpochSeconds base = EpochAt(2024, 3, 13, 14, 25, 10);
  const std::vector<TKeywordCase> cases = {
      {"NOW", At(2024, 3, 13, 14, 25, 10)},
      {"THIS HOUR", At(2024, 3, 13, 14)},
      {"NEXT HOUR", At(2024, 3, 13, 15)},
      {"LAST HOUR", At(2024, 3, 13, 13)},
      {"LAST 2 HOURS", At(2024, 3, 13, 12)},
      {"LAST 3 HOURS", At(2024, 3, 13, 11)},
      {"LAST 6 HOURS", At(2024, 3, 13, 8)},
      {"LAST 12 HOURS", At(2024, 3, 13, 2)},
      {"TODAY", At(2024, 3, 13)},
      {"TOMORROW", At(2024, 3, 14)},
      {"YESTERDAY", At(2024, 3, 12)},
      {"LAST 2 DAYS", At(2024, 3, 11)},
      {"LAST 3 DAYS", At(2024, 3, 10)},
      {"LAST 5 DAYS", At(2024, 3, 8)},
      {"THIS WEEK", At(2024, 3, 10)},
      {"NEXT WEEK", At(2024, 3, 17)},
      {"LAST WEEK", At(2024, 3, 3)},
      {"THIS MONTH", At(2024, 3, 1)},
      {"NEXT MONTH", At(2024, 4, 1)},
      {"LAST MONTH", At(2024, 2, 1)},
      {"THIS YEAR", At(2024, 1, 1)},
      {"NEXT YEAR", At(2025, 1, 1)},
      {"LAST YEAR", At(2023, 1, 1)},
      // Blanks around and letter case do not matter to the resolver.
      {"  next month ", At(2024, 4, 1)},
      {"Yesterday", At(2024, 3, 12)},
      // Any other text is the start of the hour.
      {"", At(2024, 3, 13, 14)},
      {"LAST 4 DAYS", At(2024, 3, 13, 14)},
      {"12/01/2024", At(2024, 3, 13, 14)},
  };
  for (const TKeywordCase& c : cases) {
    EXPECT_EQ(ResolveDateKeyword(c.Text, base), common::DateTimeToEpoch(c.Expected))
        << '"' << c.Text << '"';
  }
}

TEST(Calendar, WeekKeywordsTreatSundayAsTheFirstDay) {
  const struct {
    common::TDateTime Base;
    common::TDateTime ThisWeek;
    common::TDateTime NextWeek;
    common::TDateTime LastWeek;
  } cases[] = {
      {At(2024, 3, 17, 9), At(2024, 3, 17), At(2024, 3, 24), At(2024, 3, 10)},          // Sunday
      {At(2024, 3, 16, 23, 59, 59), At(2024, 3, 10), At(2024, 3, 17), At(2024, 3, 3)},  // Saturday
      {At(2024, 1, 2, 8), At(2023, 12, 31), At(2024, 1, 7), At(2023, 12, 24)},  // over a year end
  };
  for (const auto& c : cases) {
    const EpochSeconds base = common::DateTimeToEpoch(c.Base);
    EXPECT_EQ(ResolveDateKeyword("THIS WEEK", base), common::DateTimeToEpoch(c.ThisWeek));
    EXPECT_EQ(ResolveDateKeyword("NEXT WEEK", base), common::DateTimeToEpoch(c.NextWeek));
    EXPECT_EQ(ResolveDateKeyword("LAST WEEK", base), common::DateTimeToEpoch(c.LastWeek));
  }
}

TEST(Calendar, OffsetsRollOverMonthAndYearEnds) {
  const struct {
    const char* Text;
    common::TDateTime Base;
    common::TDateTime Expected;
  } cases[] = {
      {"NEXT MONTH", At(2024, 12, 15, 10), At(2025, 1, 1)},
      {"LAST MONTH", At(2024, 1, 15, 10), At(2023, 12, 1)},
      {"LAST MONTH", At(2024, 3, 31, 10), At(2024, 2, 1)},
      {"TOMORROW", At(2024, 2, 29, 10), At(2024, 3, 1)},
      {"TOMORROW", At(2023, 2, 28, 10), At(2023, 3, 1)},
      {"TOMORROW", At(2023, 12, 31, 10), At(2024, 1, 1)},
      {"YESTERDAY", At(2024, 3, 1, 10), At(2024, 2, 29)},
      {"LAST 5 DAYS", At(2025, 1, 3, 10), At(2024, 12, 29)},
      {"LAST 2 HOURS", At(2024, 3, 13, 0, 10), At(2024, 3, 12, 22)},
      {"LAST 12 HOURS", At(2024, 3, 13, 5, 30), At(2024, 3, 12, 17)},
      {"NEXT HOUR", At(2024, 12, 31, 23, 59, 59), At(2025, 1, 1)},
      {"NEXT YEAR", At(2024, 12, 31, 23), At(2025, 1, 1)},
      {"LAST YEAR", At(2024, 1, 1), At(2023, 1, 1)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ResolveDateKeyword(c.Text, common::DateTimeToEpoch(c.Base)),
              common::DateTimeToEpoch(c.Expected))
        << c.Text << " at " << common::FormatDateTimeText(c.Base);
  }
}

TEST(Calendar, LastTwelveHoursReachesBackBeforeTheFirstDay) {
  EXPECT_EQ(ResolveDateKeyword("LAST 12 HOURS", EpochAt(1985, 1, 1, 5)), 61200);
}

TEST(Calendar, ZeroBaseMeansTheClocksCurrentSecond) {
  common::FakeClock clock(At(2024, 3, 13, 14, 25, 10, 999));
  common::ScopedClockOverride use(clock);
  EXPECT_EQ(NowEpoch(), EpochAt(2024, 3, 13, 14, 25, 10));  // fraction dropped, not rounded
  EXPECT_EQ(ResolveDateKeyword("NOW", 0), EpochAt(2024, 3, 13, 14, 25, 10));
  EXPECT_EQ(ResolveDateKeyword("NEXT WEEK", 0), EpochAt(2024, 3, 17));
}

TEST(Calendar, DayNumberAgreesWithTheCalendarFrom1985To2053) {
  int mismatches = 0;
  for (common::TDateTime d = At(1985, 1, 1); d <= At(2053, 1, 18); d += 1) {
    const common::TDateTimeParts p = common::DecodeDateTime(d);
    const int expected = static_cast<int>(d - common::kEpochBaseDate);
    if (EpochDayNumber(p.Year, p.Month, p.Day) != expected && ++mismatches < 5) {
      ADD_FAILURE() << common::FormatDateTimeText(d);
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(Calendar, DayNumberCountsOutOfRangeDaysIntoNeighbouringMonths) {
  const struct {
    int Year, Month, Day;
    int Expected;
  } cases[] = {
      {1985, 1, 1, 1},       {1985, 1, 0, 0},  // 1984-12-31
      {1985, 1, -5, 0},                        // before the first day
      {1984, 12, 31, 0},                       // a year before 1985
      {1985, 3, 0, 59},                        // 1985-02-28
      {1988, 3, 0, 1155},                      // 1988-02-29
      {1985, 2, 30, 61},                       // 1985-03-02
      {1986, 1, -1, 364},                      // 1985-12-30
      {1985, 13, 1, 366},                      // 1986-01-01
      {1986, 0, 1, 335},                       // 1985-12-01
      {2179, 12, 31, 65535},                   // beyond the 16-bit range
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EpochDayNumber(c.Year, c.Month, c.Day), c.Expected)
        << c.Year << '-' << c.Month << '-' << c.Day;
  }
}

TEST(Calendar, WindowForFollowsThePeriodKind) {
  const auto hours7 = 7.0 / 24;
  const struct {
    int Kind;
    common::TDateTime Time;
    common::TDateTime Interval;
    common::TDateTime Start;
    common::TDateTime End;
  } cases[] = {
      {0, At(2024, 3, 15, 10), 0, At(2024, 3, 15, 10), At(2024, 3, 15, 11)},
      {0, At(2024, 3, 15, 10, 0, 1), 0, At(2024, 3, 15, 11), At(2024, 3, 15, 12)},
      {1, At(2024, 3, 15, 5, 59, 59), 0, At(2024, 3, 15, 6), At(2024, 3, 15, 12)},
      {2, At(2024, 3, 15, 12, 0, 1), 0, At(2024, 3, 16), At(2024, 3, 16, 12)},
      {3, At(2024, 3, 15, 0, 0, 1), 0, At(2024, 3, 16), At(2024, 3, 17)},
      {4, At(2024, 3, 17), 0, At(2024, 3, 17), At(2024, 3, 24)},
      {4, At(2024, 3, 16, 23, 59, 59), 0, At(2024, 3, 10), At(2024, 3, 17)},
      {5, At(2024, 2, 10), 0, At(2024, 2, 1), At(2024, 3, 1)},
      {6, At(2024, 3, 15, 0, 0, 1), hours7, At(2024, 3, 15, 2), At(2024, 3, 15, 9)},
      {6, At(2024, 3, 15, 9), hours7, At(2024, 3, 15, 9), At(2024, 3, 15, 16)},
      {6, At(2024, 3, 15, 16, 30), hours7, At(2024, 3, 15, 23), At(2024, 3, 16, 6)},
  };
  for (const auto& c : cases) {
    const auto w = WindowFor(c.Kind, c.Time, c.Interval);
    ASSERT_TRUE(w.has_value()) << c.Kind;
    EXPECT_TRUE(SameTime(w->Start, c.Start)) << "kind " << c.Kind;
    EXPECT_TRUE(SameTime(w->End, c.End)) << "kind " << c.Kind;
  }
}

TEST(Calendar, WindowForGivesNoWindowWithoutAUsablePeriod) {
  const common::TDateTime t = At(2024, 3, 15, 10);
  EXPECT_FALSE(WindowFor(6, t, 0).has_value());
  EXPECT_FALSE(WindowFor(6, t, -1.0 / 24).has_value());
  EXPECT_FALSE(WindowFor(6, t, 0.4 / 86400).has_value());  // rounds to no whole second
  EXPECT_FALSE(WindowFor(7, t, 1.0 / 24).has_value());
  EXPECT_FALSE(WindowFor(-1, t, 1.0 / 24).has_value());
  EXPECT_TRUE(WindowFor(6, t, 1.0 / 86400).has_value());
}

TEST(Calendar, FeedingAWindowsEndBackGivesTheNextWindow) {
  for (int kind = 0; kind <= 6; ++kind) {
    const common::TDateTime interval = kind == 6 ? 7.0 / 24 : 0;
    auto w = WindowFor(kind, At(2023, 12, 30, 13, 7, 41), interval);
    ASSERT_TRUE(w.has_value());
    // 300 windows: for months this stays inside the supported range (to 2053).
    for (int n = 0; n < 300; ++n) {
      const auto next = WindowFor(kind, w->End, interval);
      ASSERT_TRUE(next.has_value());
      ASSERT_EQ(common::DateTimeToEpoch(next->Start), common::DateTimeToEpoch(w->End))
          << "kind " << kind << " after " << common::FormatDateTimeText(w->Start);
      const double days = next->End - next->Start;
      if (kind == 4) {
        ASSERT_NEAR(days, 7, 1e-6);
        ASSERT_EQ(common::DayOfTheWeek(next->Start), 7);  // Sunday
      } else if (kind == 5) {
        ASSERT_GE(days, 28 - 1e-6);
        ASSERT_LE(days, 31 + 1e-6);
        ASSERT_EQ(common::DecodeDateTime(next->Start).Day, 1);
      }
      w = next;
    }
  }
}

// Window ends and limits are built from whole seconds, so that the end of one window is the
// start of the next to the last bit, and an unfinished period never compares as "ended
// before" the boundary after now. Summing the period in days broke both for about half of
// all hours.
TEST(Calendar, WindowBoundariesAreExactAtThousandsOfBoundaries) {
  const struct {
    int Kind;
    common::TDateTime Interval;
  } kinds[] = {{0, 0},           {1, 0},
               {2, 0},           {3, 0},
               {4, 0},           {5, 0},
               {6, 7.0 / 24},    {6, 11.0 / 1440},
               {6, 7.0 / 86400}, {6, (3600 + 40 * 60 + 33) / 86400.0}};
  for (const auto& k : kinds) {
    auto w = WindowFor(k.Kind, At(1999, 12, 31, 22, 13, 5), k.Interval);
    ASSERT_TRUE(w.has_value());
    // Within the supported range (to 2053) for weeks and months.
    const int count = k.Kind == 5 ? 600 : k.Kind == 4 ? 2500 : 5000;
    for (int n = 0; n < count; ++n) {
      SCOPED_TRACE("kind " + std::to_string(k.Kind) + " window at " +
                   common::FormatDateTimeText(w->Start));
      ASSERT_EQ(w->End, common::EpochToDateTime(common::DateTimeToEpoch(w->End)));
      // An immediate run at a moment inside this window stops before it.
      const common::TDateTime now = w->Start + (w->End - w->Start) * 0.6;
      const auto limitWindow = WindowFor(k.Kind, now, k.Interval);
      ASSERT_TRUE(limitWindow.has_value());
      ASSERT_FALSE(w->End < limitWindow->Start) << "an unfinished window counts as ended";
      const auto next = WindowFor(k.Kind, w->End, k.Interval);
      ASSERT_TRUE(next.has_value());
      ASSERT_EQ(next->Start, w->End);
      w = next;
    }
  }
}

}  // namespace
}  // namespace vnpp::processing
