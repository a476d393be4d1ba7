#include "processing/Schedule.h"

#include <array>
#include <cstdint>
#include <string>

#include "common/Clock.h"
#include "common/Text.h"
#include "processing/Calendar.h"

namespace vnpp::processing {
namespace {

using common::TDateTime;

// The keywords a StartFrom may hold. The resolver knows three more ("LAST 2 DAYS",
// "LAST 3 DAYS", "LAST 5 DAYS"); as a StartFrom they are no date and give now.
constexpr std::array<const char*, 20> kStartKeywords = {
    "YESTERDAY",     "LAST WEEK",    "LAST MONTH",   "LAST YEAR",    "NOW",
    "LAST 12 HOURS", "LAST 6 HOURS", "LAST 3 HOURS", "LAST 2 HOURS", "LAST HOUR",
    "TODAY",         "NEXT HOUR",    "THIS WEEK",    "THIS MONTH",   "THIS YEAR",
    "TOMORROW",      "NEXT WEEK",    "NEXT MONTH",   "NEXT YEAR",    "THIS HOUR"};

// 1900-01-01 00:00:00.
constexpr TDateTime kEarliestStart = 2.0;

bool IsStartKeyword(const std::string& text) {
  const std::string upper = common::UpperAscii(text);
  for (const char* keyword : kStartKeywords) {
    if (upper == keyword) return true;
  }
  return false;
}

void SetNever(config::TPostProcGroupItem& group) {
  group.Period = 0;
  group.NextProcessTime = -1;
}

void ComputeCalendarPeriod(config::TPostProcGroupItem& group, bool initial, const char* thisKey,
                           const char* nextKey) {
  const common::EpochSeconds s = common::DateTimeToEpoch(group.StartTime);
  group.WindowEnd = common::EpochToDateTime(detail::ResolveAt(nextKey, s));
  group.WindowStart = common::EpochToDateTime(detail::ResolveAt(thisKey, s));
  group.Period = group.WindowEnd - group.WindowStart;
  group.NextProcessTime = group.WindowEnd + group.BaseTime;
  if (initial) {
    group.NotBeforeTime =
        common::EpochToDateTime(detail::ResolveAt(nextKey, NowEpoch())) + group.BaseTime;
  }
}

void ComputeFixedPeriod(config::TPostProcGroupItem& group, bool initial, double period) {
  group.Period = period;
  if (!(period > 0)) {
    SetNever(group);
    return;
  }
  // A period that rounds to no whole second has no boundaries: never due.
  const std::int64_t p = detail::PeriodSeconds(period);
  if (p == 0) {
    SetNever(group);
    return;
  }
  const std::int64_t e = detail::NextBoundary(common::DateTimeToEpoch(group.StartTime), p);
  group.WindowEnd = common::EpochToDateTime(e);
  group.WindowStart = common::EpochToDateTime(e - p);
  group.NextProcessTime = group.WindowEnd + group.BaseTime;
  if (initial) {
    const std::int64_t n = common::DateTimeToEpoch(common::Now());
    group.NotBeforeTime = common::EpochToDateTime(detail::NextBoundary(n, p)) + group.BaseTime;
  }
}

void MoveStartTo(config::TPostProcGroupItem& group, TDateTime start) {
  group.StartTime = start;
  group.StartFrom = common::FormatDateTimeText(group.StartTime);
  ComputeSchedule(group, false);
}

}  // namespace

bool InitGroupSchedule(config::TPostProcGroupItem& group) {
  // The EpochSeconds range, 1985-01-01 00:00:00 to 2053-01-18 03:14:07. Outside it every
  // period boundary is clamped to the same one: the group would run over one window again
  // and again.
  constexpr TDateTime kFirstSupported = common::kEpochBaseDate + 1;
  constexpr TDateTime kLastSupported = common::kEpochBaseDate + INT32_MAX / common::kSecondsPerDay;
  bool outOfRange = false;
  if (group.StartFrom.empty()) {
    group.StartTime = common::Now();
  } else if (IsStartKeyword(group.StartFrom)) {
    group.StartTime = common::EpochToDateTime(ResolveDateKeyword(group.StartFrom, NowEpoch()));
  } else {
    TDateTime explicitStart = 0;
    const bool read = common::TryParseDateTimeText(group.StartFrom, explicitStart) &&
                      explicitStart >= kEarliestStart;
    outOfRange = read && (explicitStart < kFirstSupported || explicitStart > kLastSupported);
    group.StartTime = read && !outOfRange ? explicitStart : common::Now();
  }
  ComputeSchedule(group, true);
  return outOfRange;
}

void ComputeSchedule(config::TPostProcGroupItem& group, bool initial) {
  switch (group.TypeInterval) {
    case 0:
      ComputeFixedPeriod(group, initial, 1.0 / 24);
      break;
    case 1:
      ComputeFixedPeriod(group, initial, 0.25);
      break;
    case 2:
      ComputeFixedPeriod(group, initial, 0.5);
      break;
    case 3:
      ComputeFixedPeriod(group, initial, 1.0);
      break;
    case 6:
      ComputeFixedPeriod(group, initial, group.Interval);
      break;
    case 4:
      ComputeCalendarPeriod(group, initial, "THIS WEEK", "NEXT WEEK");
      break;
    case 5:
      ComputeCalendarPeriod(group, initial, "THIS MONTH", "NEXT MONTH");
      break;
    default:
      // No period kind: the group is never run on schedule.
      break;
  }
}

TDateTime StartAfterRun(const config::TPostProcGroupItem& group) {
  return group.Period > 0 ? group.StartTime + group.Period : group.StartTime;
}

TDateTime StartAfterDemand(const config::TPostProcGroupItem& group, common::TDateTime now) {
  return group.Period > 0 && group.StartTime < now ? now : group.StartTime;
}

void AdvanceAfterRun(config::TPostProcGroupItem& group) {
  if (!(group.Period > 0)) return;
  MoveStartTo(group, StartAfterRun(group));
}

void AdvanceAfterDemand(config::TPostProcGroupItem& group, common::TDateTime now) {
  if (!(group.Period > 0)) return;
  MoveStartTo(group, StartAfterDemand(group, now));
}

}  // namespace vnpp::processing
