#include "processing/ProcessThread.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <utility>

#include "common/Clock.h"
#include "common/Log.h"
#include "common/PScan.h"
#include "config/Configuration.h"
#include "database/Database.h"
#include "processing/Schedule.h"

namespace vnpp::processing {

TProcessThread::TProcessThread(config::TConfiguration& config, database::TDatabase& database,
                               common::ILog& log, IStatusSink& status,
                               common::AutoResetEvent& wakeEvent, TProcessEvents events,
                               std::atomic<std::int64_t>* heartbeat)
    : config_(config),
      database_(database),
      log_(log),
      status_(status),
      wakeEvent_(wakeEvent),
      events_(std::move(events)),
      heartbeat_(heartbeat),
      runner_(config, database, log, StopRequested, ScheduleMode),
      queue_(20, 20) {
  runner_.SetWindowHook([this] { Beat(); });
}

void TProcessThread::Beat() {
  if (heartbeat_ != nullptr) heartbeat_->store(common::SteadyNanoseconds());
  if (running_ != nullptr) ReportProgress();
}

TProcessThread::~TProcessThread() {
  if (thread_.joinable()) {
    // Never reached when the owner keeps the contract; a running thread must not be
    // destroyed under it.
    RequestStop();
    wakeEvent_.Set();
    thread_.join();
  }
}

void TProcessThread::Start() {
  thread_ = std::thread([this] { Execute(); });
}

void TProcessThread::Join() {
  if (thread_.joinable()) thread_.join();
}

bool TProcessThread::JoinFor(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // finished_ is set as the last step of the main procedure; what follows it returns at once.
  while (thread_.joinable() && !finished_.load()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Join();
  return true;
}

void TProcessThread::AddDemand(config::TPostProcGroupItem* group, bool catchUp) {
  common::MutexLock lock(demandLock_);
  DemandList.push_back({group, catchUp});
  ScheduleMode.store(false);
}

void TProcessThread::ClearDemand() {
  common::MutexLock lock(demandLock_);
  DemandList.clear();
  for (TRecompute& job : Recomputes) droppedRecomputes_.push_back(std::move(job));
  Recomputes.clear();
  recomputeDropped_.store(true);
  ScheduleMode.store(true);
}

std::uint64_t TProcessThread::AddRecompute(config::TPostProcGroupItem* group,
                                           common::TDateTime from, common::TDateTime to) {
  // Ids go on across threads: a client waiting for one never takes the report of a request
  // made to a thread started later.
  static std::atomic<std::uint64_t> lastRequestId{0};
  common::MutexLock lock(demandLock_);
  if (recomputesClosed_) return 0;
  TRecompute job;
  job.RequestId = ++lastRequestId;
  job.Group = group;
  job.From = from;
  job.To = to;
  const std::uint64_t id = job.RequestId;
  Recomputes.push_back(std::move(job));
  return id;
}

void TProcessThread::ReportRecompute(const TRecompute& job, bool dropped) {
  // With the entry the request stopped in, when it was dropped there.
  TCheckCounts c = job.Counts;
  c += job.EntryCounts;
  TRecomputeReport report{job.RequestId, c.Windows, c.Inserted + c.Updated, c.Deleted,
                          job.FailedEntries};
  if (dropped && job.Group != nullptr && job.Entry < job.Group->Sensors.size()) {
    report.FailedEntries += static_cast<std::int64_t>(job.Group->Sensors.size() - job.Entry);
  }
  if (events_.RecomputeFinished) events_.RecomputeFinished(report);
}

void TProcessThread::DropRecomputes() {
  std::vector<TRecompute> undone;
  {
    common::MutexLock lock(demandLock_);
    recomputesClosed_ = true;
    undone.swap(droppedRecomputes_);
    for (TRecompute& job : Recomputes) undone.push_back(std::move(job));
    Recomputes.clear();
  }
  if (recompute_) {
    undone.push_back(std::move(*recompute_));
    recompute_.reset();
  }
  for (const TRecompute& job : undone) ReportRecompute(job, true);
}

bool TProcessThread::RecomputeStep() {
  std::vector<TRecompute> dropped;
  {
    common::MutexLock lock(demandLock_);
    dropped.swap(droppedRecomputes_);
    if (recomputeDropped_.exchange(false) && recompute_) {
      dropped.push_back(std::move(*recompute_));
      recompute_.reset();
    }
    if (!recompute_ && !Recomputes.empty()) {
      recompute_ = std::move(Recomputes.front());
      Recomputes.pop_front();
    }
  }
  for (const TRecompute& job : dropped) ReportRecompute(job, true);
  if (!recompute_) return !dropped.empty();
  // Dropped (ClearDemand) or stopped in the middle of a batch: the batch ends before its
  // next read.
  const long changedBefore = runner_.ChangedRows();
  runner_.RecomputeBatch(*recompute_, [this] { return recomputeDropped_.load(); });
  // Outside any run: the batch's changed rows are a progress report of their own.
  if (const long changed = runner_.ChangedRows() - changedBefore;
      changed != 0 && events_.RunProgress && recompute_->Group != nullptr) {
    TGroupRunReport report;
    report.Index = recompute_->Group->GroupNumber - 1;
    report.SectionName = recompute_->Group->SectionName;
    report.FuncName = recompute_->Group->FuncName;
    report.ChangedRows = changed;
    events_.RunProgress(report);
  }
  if (StopRequested.load()) return true;
  if (recompute_->Done()) {
    // The snapshot first: whoever the report reaches reads the counters with it.
    SnapshotGroups();
    ReportRecompute(*recompute_, false);
    recompute_.reset();
  }
  return true;
}

bool TProcessThread::DemandBusy() {
  common::MutexLock lock(demandLock_);
  return !DemandList.empty() || demandRunning_;
}

std::string TProcessThread::GetNextGroup() {
  common::MutexLock lock(StatusLock);
  return NextGroupText;
}

common::TDateTime TProcessThread::GetNextTime() {
  common::MutexLock lock(StatusLock);
  return NextTime;
}

std::vector<TGroupStatus> TProcessThread::GroupStatus() {
  common::MutexLock lock(groupStatusMu_);
  return groupStatus_;
}

TProcessThread::TRunMark TProcessThread::RunCounters() const {
  return {runner_.Windows(),        runner_.Rows(),        runner_.FailedEntries(),
          runner_.DatabaseErrors(), runner_.ChangedRows(), common::SteadyNanoseconds()};
}

TProcessThread::TRunMark TProcessThread::StartRun(config::TPostProcGroupItem& group) {
  running_ = &group;
  reported_ = RunCounters();
  return reported_;
}

void TProcessThread::ReportProgress() {
  const TRunMark now = RunCounters();
  if (now.Windows == reported_.Windows && now.FailedEntries == reported_.FailedEntries &&
      now.Rows == reported_.Rows && now.DatabaseErrors == reported_.DatabaseErrors &&
      now.ChangedRows == reported_.ChangedRows) {
    return;
  }
  const bool progressed = now.Windows != reported_.Windows;
  TGroupRunReport report{running_->GroupNumber - 1,
                         now.Windows - reported_.Windows,
                         now.FailedEntries - reported_.FailedEntries,
                         running_->SectionName,
                         running_->FuncName,
                         now.Rows - reported_.Rows,
                         now.DatabaseErrors - reported_.DatabaseErrors};
  report.ChangedRows = now.ChangedRows - reported_.ChangedRows;
  reported_ = now;
  // Entries moved on: the snapshot shows it before the run ends (a long catch-up).
  if (progressed) SnapshotGroups();
  if (events_.RunProgress) events_.RunProgress(report);
}

void TProcessThread::EndRun() {
  ReportProgress();
  running_ = nullptr;
}

TGroupRunReport TProcessThread::RecordRun(config::TPostProcGroupItem& group,
                                          const TRunMark& before) {
  const TRunMark now = RunCounters();
  group.LastRunEnd = common::Now();
  group.LastRunFailedEntries = now.FailedEntries - before.FailedEntries;
  return {group.GroupNumber - 1,
          now.Windows - before.Windows,
          now.FailedEntries - before.FailedEntries,
          group.SectionName,
          group.FuncName,
          now.Rows - before.Rows,
          now.DatabaseErrors - before.DatabaseErrors,
          static_cast<double>(now.Nanoseconds - before.Nanoseconds) / 1e9,
          group.LastRunEnd};
}

void TProcessThread::SnapshotGroups() {
  // This thread is the only writer of the groups, so it reads them without a lock.
  std::vector<TGroupStatus> rows;
  if (const config::TPostProcGroups* groups = config_.Groups()) {
    rows.reserve(static_cast<size_t>(groups->Count()));
    for (int i = 0; i < groups->Count(); ++i) {
      const config::TPostProcGroupItem& g = groups->Item(i);
      TGroupStatus row;
      row.Index = i;
      row.SectionName = g.SectionName;
      row.Enabled = g.Enabled;
      row.FuncName = g.FuncName;
      row.NextDue = (g.Enabled && g.NextProcessTime > 0) ? g.DueTime() : 0;
      row.Period = row.NextDue != 0 ? g.Period : 0;
      for (size_t k = 0; k < g.Sensors.size(); ++k) {
        const common::TDateTime t = g.Sensors[k]->LastUpdate;
        if (k == 0 || t < row.OldestLastUpdate) row.OldestLastUpdate = t;
      }
      row.LastRunEnd = g.LastRunEnd;
      row.LastRunFailedEntries = g.LastRunFailedEntries;
      row.RecheckedWindows = g.RecheckedWindows;
      row.ChangedRows = g.ChangedRows;
      rows.push_back(std::move(row));
    }
  }
  common::MutexLock lock(groupStatusMu_);
  groupStatus_.swap(rows);
}

void TProcessThread::ReportRun(const TGroupRunReport& report) {
  if (events_.GroupRunFinished) events_.GroupRunFinished(report);
}

void TProcessThread::LogError(const std::string& message) {
  log_.QueueMessage(std::string(common::kMsgErrorPrefix) + message);
}

void TProcessThread::PublishStatus() {
  SnapshotGroups();
  if (CurrentGroup == nullptr) return;
  std::string text = std::to_string(CurrentGroup->GroupNumber);
  const common::TDateTime due = CurrentGroup->DueTime();
  {
    common::MutexLock lock(StatusLock);
    NextGroupText = text;
    NextTime = due;
  }
  // Called without StatusLock: the sink takes locks of its own. Only this thread publishes,
  // so the captions follow the publications in order.
  status_.ShowNextGroup(text, due);
}

void TProcessThread::FillQueue() {
  config::TPostProcGroups* groups = config_.Groups();
  if (groups == nullptr) return;
  try {
    for (int i = 0; i < groups->Count(); ++i) {
      config::TPostProcGroupItem& group = groups->Item(i);
      group.GroupNumber = i + 1;
      if (group.Enabled) {
        if (InitGroupSchedule(group)) {
          LogError(
              common::FormatText(kMsgStartFromOutOfRange, {group.StartFrom, group.SectionName}));
        }
        SeedEntries(group);
        queue_.Insert(&group);
      }
    }
  } catch (const std::exception& e) {
    LogError(e.what());
  }
}

void TProcessThread::SeedEntries(config::TPostProcGroupItem& group) {
  TOrigin& origin = origins_[&group];
  origin.LoadedStartFrom = group.StartFrom;
  origin.StartFrom = common::FormatDateTimeText(group.StartTime);
  if (group.WindowStart == 0) return;
  // An entry without recorded progress starts at the group's first period. It keeps that
  // starting point in memory, so that a run that fails for it (the database is down, the
  // file cannot be written) and the schedule moving on never skip its backlog.
  for (const auto& entry : group.Sensors) {
    if (entry->LastUpdate != 0) continue;
    entry->LastUpdate = group.WindowStart;
    origin.Seeded.emplace_back(entry.get(), group.WindowStart);
  }
}

void TProcessThread::KeepUnrecordedStarts() {
  for (auto& [group, origin] : origins_) {
    if (group->StartFrom == origin.LoadedStartFrom) continue;
    const bool unrecorded =
        std::any_of(origin.Seeded.begin(), origin.Seeded.end(),
                    [](const auto& seed) { return seed.first->LastUpdate == seed.second; });
    // The file has no progress for some entry: the saved start must still cover it.
    if (unrecorded) group->StartFrom = origin.StartFrom;
  }
}

void TProcessThread::SetProgressStart(config::TPostProcGroupItem& group, common::TDateTime next) {
  const auto it = origins_.find(&group);
  if (it == origins_.end()) {
    group.ProgressStartFrom.clear();  // never scheduled: its StartFrom never moves
    return;
  }
  const TOrigin& origin = it->second;
  const bool unrecorded =
      std::any_of(origin.Seeded.begin(), origin.Seeded.end(),
                  [](const auto& seed) { return seed.first->LastUpdate == seed.second; });
  // As at a stop: while an entry has no progress on file, the saved start must cover it.
  group.ProgressStartFrom = unrecorded ? origin.StartFrom : common::FormatDateTimeText(next);
}

void TProcessThread::Requeue() {
  // A group's key changed (an immediate run moved its schedule): the queue is rebuilt, since
  // a key must not change while its group is in the queue.
  std::vector<config::TPostProcGroupItem*> all;
  if (CurrentGroup != nullptr) all.push_back(CurrentGroup);
  while (config::TPostProcGroupItem* g = queue_.DeleteMin()) all.push_back(g);
  for (config::TPostProcGroupItem* g : all) queue_.Insert(g);
  CurrentGroup = queue_.DeleteMin();
  PublishStatus();
}

void TProcessThread::WatchClock(common::TDateTime now) {
  if (lastNow_ != 0 && now < lastNow_ - 1.0 / common::kSecondsPerDay) {
    log_.QueueMessage(common::FormatText(
        common::kMsgClockBack,
        {common::FormatDateTimeText(lastNow_), common::FormatDateTimeText(now)}));
  }
  lastNow_ = now;
}

void TProcessThread::Loop() {
  while (true) {
    Beat();
    try {
      const common::TDateTime now = common::Now();
      WatchClock(now);
      if (StopRequested.load()) break;
      if (ScheduleMode.load()) {
        if (CurrentGroup != nullptr && CurrentGroup->NextProcessTime > 0 &&
            CurrentGroup->DueTime() <= now) {
          const auto before = StartRun(*CurrentGroup);
          SetProgressStart(*CurrentGroup, StartAfterRun(*CurrentGroup));
          runner_.RunGroup(*CurrentGroup);
          EndRun();
          // A stopped run is not over: the saved schedule repeats it at the next start.
          if (StopRequested.load()) break;
          const TGroupRunReport report = RecordRun(*CurrentGroup, before);
          AdvanceAfterRun(*CurrentGroup);
          queue_.Insert(CurrentGroup);
          CurrentGroup = queue_.DeleteMin();
          PublishStatus();
          ReportRun(report);
        } else if (!RecomputeStep()) {
          wakeEvent_.Wait(std::chrono::milliseconds(1000));
        }
        continue;
      }
      config::TPostProcGroupItem* group = nullptr;
      bool catchUp = false;
      bool demandDone = false;
      {
        common::MutexLock lock(demandLock_);
        if (DemandList.empty()) {
          ScheduleMode.store(true);
          demandDone = true;
        } else {
          group = DemandList.front().Group;
          catchUp = DemandList.front().CatchUp;
          DemandList.pop_front();
          demandRunning_ = true;
        }
      }
      if (demandDone && events_.DemandDone) events_.DemandDone();
      if (group == nullptr) continue;
      try {
        // The schedule moves on only over a run that brought every entry up to now; after a
        // failed, stopped or cancelled one the group keeps its period.
        const auto before = StartRun(*group);
        // A catch-up leaves the windows that the schedule would still wait for to it.
        const common::TDateTime reached = catchUp ? now - group->BaseTime : now;
        SetProgressStart(*group, StartAfterDemand(*group, reached));
        const bool complete = runner_.Run(
            *group, catchUp ? TRunLimit::CatchUpRun(now) : TRunLimit::ImmediateRun(now));
        EndRun();
        if (!complete) ++incompleteRuns_;
        std::optional<TGroupRunReport> report;
        if (!StopRequested.load() && !ScheduleMode.load()) report = RecordRun(*group, before);
        if (complete && !ScheduleMode.load() && origins_.count(group) != 0) {
          AdvanceAfterDemand(*group, reached);
          Requeue();  // publishes, with a new snapshot
        } else {
          SnapshotGroups();
        }
        if (report) ReportRun(*report);
      } catch (...) {
        common::MutexLock lock(demandLock_);
        demandRunning_ = false;
        throw;
      }
      common::MutexLock lock(demandLock_);
      demandRunning_ = false;
    } catch (const std::exception& e) {
      LogError(e.what());
    }
  }
}

void TProcessThread::Execute() {
  try {
    {
      // Run requests are refused until the new list is in place (see Loaded).
      config_.LoadConfiguration();
      database_.LoadDatabaseSettings(config_.ConfigFile(), log_);
    }
    try {
      FillQueue();
      // The first group is published before run requests are taken, so that whoever waits
      // for Loaded reads the schedule it starts with.
      CurrentGroup = queue_.DeleteMin();
      PublishStatus();
      loaded_.store(true);
      if (events_.Loaded) events_.Loaded();
      Loop();
    } catch (const std::exception& e) {
      LogError(e.what());
    }
    loaded_.store(false);
    KeepUnrecordedStarts();
    config_.SaveStartFrom();
  } catch (const std::exception& e) {
    LogError(e.what());
  }
  loaded_.store(false);
  {
    common::MutexLock lock(demandLock_);
    DemandList.clear();
    demandRunning_ = false;
  }
  // Whoever asked for a recompute waits for its report, also when processing stops first.
  DropRecomputes();
  if (heartbeat_ != nullptr) heartbeat_->store(0);  // ended: idle, not stuck
  finished_.store(true);
  if (events_.Finished) events_.Finished();
}

}  // namespace vnpp::processing
