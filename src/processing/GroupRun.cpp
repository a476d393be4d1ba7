#include "processing/GroupRun.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "common/Log.h"
#include "compute/PPDataItem.h"
#include "config/Configuration.h"
#include "database/Database.h"
#include "processing/ResultBatch.h"
#include "processing/RunLog.h"
#include "store/ReadingCursor.h"
#include "store/ResultWriter.h"

namespace vnpp::processing {
// The prepared statements and the result batch live as long as one connection: from the
// connect at the start of a run to the disconnect at its end.
class TGroupRunner::TSession {
 public:
  TSession(database::TConnection& connection, database::TDatabase& database,
           config::TConfiguration& config, common::ILog& log, TRunCounters& counters)
      : statements(connection),
        batch(connection, statements, database, config, log, counters),
        check(connection, statements, batch) {}
  store::TPPStatements statements;
  TResultBatch batch;  // declared after the statements it writes with
  TWindowCheck check;  // and after the batch it commits
};

TGroupRunner::TGroupRunner(config::TConfiguration& config, database::TDatabase& database,
                           common::ILog& log, const std::atomic<bool>& stopRequested,
                           const std::atomic<bool>& scheduleMode)
    : config_(config),
      database_(database),
      log_(log),
      stopRequested_(stopRequested),
      scheduleMode_(scheduleMode) {}

// Results not committed are dropped with their progress, which was never written.
TGroupRunner::~TGroupRunner() = default;

TGroupRunner::TSession& TGroupRunner::Session() {
  // Outside a run (a caller processing one entry) the statements go to the connection as it
  // stands.
  if (!session_) {
    session_ =
        std::make_unique<TSession>(database_.Connection(), database_, config_, log_, counters_);
    session_->check.SetReadLimits(eachWindowAlone_ ? 1 : windowsPerRead_, rowsPerRead_);
  }
  return *session_;
}

void TGroupRunner::EntryError(const config::TStationSensorInfoItem* entry,
                              const std::exception& e) {
  if (dynamic_cast<const database::EDatabaseError*>(&e) != nullptr) {
    ++counters_.DatabaseErrors;
    if (session_) session_->batch.Recover(entry);
    if (refusedEntries_ >= 0) {
      // The run's connect was refused (its Error 1501 said why): one line at the end.
      ++counters_.FailedEntries;
      ++refusedEntries_;
      return;
    }
  }
  EntryFailed(log_, counters_, e.what());
}

void TGroupRunner::ReportEntry(config::TPostProcGroupItem& group,
                               const config::TStationSensorInfoItem& entry,
                               const compute::TPPDataItem::TValueProblems& problems) {
  counters_.IncompleteWindows += problems.Incomplete;
  group.IncompleteWindows += problems.Incomplete;
  ReportProblems(log_, group, entry, problems);
}

bool TGroupRunner::Cancelled(const TRunLimit& limit) const {
  return stopRequested_.load() ||
         (limit.Kind == TRunLimit::TKind::Immediate && scheduleMode_.load());
}

bool TGroupRunner::Run(config::TPostProcGroupItem& group, const TRunLimit& limit) {
  bool complete = false;
  rolloverReported_ = nullptr;
  try {
    LogRunStart(log_, group);
    // Refused (shown as Error 1501) or no data source: the run goes on over the closed
    // connection, where each entry with a window to compute fails and keeps its progress
    // (counted, and said once at the end), and an entry that is up to date stays complete.
    refusedEntries_ = database_.ConnectDatabase() ? -1 : 0;
    try {
      Session();
      inRun_ = true;
      if (refusedEntries_ < 0) CheckTagForms(group);
      complete = CheckChangeLog(group, limit);
      for (int i = 0; i < static_cast<int>(group.Sensors.size()); ++i) {
        if (Cancelled(limit)) {
          complete = false;
          break;
        }
        complete = ProcessEntry(group, i, limit) && complete;
      }
      complete = session_->batch.Finish() && complete;
      complete = EndChangeLog(group) && complete;
      inRun_ = false;
    } catch (...) {
      inRun_ = false;
      session_.reset();  // rolls back what is not committed
      database_.DisconnectDatabase();
      throw;
    }
    session_.reset();
    database_.DisconnectDatabase();
    if (refusedEntries_ > 0) LogEntriesNotConnected(log_, group, refusedEntries_);
    refusedEntries_ = -1;
    LogRunEnd(log_, group);
  } catch (const std::exception& e) {
    refusedEntries_ = -1;
    LogRunError(log_, e.what());
    complete = false;
  }
  return complete;
}

bool TGroupRunner::ProcessEntry(config::TPostProcGroupItem& group, int index,
                                const TRunLimit& limit) {
  config::TStationSensorInfoItem* entry = nullptr;
  bool reached = false;
  try {
    Session();
    entry = group.Sensors.at(static_cast<size_t>(index)).get();
    reached = WalkEntry(group, *entry, WindowsOf(group, *entry, limit), limit);
  } catch (const std::exception& e) {
    EntryError(entry, e);
    reached = false;
  }
  if (!inRun_ && session_) reached = session_->batch.Finish() && reached;
  return reached;
}

bool TGroupRunner::WalkEntry(config::TPostProcGroupItem& group,
                             config::TStationSensorInfoItem& entry, const TNextWindow& next,
                             const TRunLimit& limit) {
  if (group.IsDelta() && !group.Parameter.empty()) {
    // A configuration error, not one of the readings: no window is computed (none skipped),
    // and the group's run says so once.
    double rollover = 0;
    if (!compute::RolloverConstant(group.Parameter, rollover)) {
      ++counters_.FailedEntries;
      if (rolloverReported_ != &group) {
        rolloverReported_ = &group;
        LogBadRollover(log_, group, entry);
      }
      return false;
    }
  }
  CheckTagForm(group, entry);
  std::vector<store::TWindowSpan> rechecked;
  if (group.RecheckWindows > 0 && entry.LastUpdate > 0) rechecked = RecheckWindowsOf(group, entry);
  TRecheckWalk recheck{rechecked, {}, false};
  std::unique_ptr<compute::TPPDataItem> item;
  // What the rechecked and the new windows' readings held: one report for the entry; the
  // rechecked windows' changes in their own line, also when the walk ends early.
  auto report = [&] {
    if (!recheck.Logged) LogChanges(log_, group, entry, recheck.Counts, "late readings");
    ReportEntry(group, entry, item ? item->Problems : compute::TPPDataItem::TValueProblems{});
  };
  bool reached = false;
  try {
    reached = WalkWindows(group, entry, recheck, next, limit, item);
  } catch (...) {
    report();
    throw;
  }
  report();
  return reached;
}

bool TGroupRunner::CheckWindows(config::TPostProcGroupItem& group,
                                const config::TStationSensorInfoItem& entry,
                                std::span<const store::TWindowSpan> windows,
                                const std::function<bool()>& cancelled, TCheckCounts& counts,
                                compute::TPPDataItem::TValueProblems& problems) {
  TCheckCounts done;
  auto record = [&] { CountChecks(group, done, counts); };
  TCheckFindings findings;
  findings.Rejected = [&](const compute::TPPDataItem& item) {
    LogRejected(log_, group, entry, item);
  };
  bool complete = false;
  try {
    complete = session_->check.Check(group, entry, windows, done, findings, cancelled, windowHook_);
  } catch (...) {
    record();
    problems.Add(findings.Problems);
    throw;
  }
  record();
  problems.Add(findings.Problems);
  return complete;
}

bool TGroupRunner::RecomputeBatch(TRecompute& job, const std::function<bool()>& cancelled) {
  if (job.Done()) return true;
  config::TPostProcGroupItem& group = *job.Group;
  // The entry is done (or failed): its counts go to the request's, and its line to the log.
  auto nextEntry = [&] {
    job.Counts += job.EntryCounts;
    LogChanges(log_, group, *group.Sensors[job.Entry], job.EntryCounts, "recompute");
    ReportEntry(group, *group.Sensors[job.Entry], job.EntryProblems);
    job.EntryCounts = {};
    job.EntryProblems = {};
    ++job.Entry;
    job.Next = 0;
  };
  bool entryDone = false;
  const std::vector<store::TWindowSpan> windows =
      RecomputeWindowsOf(group, job.From, job.To, job.Next, windowsPerRead_, entryDone);
  auto stop = [&] { return stopRequested_.load() || (cancelled && cancelled()); };
  if (stop()) return false;
  database_.ConnectDatabase();  // refused (shown as Error 1501): the entry fails below
  bool complete = true;
  config::TStationSensorInfoItem* entry = group.Sensors[job.Entry].get();
  try {
    Session();
    complete = CheckWindows(group, *entry, windows, stop, job.EntryCounts, job.EntryProblems);
  } catch (const std::exception& e) {
    EntryError(entry, e);
    ++job.FailedEntries;
    nextEntry();
    session_.reset();
    database_.DisconnectDatabase();
    return true;
  }
  session_.reset();
  database_.DisconnectDatabase();
  if (!complete) return false;
  if (entryDone) {
    nextEntry();
  } else {
    job.Next = windows.back().End;
  }
  return true;
}

void TGroupRunner::CheckTagForm(const config::TPostProcGroupItem& group,
                                const config::TStationSensorInfoItem& entry) {
  if (!tagFormsChecked_.emplace(entry.StationID, entry.SensorName).second) return;
  std::string tag;
  try {
    tag = store::UnsortableTimeTag(session_->statements, entry.StationID, entry.SensorName);
  } catch (const database::EDatabaseError&) {
    // The entry's own reads meet the same fault and report it; checked again next run.
    tagFormsChecked_.erase({entry.StationID, entry.SensorName});
    return;
  }
  if (!tag.empty()) LogUnsortableTag(log_, group, entry, tag);
}

void TGroupRunner::CheckTagForms(const config::TPostProcGroupItem& group) {
  if (group.IsDelta() && !group.Parameter.empty()) {
    // A bad roll-over constant fails every entry before its check.
    double rollover = 0;
    if (!compute::RolloverConstant(group.Parameter, rollover)) return;
  }
  std::vector<const config::TStationSensorInfoItem*> entries;
  std::vector<store::TSensorKey> sensors;
  for (const auto& entry : group.Sensors) {
    if (!tagFormsChecked_.emplace(entry->StationID, entry->SensorName).second) continue;
    entries.push_back(entry.get());
    sensors.push_back({entry->StationID, entry->SensorName});
  }
  std::vector<std::string> tags;
  try {
    store::UnsortableTimeTags(session_->statements, sensors, tags);
  } catch (const database::EDatabaseError&) {
    // Those not checked are checked one by one as their entries come.
    for (std::size_t i = tags.size(); i < entries.size(); ++i) {
      tagFormsChecked_.erase({entries[i]->StationID, entries[i]->SensorName});
    }
  }
  for (std::size_t i = 0; i < tags.size(); ++i) {
    if (!tags[i].empty()) LogUnsortableTag(log_, group, *entries[i], tags[i]);
  }
}

bool TGroupRunner::WalkWindows(config::TPostProcGroupItem& group,
                               config::TStationSensorInfoItem& entry, TRecheckWalk& recheck,
                               const TNextWindow& next, const TRunLimit& limit,
                               std::unique_ptr<compute::TPPDataItem>& item) {
  TResultBatch& batch = session_->batch;
  // The reference reads each window by the item's own queries.
  const std::size_t windowsPerRead = eachWindowAlone_ ? 1 : windowsPerRead_;
  // The windows of the next read: the rechecked ones not read yet, then the new ones.
  std::vector<store::TWindowSpan> windows;
  std::size_t checked = 0;                      // leading windows of windows that are rechecked
  std::optional<store::TWindowSpan> following;  // a new window given by next, not taken yet
  std::vector<std::optional<store::TResultValues>> fresh;
  std::unique_ptr<store::TReadingCursor> cursor;
  bool more = true;
  while (true) {
    for (; !recheck.Windows.empty() && windows.size() < windowsPerRead; ++checked) {
      windows.push_back(recheck.Windows.front());
      recheck.Windows = recheck.Windows.subspan(1);
    }
    while (recheck.Windows.empty() && windows.size() < windowsPerRead) {
      if (!following) {
        TWindow w;
        if (!more || !(more = next(w))) break;
        following = store::TWindowSpan{w.Start, w.End};
      }
      // The new windows share a read with the rechecked ones where they continue them.
      if (checked > 0 && common::DateTimeToEpoch(windows.back().End) !=
                             common::DateTimeToEpoch(following->Start)) {
        break;
      }
      windows.push_back(*following);
      following.reset();
    }
    if (windows.empty()) return true;
    if (!item) {
      item = std::make_unique<compute::TPPDataItem>(
          entry.StationID, entry.SensorName, 0, 0, group.DataType, group.Description,
          entry.DataLabel, entry.AltLabel, group.Parameter, group.IsDelta(), group.BoundaryMode);
      item->Rule = CompletenessRuleOf(group);
      cursor = std::make_unique<store::TReadingCursor>(
          session_->statements, *item,
          rowsPerRead_ > 0 ? rowsPerRead_ : store::TReadingCursor::kDefaultMaxRows);
    }
    if (Cancelled(limit)) return false;
    std::size_t complete = eachWindowAlone_ ? 0 : cursor->Load(windows);
    // The first window alone holds more readings than a read takes, or the reference.
    const bool alone = complete == 0;
    if (alone) complete = 1;
    const std::size_t checking = std::min(complete, checked);
    fresh.clear();
    for (std::size_t k = 0; k < complete; ++k) {
      // A read's rechecked windows are compared and written together, uncancelled.
      if (k > 0 && k >= checking && Cancelled(limit)) return false;
      if (windowHook_) windowHook_();
      if (alone) {
        cursor->ReadAlone(windows[0]);
      } else {
        cursor->Fill(k);
      }
      if (k < checking) {
        // A rechecked window is not counted as incomplete again: its changes are said by
        // the entry's "late readings" line.
        const compute::TPPDataItem::TValueProblems& p = item->Problems;
        const long incomplete = p.Incomplete;
        const double low = p.CoverageLow, high = p.CoverageHigh;
        item->Compute(group.FuncName);
        item->Problems.Incomplete = incomplete;
        item->Problems.CoverageLow = low;
        item->Problems.CoverageHigh = high;
        if (!item->Rejection.empty() && !item->Times.empty()) {
          LogRejected(log_, group, entry, *item);
        }
        fresh.push_back(store::ResultOf(*item));
        const bool last = recheck.Windows.empty() && checking == checked;
        if (k + 1 == checking &&
            !CheckRead(group, entry, recheck, std::span(windows).first(checking), fresh, last)) {
          return false;
        }
        continue;
      }
      item->Compute(group.FuncName);
      if (!item->Rejection.empty() && !item->Times.empty()) {
        LogRejected(log_, group, entry, *item);
      }
      if (!batch.Add(group, entry, store::ResultOf(*item), item->EndTime)) return false;
      LogDataFor(log_, entry, *item);
    }
    windows.erase(windows.begin(), windows.begin() + static_cast<std::ptrdiff_t>(complete));
    checked -= checking;
    batch.Send();
    if (batch.Full() && !batch.Commit()) return false;
  }
}

void TGroupRunner::CountChecks(config::TPostProcGroupItem& group, const TCheckCounts& done,
                               TCheckCounts& counts) {
  rechecked_ += done.Windows;
  changedRows_ += done.Changed();
  group.RecheckedWindows += done.Windows;
  group.ChangedRows += done.Changed();
  counts += done;
}

bool TGroupRunner::CheckRead(config::TPostProcGroupItem& group,
                             const config::TStationSensorInfoItem& entry, TRecheckWalk& recheck,
                             std::span<const store::TWindowSpan> windows,
                             std::span<const std::optional<store::TResultValues>> fresh,
                             bool last) {
  TCheckCounts done;
  const bool written = session_->check.Apply(group, entry, windows, fresh, done);
  CountChecks(group, done, recheck.Counts);
  if (!written) return false;
  if (last) {
    LogChanges(log_, group, entry, recheck.Counts, "late readings");
    recheck.Logged = true;
  }
  return true;
}

}  // namespace vnpp::processing
