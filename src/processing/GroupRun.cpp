#include "processing/GroupRun.h"

#include <cmath>
#include <cstdio>
#include <exception>

#include "common/Log.h"
#include "common/Regional.h"
#include "common/Text.h"
#include "compute/PPDataItem.h"
#include "compute/ReadingCursor.h"
#include "compute/ResultWriter.h"
#include "config/Configuration.h"
#include "config/PScan.h"
#include "database/Database.h"
#include "processing/BackgroundWriter.h"
#include "processing/Calendar.h"

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

}  // namespace

// The prepared statements live as long as one connection: from the connect at the start
// of a run to the disconnect at its end.
class TGroupRunner::TStatementsHolder {
 public:
  explicit TStatementsHolder(database::TConnection& connection)
      : connection(connection), statements(connection), writer(statements) {}
  database::TConnection& connection;
  compute::TPPStatements statements;
  compute::TResultWriter writer;
  // PostgreSQL: the results go through a second connection (see Background).
  std::unique_ptr<TBackgroundWriter> background;
  bool backgroundTried = false;
};

// The computed windows of one entry whose results are not committed yet.
struct TGroupRunner::TPendingEntry {
  config::TStationSensorInfoItem* Entry = nullptr;
  compute::TResultKey Key;
  std::vector<compute::TResultValues> Rows;  // in window order
  // For each row: the entry's progress when that row cannot be stored.
  std::vector<common::TDateTime> ProgressBefore;
  // For each row: windows computed before it (those kept when that row cannot be stored).
  std::vector<long> WindowsBefore;
  std::size_t Sent = 0;            // rows sent within the open transaction
  common::TDateTime Progress = 0;  // end of the last window computed
  long Windows = 0;                // windows computed, counted once their progress is kept
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

TGroupRunner::~TGroupRunner() {
  // Results not committed are dropped with their progress, which was never written.
  if (statements_) statements_->connection.Rollback();
}

void TGroupRunner::LogError(const std::string& message) {
  log_.QueueMessage(std::string(common::kMsgErrorPrefix) + message);
}

void TGroupRunner::EntryFailed(const std::string& message) {
  ++failedEntries_;
  LogError(message);
}

void TGroupRunner::EntryError(const config::TStationSensorInfoItem* entry,
                              const std::exception& e) {
  if (dynamic_cast<const database::EDatabaseError*>(&e) != nullptr) Recover(entry);
  EntryFailed(e.what());
}

template <typename Walk>
bool TGroupRunner::Run(config::TPostProcGroupItem& group, Walk walk) {
  bool complete = false;
  rolloverReported_ = nullptr;
  try {
    if (log_.LogDetail() >= 1) {
      log_.QueueMessage(config::FormatText(
          common::kMsgRetrieveData,
          {std::to_string(group.GroupNumber), common::UpperAscii(group.FuncName)}));
    }
    database_.ConnectDatabase(database::kSessionName);
    try {
      statements_ = std::make_unique<TStatementsHolder>(database_.Connection());
      inRun_ = true;
      complete = walk();
      complete = Settle() && complete;
      inRun_ = false;
    } catch (...) {
      inRun_ = false;
      pending_.clear();
      if (statements_) statements_->connection.Rollback();
      statements_.reset();
      database_.DisconnectDatabase();
      throw;
    }
    statements_.reset();
    database_.DisconnectDatabase();
    if (log_.LogDetail() >= 2) {
      log_.QueueMessage(config::FormatText(common::kMsgFinished, {group.FuncName}));
    }
  } catch (const std::exception& e) {
    LogError(e.what());
    complete = false;
  }
  return complete;
}

bool TGroupRunner::RunGroup(config::TPostProcGroupItem& group) {
  return Run(group, [&] {
    bool complete = true;
    for (int i = 0; i < static_cast<int>(group.Sensors.size()); ++i) {
      if (stopRequested_.load()) return false;
      complete = ProcessSensor(group, i) && complete;
    }
    return complete;
  });
}

bool TGroupRunner::RunGroupNow(config::TPostProcGroupItem& group, common::TDateTime now) {
  return Run(group, [&] {
    bool complete = true;
    for (int i = 0; i < static_cast<int>(group.Sensors.size()); ++i) {
      if (stopRequested_.load() || scheduleMode_.load()) return false;
      complete = ProcessSensorNow(group, i, now) && complete;
    }
    return complete;
  });
}

config::TStationSensorInfoItem& TGroupRunner::EntryAt(config::TPostProcGroupItem& group,
                                                      int index) {
  // Outside a run (a caller processing one entry) the statements go to the connection as it
  // stands.
  if (!statements_) statements_ = std::make_unique<TStatementsHolder>(database_.Connection());
  return *group.Sensors.at(static_cast<size_t>(index));
}

bool TGroupRunner::ProcessSensor(config::TPostProcGroupItem& group, int index) {
  config::TStationSensorInfoItem* entry = nullptr;
  bool reached = false;
  try {
    entry = &EntryAt(group, index);
    common::TDateTime from = entry->LastUpdate;
    if (from == 0 || from > group.WindowStart) from = group.WindowStart;
    // Window ends are compared in whole seconds: two date-time values of one instant may
    // differ in their last bits.
    const common::EpochSeconds last = common::DateTimeToEpoch(group.WindowStart);
    bool done = false;
    const TNextWindow next = [&](TWindow& out) {
      if (done) return false;
      const std::optional<TWindow> w = WindowFor(group.TypeInterval, from, group.Interval);
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
    reached = WalkEntry(group, *entry, next, [this] { return stopRequested_.load(); });
  } catch (const std::exception& e) {
    EntryError(entry, e);
    reached = false;
  }
  if (!inRun_) reached = Settle() && reached;
  return reached;
}

bool TGroupRunner::ProcessSensorNow(config::TPostProcGroupItem& group, int index,
                                    common::TDateTime now) {
  config::TStationSensorInfoItem* entry = nullptr;
  bool reached = false;
  try {
    entry = &EntryAt(group, index);
    // A group never scheduled has WindowStart 0 and so processes nothing here.
    if (group.WindowStart != 0) {
      common::TDateTime from = entry->LastUpdate;
      if (from == 0 || from > group.WindowStart) from = group.WindowStart;
      const std::optional<TWindow> limitWindow = WindowFor(group.TypeInterval, now, group.Interval);
      std::optional<TWindow> w = WindowFor(group.TypeInterval, from, group.Interval);
      const common::EpochSeconds limit =
          limitWindow ? common::DateTimeToEpoch(limitWindow->Start) : 0;
      if (!limitWindow) w.reset();
      const TNextWindow next = [&](TWindow& out) {
        if (!w || common::DateTimeToEpoch(w->End) >= limit) return false;
        out = *w;
        w = WindowFor(group.TypeInterval, w->End, group.Interval);
        return true;
      };
      reached = WalkEntry(group, *entry, next,
                          [this] { return stopRequested_.load() || scheduleMode_.load(); });
    } else {
      reached = true;
    }
  } catch (const std::exception& e) {
    EntryError(entry, e);
    reached = false;
  }
  if (!inRun_) reached = Settle() && reached;
  return reached;
}

bool TGroupRunner::WalkEntry(config::TPostProcGroupItem& group,
                             config::TStationSensorInfoItem& entry, const TNextWindow& next,
                             const std::function<bool()>& cancelled) {
  if (group.IsDelta() && !group.Parameter.empty()) {
    // A configuration error, not one of the readings: no window is computed (none skipped),
    // and the group's run says so once.
    double rollover = 0;
    if (!compute::RolloverConstant(group.Parameter, rollover)) {
      ++failedEntries_;
      if (rolloverReported_ != &group) {
        rolloverReported_ = &group;
        LogError(config::FormatText(
            kMsgBadRollover, {std::to_string(group.GroupNumber), group.SectionName, group.Parameter,
                              entry.StationID + "." + entry.SensorName}));
      }
      return false;
    }
  }
  compute::TPPDataItem::TValueProblems problems;
  bool reached = true;
  if (!windowAtATime_) {
    reached = WalkEntryBatched(group, entry, next, cancelled, problems);
  } else {
    TWindow w;
    while (reached && next(w)) {
      if (cancelled()) {
        reached = false;
        break;
      }
      ProcessWindow(group, entry, w, problems);
    }
  }
  ReportProblems(group, entry, problems);
  return reached;
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
    log_.QueueMessage(config::FormatText(
        kMsgValuesMissing,
        {number, entry.StationID, entry.SensorName, std::to_string(p.NonFinite + p.NotNumber),
         std::to_string(p.NonFinite), std::to_string(p.NotNumber), example}));
  }
  if (p.Misplaced > 0) {
    log_.QueueMessage(config::FormatText(
        kMsgMisplaced, {number, entry.StationID, entry.SensorName, std::to_string(p.Misplaced),
                        common::FormatDateTimeText(p.MisplacedTime)}));
  }
}

void TGroupRunner::LogRejected(const config::TPostProcGroupItem& group,
                               const config::TStationSensorInfoItem& entry,
                               const compute::TPPDataItem& item) {
  LogError(config::FormatText(kMsgWindowRejected,
                              {std::to_string(group.GroupNumber), entry.StationID, entry.SensorName,
                               FormatWindowStart(item.StartTime), item.Rejection}));
}

bool TGroupRunner::WalkEntryBatched(config::TPostProcGroupItem& group,
                                    config::TStationSensorInfoItem& entry, const TNextWindow& next,
                                    const std::function<bool()>& cancelled,
                                    compute::TPPDataItem::TValueProblems& problems) {
  std::vector<compute::TWindowSpan> windows;
  std::unique_ptr<compute::TPPDataItem> item;
  std::unique_ptr<compute::TReadingCursor> cursor;
  // What the readings held is reported however the walk ends.
  struct TKeepProblems {
    std::unique_ptr<compute::TPPDataItem>& item;
    compute::TPPDataItem::TValueProblems& out;
    ~TKeepProblems() {
      if (item) std::swap(out, item->Problems);
    }
  } keepProblems{item, problems};
  bool more = true;
  while (true) {
    for (TWindow w; more && windows.size() < windowsPerRead_;) {
      more = next(w);
      if (more) windows.push_back({w.Start, w.End});
    }
    if (windows.empty()) return true;
    if (!item) {
      item = std::make_unique<compute::TPPDataItem>(
          entry.StationID, entry.SensorName, 0, 0, group.DataType, group.Description,
          entry.DataLabel, entry.AltLabel, group.Parameter, group.IsDelta(), group.BoundaryMode);
      cursor = std::make_unique<compute::TReadingCursor>(
          statements_->statements, *item,
          rowsPerRead_ > 0 ? rowsPerRead_ : compute::TReadingCursor::kDefaultMaxRows);
    }
    if (cancelled()) return false;
    std::size_t complete = cursor->Load(windows);
    const bool alone = complete == 0;  // one window holds more readings than a read takes
    if (alone) complete = 1;
    for (std::size_t k = 0; k < complete; ++k) {
      if (k > 0 && cancelled()) return false;
      if (windowHook_) windowHook_();
      if (alone) {
        cursor->ReadAlone(windows[0]);
      } else {
        cursor->Fill(k);
      }
      item->Compute(group.FuncName);
      if (pending_.empty() || pending_.back()->Entry != &entry || pendingGroup_ != &group) {
        if (pendingGroup_ != &group && !pending_.empty() && !Settle()) return false;
        auto p = std::make_unique<TPendingEntry>();
        p->Entry = &entry;
        p->Key = {entry.StationID, entry.DataLabel, group.FuncName, entry.SensorName,
                  entry.AltLabel};
        p->Progress = entry.LastUpdate;
        pending_.push_back(std::move(p));
        pendingGroup_ = &group;
      }
      TPendingEntry& p = *pending_.back();
      if (!item->Rejection.empty() && !item->Times.empty()) LogRejected(group, entry, *item);
      if (item->HasResult()) {
        p.Rows.push_back({item->StartTime, item->EndTime, item->PPValue, item->HasValueTime,
                          item->ValueTime, item->ProcessTime});
        p.ProgressBefore.push_back(p.Progress);
        p.WindowsBefore.push_back(p.Windows);
      }
      if (log_.LogDetail() >= 2) {
        log_.QueueMessage(config::FormatText(
            common::kMsgDataFor,
            {entry.StationID, entry.SensorName, FormatWindowStart(item->StartTime),
             FormatResultValue(item->PPValue)}));
      }
      p.Progress = item->EndTime;
      ++p.Windows;
      ++windowsSinceCommit_;
    }
    windows.erase(windows.begin(), windows.begin() + static_cast<std::ptrdiff_t>(complete));
    SendPending();
    if (windowsSinceCommit_ >= kWindowsPerCommit && !Settle()) return false;
  }
}

TBackgroundWriter* TGroupRunner::Background() {
  TStatementsHolder& h = *statements_;
  if (!h.backgroundTried) {
    h.backgroundTried = true;
    // Only where reading and writing at once pays and is safe: a SQLite reader would hold
    // off the writer's commit.
    if (h.statements.UpsertDialect() == compute::TUpsertDialect::PostgreSQL) {
      try {
        auto second = std::make_unique<database::TConnection>();
        second->Open(database_.DataSource, database_.UserName, database_.Password);
        h.background = std::make_unique<TBackgroundWriter>(std::move(second));
      } catch (const database::EDatabaseError&) {
        // No second connection (a connection limit, say): the results go the first one.
      }
    }
  }
  return h.background.get();
}

database::TConnection& TGroupRunner::WriteConnection() {
  TBackgroundWriter* background = statements_->background.get();
  return background != nullptr ? background->Connection() : statements_->connection;
}

compute::TResultWriter& TGroupRunner::ResultWriter() {
  TBackgroundWriter* background = statements_->background.get();
  return background != nullptr ? background->Writer() : statements_->writer;
}

void TGroupRunner::SendPending() {
  for (const std::unique_ptr<TPendingEntry>& p : pending_) {
    if (p->Sent == p->Rows.size()) continue;
    if (TBackgroundWriter* background = Background()) {
      background->Write(p->Key,
                        std::vector<compute::TResultValues>(
                            p->Rows.begin() + static_cast<std::ptrdiff_t>(p->Sent), p->Rows.end()));
    } else {
      statements_->statements.BeginTransaction();
      statements_->writer.Write(p->Key, std::span(p->Rows).subspan(p->Sent));
    }
    p->Sent = p->Rows.size();
  }
}

bool TGroupRunner::Settle() {
  if (pending_.empty()) {
    windowsSinceCommit_ = 0;
    return true;
  }
  try {
    SendPending();
    if (TBackgroundWriter* background = statements_->background.get()) background->Wait();
    WriteConnection().Commit();
  } catch (const database::EDatabaseError&) {
    // Whatever cannot be stored on its own is logged with its entry there.
    return Recover(nullptr);
  }
  return WriteProgress();
}

bool TGroupRunner::Recover(const config::TStationSensorInfoItem* failing) {
  if (!statements_) return WriteProgress();
  if (TBackgroundWriter* background = statements_->background.get()) {
    try {
      background->Wait();
    } catch (const database::EDatabaseError&) {
      // Found again below, with its entry, when that row is stored on its own.
    }
  }
  WriteConnection().Rollback();
  bool complete = true;
  for (const std::unique_ptr<TPendingEntry>& p : pending_) {
    for (std::size_t i = 0; i < p->Rows.size(); ++i) {
      try {
        ResultWriter().WriteOne(p->Key, p->Rows[i]);
      } catch (const std::exception& e) {
        // The entry stops before the window that cannot be stored, as if it had failed there.
        p->Progress = p->ProgressBefore[i];
        p->Windows = p->WindowsBefore[i];
        if (p->Entry != failing) EntryFailed(e.what());
        complete = false;
        break;
      }
    }
  }
  return WriteProgress() && complete;
}

bool TGroupRunner::WriteProgress() {
  std::vector<const config::TStationSensorInfoItem*> changed;
  for (const std::unique_ptr<TPendingEntry>& p : pending_) {
    windows_ += p->Windows;
    if (p->Progress == p->Entry->LastUpdate) continue;
    p->Entry->LastUpdate = p->Progress;
    changed.push_back(p->Entry);
  }
  config::TPostProcGroupItem* group = pendingGroup_;
  pending_.clear();
  pendingGroup_ = nullptr;
  windowsSinceCommit_ = 0;
  if (changed.empty() || group == nullptr || !config_.IsConfigFileOpen()) return true;
  try {
    config_.WritePollUpdates(*group, changed);
    return true;
  } catch (const std::exception& e) {
    // The results are stored; the file lags behind them and the next run computes those
    // windows again.
    failedEntries_ += static_cast<long>(changed.size());
    LogError(e.what());
    return false;
  }
}

void TGroupRunner::ProcessWindow(config::TPostProcGroupItem& group,
                                 config::TStationSensorInfoItem& entry, const TWindow& window,
                                 compute::TPPDataItem::TValueProblems& problems) {
  if (windowHook_) windowHook_();
  compute::TPPDataItem item(entry.StationID, entry.SensorName, window.Start, window.End,
                            group.DataType, group.Description, entry.DataLabel, entry.AltLabel,
                            group.Parameter, group.IsDelta(), group.BoundaryMode);
  item.RetrieveData(statements_->statements);
  problems.NonFinite += item.Problems.NonFinite;
  if (problems.NotNumber == 0 && item.Problems.NotNumber > 0) {
    problems.Example = item.Problems.Example;
    problems.ExampleTime = item.Problems.ExampleTime;
  }
  problems.NotNumber += item.Problems.NotNumber;
  if (problems.Misplaced == 0 && item.Problems.Misplaced > 0) {
    problems.MisplacedTime = item.Problems.MisplacedTime;
  }
  problems.Misplaced += item.Problems.Misplaced;
  item.Compute(group.FuncName);
  if (!item.Rejection.empty() && !item.Times.empty()) LogRejected(group, entry, item);
  item.StoreResult(statements_->statements);
  ++windows_;
  if (log_.LogDetail() >= 2) {
    log_.QueueMessage(config::FormatText(
        common::kMsgDataFor, {entry.StationID, entry.SensorName, FormatWindowStart(window.Start),
                              FormatResultValue(item.PPValue)}));
  }
  entry.LastUpdate = window.End;
  if (config_.IsConfigFileOpen()) config_.WritePollUpdate(group, entry);
}

}  // namespace vnpp::processing
