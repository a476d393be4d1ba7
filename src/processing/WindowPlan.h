// Which windows of an entry a run computes, a recheck checks again and a recompute batch
// takes: the group's period kind laid over the entry's progress, the run's limit and the
// present (NowEpoch), in the windows of WindowFor.
// Thread safety: the functions hold no state; the generators they return belong to their
// caller.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "common/DateTime.h"
#include "config/GroupModel.h"
#include "processing/Calendar.h"
#include "store/ReadingCursor.h"

namespace vnpp::processing {

// How far a run takes each entry, and what ends it early.
struct TRunLimit {
  enum class TKind {
    // Each entry up to and including the group's current period, never a window that ends
    // after the present; ended by a stop request.
    Scheduled,
    // Each entry up to the period boundary at or after Now; ended by a stop request or by
    // a return to scheduling (a cancelled immediate run).
    Immediate,
  };
  TKind Kind = TKind::Scheduled;
  common::TDateTime Now = 0;  // Immediate only
  // Immediate only: also leaves out every window whose end plus the group's BaseTime lies
  // after Now, as the schedule would have waited for it (a catch-up).
  bool HoldBaseTime = false;

  static TRunLimit ScheduledRun() { return {}; }
  static TRunLimit ImmediateRun(common::TDateTime now) { return {TKind::Immediate, now}; }
  static TRunLimit CatchUpRun(common::TDateTime now) { return {TKind::Immediate, now, true}; }
};

// Gives the next window of an entry; false when there is none left before its limit.
using TNextWindow = std::function<bool(TWindow&)>;

// True when entry's progress lies past the start of the group's scheduled period (an
// immediate run or a catch-up took it there): a scheduled run has nothing to do for it.
bool EntryAhead(const config::TPostProcGroupItem& group,
                const config::TStationSensorInfoItem& entry);

// The windows of entry from its progress up to the limit.
TNextWindow WindowsOf(const config::TPostProcGroupItem& group,
                      const config::TStationSensorInfoItem& entry, const TRunLimit& limit);

// The group's RecheckWindows windows that end at or before the entry's progress, none of
// them ending at or before its StartedFrom.
std::vector<store::TWindowSpan> RecheckWindowsOf(const config::TPostProcGroupItem& group,
                                                 const config::TStationSensorInfoItem& entry);

// The next batch of a recompute of [from, to) for one entry: at most max consecutive windows
// from next on (0: the first window in the range), never one that has not ended yet. last is
// set when no window of the range follows them.
std::vector<store::TWindowSpan> RecomputeWindowsOf(const config::TPostProcGroupItem& group,
                                                   common::TDateTime from, common::TDateTime to,
                                                   common::TDateTime next, std::size_t max,
                                                   bool& last);

}  // namespace vnpp::processing
