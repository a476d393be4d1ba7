#include "processing/GroupRun.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>

#include "common/Log.h"
#include "common/PScan.h"
#include "common/Regional.h"
#include "common/Text.h"
#include "compute/PPDataItem.h"
#include "config/Configuration.h"
#include "database/Database.h"
#include "processing/Calendar.h"
#include "store/ReadingCursor.h"
#include "store/ResultWriter.h"

namespace vnpp::processing {
namespace {

// A window whose result is not stored: the entry, the window and the reason.
constexpr const char* kMsgWindowRejected =
    "PollGroup %p: %p.%p, window %p: %p Nothing is stored for this window.";
// A DELTA group whose roll-over constant is no number: once per run.
constexpr const char* kMsgBadRollover =
    "DELTA - Unable to convert parameter string to RolloverConstant. PollGroup %p (%p), "
    "Parameter \"%p\": its entries, %p first, stay where they are.";
constexpr const char* kMsgValuesMissing =
    "PollGroup %p: %p.%p: %p readings taken as missing: %p not finite, %p not a number%p.";
constexpr const char* kMsgMisplaced =
    "PollGroup %p: %p.%p: %p readings left out: the database does not sort their time tag as "
    "a time (the first at %p). Store TIME_TAG as a time stamp, or in SQLite as text "
    "\"YYYY-MM-DD HH:MM:SS[.fff]\".";
constexpr const char* kMsgUnsortableTag =
    "PollGroup %p: %p.%p: readings with time tags such as \"%p\" are in no window: the database "
    "does not sort that form as a time. Store TIME_TAG as a time stamp, or in SQLite as text "
    "\"YYYY-MM-DD HH:MM:SS[.fff]\".";
// Windows computed again whose stored rows changed: the cause, the counts and the entry.
constexpr const char* kMsgRowsChanged =
    "PollGroup %p: %p changed %p windows of %p.%p (%p updated, %p inserted, %p deleted)";

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

// The prepared statements and the result batch live as long as one connection: from the
// connect at the start of a run to the disconnect at its end.
class TGroupRunner::TSession {
 public:
  TSession(database::TConnection& connection, database::TDatabase& database,
           config::TConfiguration& config, common::ILog& log, TRunCounters& counters,
           TResultBatch::TMode mode)
      : statements(connection),
        batch(connection, statements, database, config, log, counters, mode),
        check(connection, statements, batch) {}
  store::TPPStatements statements;
  TResultBatch batch;  // declared after the statements it writes with
  TWindowCheck check;  // and after the batch it commits
};

std::string FormatWindowStart(common::TDateTime start) {
  const common::TDateTimeParts p = common::DecodeDateTime(start);
  std::string text = common::FormatDateTimeText(start);
  if (p.Hour == 0 && p.Minute == 0 && p.Second == 0 && p.Millisecond == 0) {
    text.resize(10);  // the date part "mm/dd/yyyy"
  }
  return text;
}

std::string FormatResultValue(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15G", value);
  std::string text = buf;
  // "1.5E+20" -> "1.5E20", "1E-05" -> "1E-5"
  const size_t e = text.find('E');
  if (e != std::string::npos) {
    std::string mantissa = text.substr(0, e);
    std::string exponent = text.substr(e + 1);
    std::string sign;
    if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
      if (exponent[0] == '-') sign = "-";
      exponent.erase(0, 1);
    }
    while (exponent.size() > 1 && exponent[0] == '0') exponent.erase(0, 1);
    text = mantissa + "E" + sign + exponent;
  }
  const char dec = common::Regional().DecimalSeparator;
  if (dec != '.') {
    for (char& c : text) {
      if (c == '.') c = dec;
    }
  }
  return text;
}

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
    session_ = std::make_unique<TSession>(
        database_.Connection(), database_, config_, log_, counters_,
        windowAtATime_ ? TResultBatch::TMode::WindowAtATime : TResultBatch::TMode::Batched);
    session_->check.SetReadLimits(windowAtATime_ ? 1 : windowsPerRead_, rowsPerRead_);
  }
  return *session_;
}

void TGroupRunner::EntryError(const config::TStationSensorInfoItem* entry,
                              const std::exception& e) {
  if (dynamic_cast<const database::EDatabaseError*>(&e) != nullptr) {
    ++counters_.DatabaseErrors;
    if (session_) session_->batch.Recover(entry);
  }
  EntryFailed(log_, counters_, e.what());
}

bool TGroupRunner::Cancelled(const TRunLimit& limit) const {
  return stopRequested_.load() ||
         (limit.Kind == TRunLimit::TKind::Immediate && scheduleMode_.load());
}

bool TGroupRunner::Run(config::TPostProcGroupItem& group, const TRunLimit& limit) {
  bool complete = false;
  rolloverReported_ = nullptr;
  try {
    if (log_.LogDetail() >= 1) {
      log_.QueueMessage(common::FormatText(
          common::kMsgRetrieveData,
          {std::to_string(group.GroupNumber), common::UpperAscii(group.FuncName)}));
    }
    if (!database_.ConnectDatabase(database::kSessionName)) {
      // Refused (shown as Error 1501) or no data source: the run goes on over the closed
      // connection, where each entry with a window to compute fails once and keeps its
      // progress, and an entry that is up to date stays complete.
    }
    try {
      Session();
      inRun_ = true;
      complete = true;
      for (int i = 0; i < static_cast<int>(group.Sensors.size()); ++i) {
        if (Cancelled(limit)) {
          complete = false;
          break;
        }
        complete = ProcessEntry(group, i, limit) && complete;
      }
      complete = session_->batch.Finish() && complete;
      inRun_ = false;
    } catch (...) {
      inRun_ = false;
      session_.reset();  // rolls back what is not committed
      database_.DisconnectDatabase();
      throw;
    }
    session_.reset();
    database_.DisconnectDatabase();
    if (log_.LogDetail() >= 2) {
      log_.QueueMessage(common::FormatText(common::kMsgFinished, {group.FuncName}));
    }
  } catch (const std::exception& e) {
    LogRunError(log_, e.what());
    complete = false;
  }
  return complete;
}

TGroupRunner::TNextWindow TGroupRunner::WindowsOf(const config::TPostProcGroupItem& group,
                                                  const config::TStationSensorInfoItem& entry,
                                                  const TRunLimit& limit) const {
  common::TDateTime from = entry.LastUpdate;
  if (from == 0 || from > group.WindowStart) from = group.WindowStart;
  const int type = group.TypeInterval;
  const common::TDateTime interval = group.Interval;
  if (limit.Kind == TRunLimit::TKind::Scheduled) {
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
        LogRunError(
            log_, common::FormatText(kMsgBadRollover,
                                     {std::to_string(group.GroupNumber), group.SectionName,
                                      group.Parameter, entry.StationID + "." + entry.SensorName}));
      }
      return false;
    }
  }
  CheckTagForm(group, entry);
  if (group.RecheckWindows > 0 && entry.LastUpdate > 0) {
    const std::vector<store::TWindowSpan> windows = RecheckWindowsOf(group, entry);
    TCheckCounts counts;
    bool complete = false;
    try {
      complete = CheckWindows(
          group, entry, windows, [&] { return Cancelled(limit); }, counts);
    } catch (...) {
      LogChanges(group, entry, counts, "late readings");
      throw;
    }
    LogChanges(group, entry, counts, "late readings");
    if (!complete) return false;
  }
  std::unique_ptr<compute::TPPDataItem> item;
  bool reached = false;
  try {
    reached = WalkWindows(group, entry, next, limit, item);
  } catch (...) {
    if (item) ReportProblems(group, entry, item->Problems);
    throw;
  }
  if (item) ReportProblems(group, entry, item->Problems);
  return reached;
}

std::vector<store::TWindowSpan> TGroupRunner::RecheckWindowsOf(
    const config::TPostProcGroupItem& group, const config::TStationSensorInfoItem& entry) const {
  const int type = group.TypeInterval;
  const common::EpochSeconds last = common::DateTimeToEpoch(entry.LastUpdate);
  common::TDateTime from = entry.LastUpdate;
  for (int n = 0; n < group.RecheckWindows; ++n) {
    const std::optional<TWindow> w = WindowBefore(type, from, group.Interval);
    if (!w || common::DateTimeToEpoch(w->Start) >= common::DateTimeToEpoch(from)) break;
    from = w->Start;
  }
  std::optional<TWindow> w = WindowFor(type, from, group.Interval);
  return WindowsUpTo(type, group.Interval, w, last, static_cast<std::size_t>(group.RecheckWindows));
}

bool TGroupRunner::CheckWindows(config::TPostProcGroupItem& group,
                                const config::TStationSensorInfoItem& entry,
                                std::span<const store::TWindowSpan> windows,
                                const std::function<bool()>& cancelled, TCheckCounts& counts) {
  TCheckCounts done;
  auto record = [&] {
    rechecked_ += done.Windows;
    changedRows_ += done.Changed();
    group.RecheckedWindows += done.Windows;
    group.ChangedRows += done.Changed();
    counts += done;
  };
  bool complete = false;
  try {
    complete = session_->check.Check(group, entry, windows, done, cancelled, windowHook_);
  } catch (...) {
    record();
    throw;
  }
  record();
  return complete;
}

void TGroupRunner::LogChanges(const config::TPostProcGroupItem& group,
                              const config::TStationSensorInfoItem& entry,
                              const TCheckCounts& counts, const char* what) {
  if (counts.Changed() == 0 || log_.LogDetail() < 1) return;
  log_.QueueMessage(common::FormatText(
      kMsgRowsChanged, {std::to_string(group.GroupNumber), what, std::to_string(counts.Changed()),
                        entry.StationID, entry.SensorName, std::to_string(counts.Updated),
                        std::to_string(counts.Inserted), std::to_string(counts.Deleted)}));
}

bool TGroupRunner::RecomputeBatch(TRecompute& job, const std::function<bool()>& cancelled) {
  if (job.Done()) return true;
  config::TPostProcGroupItem& group = *job.Group;
  // The entry is done (or failed): its counts go to the request's, and its line to the log.
  auto nextEntry = [&] {
    job.Counts += job.EntryCounts;
    LogChanges(group, *group.Sensors[job.Entry], job.EntryCounts, "recompute");
    job.EntryCounts = {};
    ++job.Entry;
    job.Next = 0;
  };
  // Never a window that has not ended yet.
  const common::EpochSeconds to =
      std::min(common::DateTimeToEpoch(job.To), static_cast<common::EpochSeconds>(NowEpoch()));
  const common::EpochSeconds from = common::DateTimeToEpoch(job.From);
  std::optional<TWindow> w =
      WindowFor(group.TypeInterval, job.Next != 0 ? job.Next : job.From, group.Interval);
  // A week or a month holds the time it is given: it begins before the range.
  if (w && common::DateTimeToEpoch(w->Start) < from) {
    w = WindowFor(group.TypeInterval, w->End, group.Interval);
  }
  const std::vector<store::TWindowSpan> windows =
      WindowsUpTo(group.TypeInterval, group.Interval, w, to, windowsPerRead_);
  const bool entryDone = !w || common::DateTimeToEpoch(w->End) > to;
  auto stop = [&] { return stopRequested_.load() || (cancelled && cancelled()); };
  if (stop()) return false;
  if (!database_.ConnectDatabase(database::kSessionName)) {
    // Refused (shown as Error 1501): the entry fails at its first query below.
  }
  bool complete = true;
  config::TStationSensorInfoItem* entry = group.Sensors[job.Entry].get();
  try {
    Session();
    complete = CheckWindows(group, *entry, windows, stop, job.EntryCounts);
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

void TGroupRunner::ReportProblems(const config::TPostProcGroupItem& group,
                                  const config::TStationSensorInfoItem& entry,
                                  const compute::TPPDataItem::TValueProblems& p) {
  const std::string number = std::to_string(group.GroupNumber);
  if (p.NonFinite + p.NotNumber > 0) {
    std::string example;
    if (p.NotNumber > 0) {
      example =
          ", for example \"" + p.Example + "\" at " + common::FormatDateTimeText(p.ExampleTime);
    }
    log_.QueueMessage(common::FormatText(
        kMsgValuesMissing,
        {number, entry.StationID, entry.SensorName, std::to_string(p.NonFinite + p.NotNumber),
         std::to_string(p.NonFinite), std::to_string(p.NotNumber), example}));
  }
  if (p.Misplaced > 0) {
    log_.QueueMessage(common::FormatText(
        kMsgMisplaced, {number, entry.StationID, entry.SensorName, std::to_string(p.Misplaced),
                        common::FormatDateTimeText(p.MisplacedTime)}));
  }
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
  if (tag.empty()) return;
  log_.QueueMessage(common::FormatText(
      kMsgUnsortableTag,
      {std::to_string(group.GroupNumber), entry.StationID, entry.SensorName, tag}));
}

void TGroupRunner::LogRejected(const config::TPostProcGroupItem& group,
                               const config::TStationSensorInfoItem& entry,
                               const compute::TPPDataItem& item) {
  LogRunError(log_, common::FormatText(
                        kMsgWindowRejected,
                        {std::to_string(group.GroupNumber), entry.StationID, entry.SensorName,
                         FormatWindowStart(item.StartTime), item.Rejection}));
}

bool TGroupRunner::WalkWindows(config::TPostProcGroupItem& group,
                               config::TStationSensorInfoItem& entry, const TNextWindow& next,
                               const TRunLimit& limit,
                               std::unique_ptr<compute::TPPDataItem>& item) {
  TResultBatch& batch = session_->batch;
  // The reference reads each window by the item's own queries.
  const std::size_t windowsPerRead = windowAtATime_ ? 1 : windowsPerRead_;
  std::vector<store::TWindowSpan> windows;
  std::unique_ptr<store::TReadingCursor> cursor;
  bool more = true;
  while (true) {
    for (TWindow w; more && windows.size() < windowsPerRead;) {
      more = next(w);
      if (more) windows.push_back({w.Start, w.End});
    }
    if (windows.empty()) return true;
    if (!item) {
      item = std::make_unique<compute::TPPDataItem>(
          entry.StationID, entry.SensorName, 0, 0, group.DataType, group.Description,
          entry.DataLabel, entry.AltLabel, group.Parameter, group.IsDelta(), group.BoundaryMode);
      cursor = std::make_unique<store::TReadingCursor>(
          session_->statements, *item,
          rowsPerRead_ > 0 ? rowsPerRead_ : store::TReadingCursor::kDefaultMaxRows);
    }
    if (Cancelled(limit)) return false;
    std::size_t complete = windowAtATime_ ? 0 : cursor->Load(windows);
    // The first window alone holds more readings than a read takes, or the reference.
    const bool alone = complete == 0;
    if (alone) complete = 1;
    for (std::size_t k = 0; k < complete; ++k) {
      if (k > 0 && Cancelled(limit)) return false;
      if (windowHook_) windowHook_();
      if (alone) {
        cursor->ReadAlone(windows[0]);
      } else {
        cursor->Fill(k);
      }
      item->Compute(group.FuncName);
      if (!item->Rejection.empty() && !item->Times.empty()) LogRejected(group, entry, *item);
      std::optional<store::TResultValues> row;
      if (item->HasResult()) {
        row = store::TResultValues{item->StartTime,    item->EndTime,   item->PPValue,
                                   item->HasValueTime, item->ValueTime, item->ProcessTime};
      }
      if (!batch.Add(group, entry, row, item->EndTime)) return false;
      if (log_.LogDetail() >= 2) {
        log_.QueueMessage(common::FormatText(
            common::kMsgDataFor,
            {entry.StationID, entry.SensorName, FormatWindowStart(item->StartTime),
             FormatResultValue(item->PPValue)}));
      }
    }
    windows.erase(windows.begin(), windows.begin() + static_cast<std::ptrdiff_t>(complete));
    batch.Send();
    if (batch.Full() && !batch.Commit()) return false;
  }
}

}  // namespace vnpp::processing
