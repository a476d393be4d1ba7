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
#include "processing/ChangeLog.h"
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
      queue_(kQueueSlots, kQueueSlots),
      demands_(ScheduleMode),
      accounting_(config, runner_, events_) {
  runner_.SetWindowHook([this] { Beat(); });
}

void TProcessThread::Beat() {
  if (heartbeat_ != nullptr) heartbeat_->store(common::SteadyNanoseconds());
  accounting_.ReportProgress();
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

void TProcessThread::ReportRecompute(const TRecompute& job, bool dropped) {
  if (events_.RecomputeFinished) events_.RecomputeFinished(RecomputeReport(job, dropped));
}

void TProcessThread::DropRecomputes() {
  std::vector<TRecompute> undone = demands_.Close();
  if (recompute_) {
    undone.push_back(std::move(*recompute_));
    recompute_.reset();
  }
  for (const TRecompute& job : undone) ReportRecompute(job, true);
}

bool TProcessThread::RecomputeStep() {
  const std::vector<TRecompute> dropped = demands_.NextRecompute(recompute_);
  for (const TRecompute& job : dropped) ReportRecompute(job, true);
  if (!recompute_) return !dropped.empty();
  // Dropped (ClearDemand) or stopped in the middle of a batch: the batch ends before its
  // next read.
  const long changedBefore = runner_.ChangedRows();
  const long incompleteBefore = runner_.IncompleteWindows();
  runner_.RecomputeBatch(*recompute_, [this] { return demands_.RecomputeDropped(); });
  // Outside any run: the batch's changed rows are a progress report of their own.
  if (recompute_->Group != nullptr) {
    accounting_.ReportChanges(*recompute_->Group, runner_.ChangedRows() - changedBefore,
                              runner_.IncompleteWindows() - incompleteBefore);
  }
  if (StopRequested.load()) return true;
  if (recompute_->Done()) {
    // The snapshot first: whoever the report reaches reads the counters with it.
    accounting_.SnapshotGroups();
    ReportRecompute(*recompute_, false);
    recompute_.reset();
  }
  return true;
}

std::string TProcessThread::GetNextGroup() {
  common::MutexLock lock(StatusLock);
  return NextGroupText;
}

common::TDateTime TProcessThread::GetNextTime() {
  common::MutexLock lock(StatusLock);
  return NextTime;
}

void TProcessThread::LogError(const std::string& message) {
  log_.QueueMessage(std::string(common::kMsgErrorPrefix) + message);
}

void TProcessThread::PublishStatus() {
  accounting_.SnapshotGroups();
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
        origins_.SeedEntries(group);
        queue_.Insert(&group);
      }
    }
  } catch (const std::exception& e) {
    LogError(e.what());
  }
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

bool TProcessThread::RunScheduled() {
  const auto& sensors = CurrentGroup->Sensors;
  if (!sensors.empty() && std::all_of(sensors.begin(), sensors.end(), [&](const auto& entry) {
        return EntryAhead(*CurrentGroup, *entry);
      })) {
    // An immediate run has done this period for every entry: no connection, no run.
    AdvanceAfterRun(*CurrentGroup);
    queue_.Insert(CurrentGroup);
    CurrentGroup = queue_.DeleteMin();
    PublishStatus();
    return true;
  }
  const auto before = accounting_.StartRun(*CurrentGroup);
  origins_.SetProgressStart(*CurrentGroup, StartAfterRun(*CurrentGroup));
  runner_.RunGroup(*CurrentGroup);
  accounting_.EndRun();
  // A stopped run is not over: the saved schedule repeats it at the next start.
  if (StopRequested.load()) return false;
  const TGroupRunReport report = accounting_.RecordRun(*CurrentGroup, before);
  AdvanceAfterRun(*CurrentGroup);
  queue_.Insert(CurrentGroup);
  CurrentGroup = queue_.DeleteMin();
  PublishStatus();
  accounting_.ReportRun(report);
  return true;
}

void TProcessThread::RunDemand(const TDemand& demand, common::TDateTime now) {
  config::TPostProcGroupItem* group = demand.Group;
  // The schedule moves on only over a run that brought every entry up to now; after a
  // failed, stopped or cancelled one the group keeps its period.
  const auto before = accounting_.StartRun(*group);
  // A catch-up leaves the windows that the schedule would still wait for to it.
  const common::TDateTime reached = demand.CatchUp ? now - group->BaseTime : now;
  origins_.SetProgressStart(*group, StartAfterDemand(*group, reached));
  const bool complete = runner_.Run(
      *group, demand.CatchUp ? TRunLimit::CatchUpRun(now) : TRunLimit::ImmediateRun(now));
  accounting_.EndRun();
  if (!complete) ++incompleteRuns_;
  std::optional<TGroupRunReport> report;
  if (!StopRequested.load() && !ScheduleMode.load()) {
    report = accounting_.RecordRun(*group, before);
  }
  if (complete && !ScheduleMode.load() && origins_.Scheduled(group)) {
    AdvanceAfterDemand(*group, reached);
    Requeue();  // publishes, with a new snapshot
  } else {
    accounting_.SnapshotGroups();
  }
  if (report) accounting_.ReportRun(*report);
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
          if (!RunScheduled()) break;
        } else if (!RecomputeStep()) {
          wakeEvent_.Wait(std::chrono::milliseconds(1000));
        }
        continue;
      }
      const std::optional<TDemand> demand = demands_.TakeDemand();
      if (!demand) {
        if (events_.DemandDone) events_.DemandDone();
        continue;
      }
      try {
        RunDemand(*demand, now);
      } catch (...) {
        demands_.EndDemand();
        throw;
      }
      demands_.EndDemand();
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
    // The change log's tables are looked for once per load (a refused connect leaves it to
    // the first run).
    if (config_.ChangeLog()) {
      if (database_.ConnectDatabase()) ProbeChangeLog(config_, database_.Connection(), log_);
      database_.DisconnectDatabase();
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
    origins_.KeepUnrecordedStarts();
    config_.SaveStartFrom();
  } catch (const std::exception& e) {
    LogError(e.what());
  }
  loaded_.store(false);
  // Whoever asked for a recompute waits for its report, also when processing stops first.
  DropRecomputes();
  if (heartbeat_ != nullptr) heartbeat_->store(0);  // ended: idle, not stuck
  finished_.store(true);
  if (events_.Finished) events_.Finished();
}

}  // namespace vnpp::processing
