#include "processing/ChangeLog.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <limits>
#include <map>

#include "common/Log.h"
#include "config/Configuration.h"
#include "database/Database.h"
#include "database/Odbc.h"
#include "processing/GroupRun.h"
#include "processing/RunLog.h"

namespace vnpp::processing {
namespace {

using common::EpochSeconds;

// The window that holds second s as [Start, End).
std::optional<TWindow> Holding(int type, common::TDateTime interval, std::int64_t s) {
  std::optional<TWindow> w = WindowFor(type, common::EpochToDateTime(s), interval);
  // Weeks and months hold the time given; a fixed period begins at the first boundary at or
  // after it, so the one before holds it unless s is that boundary.
  if (!w || common::DateTimeToEpoch(w->Start) <= s) return w;
  const std::int64_t period =
      std::int64_t{common::DateTimeToEpoch(w->End)} - common::DateTimeToEpoch(w->Start);
  return WindowFor(type, common::EpochToDateTime(s - period + 1), interval);
}

// A time tag's whole seconds below and above it (equal for a whole second).
std::pair<std::int64_t, std::int64_t> SecondsAround(common::TDateTime tag) {
  const std::int64_t s = common::DateTimeToEpoch(tag);
  const std::int64_t at = common::CalendarMicros(common::EpochToDateTime(s));
  const std::int64_t micros = common::CalendarMicros(tag);
  if (micros < at) return {s - 1, s};
  if (micros > at) return {s, s + 1};
  return {s, s};
}

}  // namespace

TChangedWindows::TChangedWindows(const config::TPostProcGroupItem& group,
                                 const config::TStationSensorInfoItem& entry,
                                 std::span<const store::TChange> changes)
    : type_(group.TypeInterval), interval_(group.Interval) {
  if (entry.LastUpdate == 0) return;
  const std::int64_t upper = common::DateTimeToEpoch(entry.LastUpdate);
  const std::int64_t lower = entry.StartedFrom != 0 ? common::DateTimeToEpoch(entry.StartedFrom)
                                                    : std::numeric_limits<EpochSeconds>::min();
  const std::int32_t mode = group.BoundaryMode;
  for (const store::TChange& change : changes) {
    const auto [firstBelow, firstAbove] = SecondsAround(std::min(change.First, change.Last));
    const auto [lastBelow, lastAbove] = SecondsAround(std::max(change.First, change.Last));
    // The second that lies just inside the window of a tag: mode 0 takes [Start, End), so a
    // tag is in the window holding the second below it; mode 1 takes (Start, End], so a tag
    // on a boundary belongs to the window before it; mode 2 takes both ends, so a tag on a
    // boundary belongs to both windows.
    const std::int64_t from = mode == 0 ? firstBelow : firstAbove - 1;
    const std::int64_t to = mode == 1 ? lastAbove - 1 : lastBelow;
    std::optional<TWindow> first = Holding(type_, interval_, std::max<std::int64_t>(from, lower));
    std::optional<TWindow> last = Holding(type_, interval_, std::min(to, upper - 1));
    if (!first || !last) continue;
    EpochSeconds end = common::DateTimeToEpoch(last->End);
    // A DELTA window starts from the last reading before it.
    if (group.IsDelta() && to < upper) {
      if (const std::optional<TWindow> after = WindowFor(type_, last->End, interval_)) {
        end = std::min<EpochSeconds>(common::DateTimeToEpoch(after->End), upper);
      }
    }
    const EpochSeconds start = common::DateTimeToEpoch(first->Start);
    if (common::DateTimeToEpoch(first->End) > end || common::DateTimeToEpoch(first->End) <= lower)
      continue;
    runs_.emplace_back(start, end);
  }
  std::sort(runs_.begin(), runs_.end());
  std::size_t kept = 0;
  for (std::size_t i = 0; i < runs_.size(); ++i) {
    if (kept > 0 && runs_[i].first <= runs_[kept - 1].second) {
      runs_[kept - 1].second = std::max(runs_[kept - 1].second, runs_[i].second);
    } else {
      runs_[kept++] = runs_[i];
    }
  }
  runs_.resize(kept);
  if (!runs_.empty()) next_ = WindowFor(type_, common::EpochToDateTime(runs_[0].first), interval_);
}

std::vector<store::TWindowSpan> TChangedWindows::Next(std::size_t max) {
  std::vector<store::TWindowSpan> windows;
  while (run_ < runs_.size() && windows.size() < max) {
    if (next_ && common::DateTimeToEpoch(next_->End) <= runs_[run_].second) {
      windows.push_back({next_->Start, next_->End});
      next_ = WindowFor(type_, next_->End, interval_);
      continue;
    }
    if (++run_ < runs_.size()) {
      next_ = WindowFor(type_, common::EpochToDateTime(runs_[run_].first), interval_);
    }
  }
  return windows;
}

common::TDateTime ThresholdOf(const config::TPostProcGroupItem& group,
                              const config::TStationSensorInfoItem& entry, const TRunLimit& limit) {
  const int type = group.TypeInterval;
  std::optional<EpochSeconds> last;
  // The latest window end at or before second s.
  auto endAtOrBefore = [&](std::int64_t s) -> std::optional<EpochSeconds> {
    const std::optional<TWindow> w = Holding(type, group.Interval, s);
    if (!w) return std::nullopt;
    return common::DateTimeToEpoch(w->Start);
  };
  if (limit.Kind == TRunLimit::TKind::Scheduled) {
    // Up to the window that holds the group's period start, never one that ends after now
    // (as WindowsOf); an entry ahead of the period computes nothing.
    if (!EntryAhead(group, entry)) {
      const std::optional<TWindow> w =
          Holding(type, group.Interval, common::DateTimeToEpoch(group.WindowStart));
      const std::optional<EpochSeconds> now = endAtOrBefore(NowEpoch());
      if (w && now) last = std::min<EpochSeconds>(common::DateTimeToEpoch(w->End), *now);
    }
  } else if (group.WindowStart != 0) {
    // Every window that ends before the period boundary at or after Now, and with
    // HoldBaseTime none that ends after Now less BaseTime.
    const std::optional<TWindow> limitWindow = WindowFor(type, limit.Now, group.Interval);
    if (limitWindow) last = endAtOrBefore(common::DateTimeToEpoch(limitWindow->Start) - 1);
    if (last && limit.HoldBaseTime) {
      const std::optional<EpochSeconds> hold =
          endAtOrBefore(common::DateTimeToEpoch(limit.Now - group.BaseTime));
      last = hold ? std::min(*last, *hold) : hold;
    }
  }
  common::TDateTime threshold = entry.LastUpdate;
  if (last && (entry.LastUpdate == 0 || *last > common::DateTimeToEpoch(entry.LastUpdate))) {
    threshold = common::EpochToDateTime(*last);
  }
  return threshold > 0 ? threshold : 0;
}

void ProbeChangeLog(config::TConfiguration& config, database::TConnection& connection,
                    common::ILog& log) {
  if (store::ChangeLogTablesExist(connection)) {
    config.SetChangeLogTables(config::TChangeLogTables::Present);
    return;
  }
  config.SetChangeLogTables(config::TChangeLogTables::Missing);
  log.WriteLogAs(common::ILog::TPriority::Error,
                 std::string(common::kMsgErrorPrefix) +
                     store::ChangeLogMissingText(store::ChangeLogScript(connection)));
}

// Each run reads the changes logged since the group's consumed id once, computes the windows
// they touch for each entry again (writing only what changed), and then counts the changes as
// consumed; the id goes to the file with the group's progress, after these windows committed.
bool TGroupRunner::CheckChangeLog(config::TPostProcGroupItem& group, const TRunLimit& limit) {
  if (!config_.ChangeLog() || refusedEntries_ >= 0) return true;
  database::TConnection& connection = database_.Connection();
  if (config_.ChangeLogTables() == config::TChangeLogTables::Unknown) {
    ProbeChangeLog(config_, connection, log_);
  }
  if (config_.ChangeLogTables() != config::TChangeLogTables::Present) return true;
  const std::int64_t consumed = std::max(group.ChangeLogID, group.PendingChangeLogID);
  std::map<std::pair<std::string, std::string>, std::vector<store::TChange>> changes;
  std::int64_t lastId = consumed;
  try {
    // The thresholds rise before any reading is read: a reading written while the run reads
    // is then at or before its threshold and logged, so it cannot slip in between the read
    // and the commit of the window it belongs to (raised after the commit, it could).
    std::vector<store::TThreshold> thresholds;
    for (const auto& entry : group.Sensors) {
      const common::TDateTime t = ThresholdOf(group, *entry, limit);
      if (t > 0) thresholds.push_back({entry->StationID, entry->SensorName, t});
      changes[{entry->StationID, entry->SensorName}];
    }
    store::RaiseThresholds(connection, thresholds, [&] { return Cancelled(limit); });
    store::ReadChanges(
        connection, consumed,
        [&](const store::TChange& change) {
          const auto it = changes.find({change.StationID, change.SensorName});
          if (it != changes.end()) it->second.push_back(change);
          return false;
        },
        lastId);
  } catch (const std::exception& e) {
    if (dynamic_cast<const database::EDatabaseError*>(&e) != nullptr) ++counters_.DatabaseErrors;
    LogRunError(log_, std::string("The change log could not be read: ") + e.what());
    return false;
  }
  bool complete = true;
  for (const auto& owned : group.Sensors) {
    config::TStationSensorInfoItem& entry = *owned;
    const std::vector<store::TChange>& mine = changes[{entry.StationID, entry.SensorName}];
    if (mine.empty()) continue;
    if (Cancelled(limit)) return false;
    TChangedWindows windows(group, entry, mine);
    TCheckCounts counts;
    compute::TPPDataItem::TValueProblems problems;
    // The windows' readings were reported when they were first computed: only the values
    // taken as missing are said again.
    auto report = [&] {
      problems.Incomplete = 0;
      LogChanges(log_, group, entry, counts, "corrected readings");
      ReportEntry(group, entry, problems);
    };
    try {
      for (std::vector<store::TWindowSpan> w = windows.Next(windowsPerRead_); !w.empty();
           w = windows.Next(windowsPerRead_)) {
        if (!CheckWindows(
                group, entry, w, [&] { return Cancelled(limit); }, counts, problems)) {
          report();
          return false;
        }
      }
    } catch (const std::exception& e) {
      report();
      EntryError(&entry, e);
      complete = false;
      continue;
    }
    report();
  }
  // Every window of the read is committed: the changes are consumed. One that failed is read
  // again next run.
  if (complete) group.PendingChangeLogID = std::max(group.PendingChangeLogID, lastId);
  return complete;
}

bool TGroupRunner::EndChangeLog(config::TPostProcGroupItem& group) {
  if (!config_.ChangeLog() || refusedEntries_ >= 0 ||
      config_.ChangeLogTables() != config::TChangeLogTables::Present) {
    return true;
  }
  try {
    // Written with the progress when there was some; else on its own now.
    if (group.PendingChangeLogID > group.ChangeLogID) config_.WriteChangeLogID(group);
  } catch (const std::exception& e) {
    if (!config_.WriteBackRefused()) LogRunError(log_, e.what());
    return false;
  }
  // The rows every group has consumed, as their files say, are no longer needed.
  std::int64_t consumed = std::numeric_limits<std::int64_t>::max();
  const config::TPostProcGroups* groups = config_.Groups();
  for (int i = 0; groups != nullptr && i < groups->Count(); ++i) {
    // A disabled group counts too: enabled again, it goes on from its progress and needs
    // the corrections made while it was off.
    consumed = std::min(consumed, groups->Item(i).ChangeLogID);
  }
  if (consumed <= 0 || consumed == std::numeric_limits<std::int64_t>::max()) return true;
  try {
    store::DeleteChanges(database_.Connection(), consumed);
  } catch (const database::EDatabaseError& e) {
    ++counters_.DatabaseErrors;
    LogRunError(log_, std::string("The consumed changes could not be deleted: ") + e.what());
    return false;
  }
  return true;
}

}  // namespace vnpp::processing
