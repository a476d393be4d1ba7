#include "processing/Schedule.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Clock.h"
#include "support/TestTime.h"

namespace vnpp::processing {
namespace {

using config::TPostProcGroupItem;
using testing::At;
using testing::SameTime;

constexpr common::TDateTime kFiveMinutes = 5.0 / 1440;

TEST(Schedule, HourlyGroupFollowsTheWorkedExampleStepByStep) {
  common::FakeClock clock(At(2024, 3, 15, 10, 17, 30));
  common::ScopedClockOverride use(clock);
  TPostProcGroupItem g;
  g.TypeInterval = 0;
  g.BaseTime = kFiveMinutes;
  g.StartFrom = "NOW";

  InitGroupSchedule(g);
  EXPECT_TRUE(SameTime(g.StartTime, At(2024, 3, 15, 10, 17, 30)));
  EXPECT_DOUBLE_EQ(g.Period, 1.0 / 24);
  EXPECT_TRUE(SameTime(g.WindowStart, At(2024, 3, 15, 10)));
  EXPECT_TRUE(SameTime(g.WindowEnd, At(2024, 3, 15, 11)));
  EXPECT_TRUE(SameTime(g.NextProcessTime, At(2024, 3, 15, 11, 5)));
  EXPECT_TRUE(SameTime(g.NotBeforeTime, At(2024, 3, 15, 11, 5)));
  EXPECT_TRUE(SameTime(g.DueTime(), At(2024, 3, 15, 11, 5)));

  clock.Set(At(2024, 3, 15, 11, 5));  // the run for 10:00 to 11:00
  AdvanceAfterRun(g);
  EXPECT_TRUE(SameTime(g.StartTime, At(2024, 3, 15, 11, 17, 30)));
  EXPECT_EQ(g.StartFrom, "03/15/2024 11:17:30");
  EXPECT_TRUE(SameTime(g.WindowStart, At(2024, 3, 15, 11)));
  EXPECT_TRUE(SameTime(g.WindowEnd, At(2024, 3, 15, 12)));
  EXPECT_TRUE(SameTime(g.NextProcessTime, At(2024, 3, 15, 12, 5)));
  EXPECT_TRUE(SameTime(g.NotBeforeTime, At(2024, 3, 15, 11, 5)));  // fixed at the start
}

TEST(Schedule, DailyGroupFromTodayWaitsForTomorrowThenCatchesUp) {
  common::FakeClock clock(At(2024, 3, 13, 14));
  common::ScopedClockOverride use(clock);
  TPostProcGroupItem g;
  g.TypeInterval = 3;
  g.BaseTime = kFiveMinutes;
  g.StartFrom = "today";  // keywords are matched after upper-casing

  InitGroupSchedule(g);
  EXPECT_TRUE(SameTime(g.StartTime, At(2024, 3, 13)));
  EXPECT_TRUE(SameTime(g.WindowStart, At(2024, 3, 12)));
  EXPECT_TRUE(SameTime(g.WindowEnd, At(2024, 3, 13)));
  EXPECT_TRUE(SameTime(g.NextProcessTime, At(2024, 3, 13, 0, 5)));
  EXPECT_TRUE(SameTime(g.NotBeforeTime, At(2024, 3, 14, 0, 5)));
  EXPECT_TRUE(SameTime(g.DueTime(), At(2024, 3, 14, 0, 5)));

  AdvanceAfterRun(g);  // yesterday's run; today's is due at once
  EXPECT_TRUE(SameTime(g.WindowStart, At(2024, 3, 13)));
  EXPECT_TRUE(SameTime(g.WindowEnd, At(2024, 3, 14)));
  EXPECT_TRUE(SameTime(g.DueTime(), At(2024, 3, 14, 0, 5)));
  AdvanceAfterRun(g);
  EXPECT_TRUE(SameTime(g.DueTime(), At(2024, 3, 15, 0, 5)));
}

TEST(Schedule, MonthlyGroupFromJanuaryThirtyFirstSkipsFebruarysOwnRun) {
  common::FakeClock clock(At(2023, 2, 1, 12));
  common::ScopedClockOverride use(clock);
  TPostProcGroupItem g;
  g.TypeInterval = 5;
  g.StartFrom = "01/31/2023 10:00:00";

  InitGroupSchedule(g);
  EXPECT_TRUE(SameTime(g.StartTime, At(2023, 1, 31, 10)));
  EXPECT_TRUE(SameTime(g.WindowStart, At(2023, 1, 1)));
  EXPECT_TRUE(SameTime(g.WindowEnd, At(2023, 2, 1)));
  EXPECT_NEAR(g.Period, 31, 1e-9);
  EXPECT_TRUE(SameTime(g.NotBeforeTime, At(2023, 3, 1)));

  AdvanceAfterRun(g);
  EXPECT_TRUE(SameTime(g.StartTime, At(2023, 3, 3, 10)));
  EXPECT_EQ(g.StartFrom, "03/03/2023 10:00:00");
  EXPECT_TRUE(SameTime(g.WindowStart, At(2023, 3, 1)));
  EXPECT_TRUE(SameTime(g.WindowEnd, At(2023, 4, 1)));
  EXPECT_NEAR(g.Period, 31, 1e-9);
}

TEST(Schedule, WeeklyGroupFromThisWeekCoversSundayToSunday) {
  common::FakeClock clock(At(2024, 3, 13, 14, 25, 10));
  common::ScopedClockOverride use(clock);
  TPostProcGroupItem g;
  g.TypeInterval = 4;
  g.BaseTime = 1.0 / 24;
  g.StartFrom = "THIS WEEK";

  InitGroupSchedule(g);
  EXPECT_TRUE(SameTime(g.StartTime, At(2024, 3, 10)));
  EXPECT_TRUE(SameTime(g.WindowStart, At(2024, 3, 10)));
  EXPECT_TRUE(SameTime(g.WindowEnd, At(2024, 3, 17)));
  EXPECT_NEAR(g.Period, 7, 1e-9);
  EXPECT_TRUE(SameTime(g.NextProcessTime, At(2024, 3, 17, 1)));
  EXPECT_TRUE(SameTime(g.NotBeforeTime, At(2024, 3, 17, 1)));

  AdvanceAfterRun(g);
  EXPECT_TRUE(SameTime(g.WindowStart, At(2024, 3, 17)));
  EXPECT_TRUE(SameTime(g.WindowEnd, At(2024, 3, 24)));
}

TEST(Schedule, SevenHourIntervalBoundariesShiftFromDayToDay) {
  common::FakeClock clock(At(2024, 3, 15));
  common::ScopedClockOverride use(clock);
  TPostProcGroupItem g;
  g.TypeInterval = 6;
  g.Interval = 7.0 / 24;
  g.StartFrom = "03/15/2024 00:00:01";

  InitGroupSchedule(g);
  const common::TDateTime expectedEnds[] = {At(2024, 3, 15, 2), At(2024, 3, 15, 9),
                                            At(2024, 3, 15, 16), At(2024, 3, 15, 23),
                                            At(2024, 3, 16, 6)};
  for (const common::TDateTime end : expectedEnds) {
    EXPECT_TRUE(SameTime(g.WindowEnd, end));
    EXPECT_TRUE(SameTime(g.WindowStart, end - 7.0 / 24));
    AdvanceAfterRun(g);
  }
}

TEST(Schedule, StartOnABoundaryTakesThePeriodEndingOrBeginningThere) {
  common::FakeClock clock(At(2024, 3, 1, 12));
  common::ScopedClockOverride use(clock);
  const struct {
    int Kind;
    common::TDateTime Start;
    common::TDateTime WindowStart;
    common::TDateTime WindowEnd;
  } cases[] = {
      {0, At(2024, 3, 1, 6), At(2024, 3, 1, 5), At(2024, 3, 1, 6)},
      {1, At(2024, 3, 1, 6), At(2024, 3, 1), At(2024, 3, 1, 6)},
      {2, At(2024, 3, 1), At(2024, 2, 29, 12), At(2024, 3, 1)},
      {3, At(2024, 3, 1), At(2024, 2, 29), At(2024, 3, 1)},
      {4, At(2024, 3, 3), At(2024, 3, 3), At(2024, 3, 10)},  // a Sunday
      {5, At(2024, 3, 1), At(2024, 3, 1), At(2024, 4, 1)},
  };
  for (const auto& c : cases) {
    TPostProcGroupItem g;
    g.TypeInterval = static_cast<std::uint8_t>(c.Kind);
    g.StartTime = c.Start;
    ComputeSchedule(g, false);
    EXPECT_TRUE(SameTime(g.WindowStart, c.WindowStart)) << "kind " << c.Kind;
    EXPECT_TRUE(SameTime(g.WindowEnd, c.WindowEnd)) << "kind " << c.Kind;
    EXPECT_EQ(g.NotBeforeTime, 0) << "kind " << c.Kind;  // only the initial computation sets it
  }
}

TEST(Schedule, StartFromIsAKeywordAnExplicitTimeOrNow) {
  const common::TDateTime now = At(2024, 3, 13, 14, 25, 10, 500);
  common::FakeClock clock(now);
  common::ScopedClockOverride use(clock);
  const struct {
    const char* StartFrom;
    common::TDateTime Expected;
    bool OutOfRange = false;  // reported to the caller
  } cases[] = {
      {"", now},
      {"NOW", At(2024, 3, 13, 14, 25, 10)},  // keywords resolve to whole seconds
      {"Last Hour", At(2024, 3, 13, 13)},
      {"next month", At(2024, 4, 1)},
      {" NOW", now},  // no trimming: neither a keyword nor a date
      {"NOW ", now},
      {"LAST 2 DAYS", now},  // known to the resolver, not accepted as a start
      {"12/31/1899 00:00:00", now},
      // Explicit dates outside the range the boundaries are computed in: now, reported.
      {"01/01/1900 00:00:00", now, true},
      {"12/31/1984 23:59:59", now, true},
      {"01/01/1985 00:00:00", At(1985, 1, 1)},
      {"01/18/2053 03:14:07", At(2053, 1, 18, 3, 14, 7)},
      {"01/18/2053 03:14:08", now, true},
      {"12/31/9999 00:00:00", now, true},
      {"02/30/2024 10:00:00", now},
      {"no date", now},
      {"03/10/2024 08:00:00", At(2024, 3, 10, 8)},
      {"03/10/2024", At(2024, 3, 10)},
  };
  for (const auto& c : cases) {
    TPostProcGroupItem g;
    g.TypeInterval = 9;  // no period: only StartTime is resolved
    g.StartFrom = c.StartFrom;
    EXPECT_EQ(InitGroupSchedule(g), c.OutOfRange) << '"' << c.StartFrom << '"';
    EXPECT_TRUE(SameTime(g.StartTime, c.Expected)) << '"' << c.StartFrom << '"';
    EXPECT_EQ(g.StartFrom, c.StartFrom);
  }
}

TEST(Schedule, GroupsWithoutAPeriodAreNeverDue) {
  common::FakeClock clock(At(2024, 3, 15, 10, 17, 30));
  common::ScopedClockOverride use(clock);
  const struct {
    int Kind;
    common::TDateTime Interval;
    common::TDateTime NextProcessTime;
  } cases[] = {
      {6, 0, -1},
      {6, 0.4 / 86400, -1},  // rounds to a period of no whole second
      {9, 1.0 / 24, 0},      // no period kind: nothing computed
      {255, 0, 0},
  };
  for (const auto& c : cases) {
    TPostProcGroupItem g;
    g.TypeInterval = static_cast<std::uint8_t>(c.Kind);
    g.Interval = c.Interval;
    g.StartFrom = "NOW";
    InitGroupSchedule(g);
    EXPECT_TRUE(SameTime(g.StartTime, At(2024, 3, 15, 10, 17, 30))) << c.Kind;
    EXPECT_EQ(g.NextProcessTime, c.NextProcessTime) << c.Kind;
    EXPECT_EQ(g.Period, 0) << c.Kind;
    EXPECT_EQ(g.WindowStart, 0) << c.Kind;
    EXPECT_EQ(g.WindowEnd, 0) << c.Kind;
    EXPECT_EQ(g.NotBeforeTime, 0) << c.Kind;

    AdvanceAfterRun(g);
    AdvanceAfterDemand(g, At(2024, 3, 16));
    EXPECT_TRUE(SameTime(g.StartTime, At(2024, 3, 15, 10, 17, 30))) << c.Kind;
    EXPECT_EQ(g.StartFrom, "NOW") << c.Kind;
    EXPECT_EQ(g.NextProcessTime, c.NextProcessTime) << c.Kind;
  }
}

TEST(Schedule, ImmediateRunMovesTheScheduleToThePeriodContainingNow) {
  common::FakeClock clock(At(2024, 3, 15, 10, 17, 30));
  common::ScopedClockOverride use(clock);
  TPostProcGroupItem g;
  g.TypeInterval = 0;
  g.BaseTime = kFiveMinutes;
  g.StartFrom = "NOW";
  InitGroupSchedule(g);

  AdvanceAfterDemand(g, At(2024, 3, 15, 12, 40));
  EXPECT_TRUE(SameTime(g.StartTime, At(2024, 3, 15, 12, 40)));
  EXPECT_EQ(g.StartFrom, "03/15/2024 12:40:00");
  EXPECT_TRUE(SameTime(g.WindowStart, At(2024, 3, 15, 12)));
  EXPECT_TRUE(SameTime(g.WindowEnd, At(2024, 3, 15, 13)));
  EXPECT_TRUE(SameTime(g.NextProcessTime, At(2024, 3, 15, 13, 5)));
  EXPECT_TRUE(SameTime(g.NotBeforeTime, At(2024, 3, 15, 11, 5)));

  // A start already later than now stays where it is.
  AdvanceAfterDemand(g, At(2024, 3, 15, 12, 0));
  EXPECT_TRUE(SameTime(g.StartTime, At(2024, 3, 15, 12, 40)));
  EXPECT_TRUE(SameTime(g.WindowEnd, At(2024, 3, 15, 13)));
}

TEST(Schedule, AStartInThePastIsHeldBackUntilTheFirstBoundaryAfterStartUp) {
  common::FakeClock clock(At(2024, 3, 15, 10, 17, 30));
  common::ScopedClockOverride use(clock);
  TPostProcGroupItem g;
  g.TypeInterval = 0;
  g.BaseTime = kFiveMinutes;
  g.StartFrom = "03/15/2024 06:30:00";
  InitGroupSchedule(g);
  EXPECT_TRUE(SameTime(g.NextProcessTime, At(2024, 3, 15, 7, 5)));
  EXPECT_TRUE(SameTime(g.DueTime(), At(2024, 3, 15, 11, 5)));

  // At 11:05 the backlog runs back to back until the next run lies in the future.
  clock.Set(At(2024, 3, 15, 11, 5));
  int runs = 0;
  while (g.DueTime() <= clock.Now() && runs < 100) {
    AdvanceAfterRun(g);
    ++runs;
  }
  EXPECT_EQ(runs, 5);  // the periods ending 07:00, 08:00, 09:00, 10:00 and 11:00
  EXPECT_TRUE(SameTime(g.WindowEnd, At(2024, 3, 15, 12)));
}

}  // namespace
}  // namespace vnpp::processing
