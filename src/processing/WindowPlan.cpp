#include "processing/WindowPlan.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>

namespace vnpp::processing {
namespace {

// The window that ends at end: for weeks and months the one that holds the second before
// it, for fixed periods the one a period earlier.
std::optional<TWindow> WindowBefore(int type, common::TDateTime end, common::TDateTime interval) {
  const common::EpochSeconds e = common::DateTimeToEpoch(end);
  std::optional<TWindow> w =
      WindowFor(type, common::EpochToDateTime(std::int64_t{e} - 1), interval);
  if (!w || common::DateTimeToEpoch(w->End) <= e) return w;
  const std::int64_t period =
      std::int64_t{common::DateTimeToEpoch(w->End)} - common::DateTimeToEpoch(w->Start);
  return WindowFor(type, common::EpochToDateTime(e - period), interval);
}

// Consecutive windows from w on whose end lies at or before lastEnd, at most max of them;
// w is left at the first window not taken (empty when there is none).
std::vector<store::TWindowSpan> WindowsUpTo(int type, common::TDateTime interval,
                                            std::optional<TWindow>& w, common::EpochSeconds lastEnd,
                                            std::size_t max) {
  std::vector<store::TWindowSpan> windows;
  for (; w && common::DateTimeToEpoch(w->End) <= lastEnd && windows.size() < max;
       w = WindowFor(type, w->End, interval)) {
    windows.push_back({w->Start, w->End});
  }
  return windows;
}

}  // namespace

bool EntryAhead(const config::TPostProcGroupItem& group,
                const config::TStationSensorInfoItem& entry) {
  return entry.LastUpdate != 0 &&
         common::DateTimeToEpoch(entry.LastUpdate) > common::DateTimeToEpoch(group.WindowStart);
}

TNextWindow WindowsOf(const config::TPostProcGroupItem& group,
                      const config::TStationSensorInfoItem& entry, const TRunLimit& limit) {
  common::TDateTime from = entry.LastUpdate;
  if (from == 0) from = group.WindowStart;
  const int type = group.TypeInterval;
  const common::TDateTime interval = group.Interval;
  if (limit.Kind == TRunLimit::TKind::Scheduled) {
    // An entry that an immediate run has taken past the group's period has nothing to do
    // in it: it is never set back (only a StartFrom moved back at a load does that).
    if (EntryAhead(group, entry)) return [](TWindow&) { return false; };
    // Window ends are compared in whole seconds: two date-time values of one instant may
    // differ in their last bits.
    const common::EpochSeconds last = common::DateTimeToEpoch(group.WindowStart);
    return [=, done = false](TWindow& out) mutable {
      if (done) return false;
      const std::optional<TWindow> w = WindowFor(type, from, interval);
      // After the clock was set back, the group's period may lie in the future: a window
      // that has not ended yet is never stored as done.
      if (!w || common::DateTimeToEpoch(w->End) > NowEpoch()) {
        done = true;
        return false;
      }
      from = w->End;
      done = common::DateTimeToEpoch(w->End) > last;
      out = *w;
      return true;
    };
  }
  // A group never scheduled has WindowStart 0 and so processes nothing here.
  if (group.WindowStart == 0) return [](TWindow&) { return false; };
  const std::optional<TWindow> limitWindow = WindowFor(type, limit.Now, interval);
  std::optional<TWindow> w = WindowFor(type, from, interval);
  const common::EpochSeconds end = limitWindow ? common::DateTimeToEpoch(limitWindow->Start) : 0;
  if (!limitWindow) w.reset();
  // The latest window end that BaseTime lets a catch-up store.
  const common::EpochSeconds lastEnd = limit.HoldBaseTime
                                           ? common::DateTimeToEpoch(limit.Now - group.BaseTime)
                                           : std::numeric_limits<common::EpochSeconds>::max();
  return [=](TWindow& out) mutable {
    if (!w || common::DateTimeToEpoch(w->End) >= end) return false;
    if (common::DateTimeToEpoch(w->End) > lastEnd) return false;
    out = *w;
    w = WindowFor(type, w->End, interval);
    return true;
  };
}

std::vector<store::TWindowSpan> RecheckWindowsOf(const config::TPostProcGroupItem& group,
                                                 const config::TStationSensorInfoItem& entry) {
  const int type = group.TypeInterval;
  const common::EpochSeconds last = common::DateTimeToEpoch(entry.LastUpdate);
  common::TDateTime from = entry.LastUpdate;
  // Never a window that ends at or before the entry's start: an entry without progress
  // rechecks nothing.
  const common::EpochSeconds start =
      entry.StartedFrom != 0 ? common::DateTimeToEpoch(entry.StartedFrom) : 0;
  for (int n = 0; n < group.RecheckWindows && common::DateTimeToEpoch(from) > start; ++n) {
    const std::optional<TWindow> w = WindowBefore(type, from, group.Interval);
    if (!w || common::DateTimeToEpoch(w->Start) >= common::DateTimeToEpoch(from)) break;
    from = w->Start;
  }
  std::optional<TWindow> w = WindowFor(type, from, group.Interval);
  return WindowsUpTo(type, group.Interval, w, last, static_cast<std::size_t>(group.RecheckWindows));
}

std::vector<store::TWindowSpan> RecomputeWindowsOf(const config::TPostProcGroupItem& group,
                                                   common::TDateTime from, common::TDateTime to,
                                                   common::TDateTime next, std::size_t max,
                                                   bool& last) {
  // Never a window that has not ended yet.
  const common::EpochSeconds toEpoch =
      std::min(common::DateTimeToEpoch(to), static_cast<common::EpochSeconds>(NowEpoch()));
  const common::EpochSeconds fromEpoch = common::DateTimeToEpoch(from);
  std::optional<TWindow> w = WindowFor(group.TypeInterval, next != 0 ? next : from, group.Interval);
  // A week or a month holds the time it is given: it begins before the range.
  if (w && common::DateTimeToEpoch(w->Start) < fromEpoch) {
    w = WindowFor(group.TypeInterval, w->End, group.Interval);
  }
  std::vector<store::TWindowSpan> windows =
      WindowsUpTo(group.TypeInterval, group.Interval, w, toEpoch, max);
  last = !w || common::DateTimeToEpoch(w->End) > toEpoch;
  return windows;
}

}  // namespace vnpp::processing
