#include "processing/Processing.h"

#include <exception>
#include <mutex>
#include <thread>

#include "common/Clock.h"
#include "common/Log.h"
#include "config/Configuration.h"
#include "database/Database.h"

namespace vnpp::processing {

TProcessing::TProcessing(config::TConfiguration& config, database::TDatabase& database,
                         common::ILog& log, IStatusSink& status,
                         std::function<void()> drainMessages, TProcessEvents events)
    : config_(config),
      database_(database),
      log_(log),
      status_(status),
      drainMessages_(std::move(drainMessages)),
      events_(std::move(events)) {}

TProcessing::~TProcessing() {
  StopProcessing();
  common::MutexLock lock(mu_);
  if (abandoned_ && !abandoned_->Finished()) {
    // Joining would wait for the database for ever; the owner ends the program instead
    // (see Abandoned), and this is only the way out for an owner that does not.
    static_cast<void>(abandoned_.release());
    static_cast<void>(abandonedWake_.release());
  } else if (abandoned_) {
    // It ended once the database answered again: joined here, before its wake event goes.
    abandoned_->Join();
    abandoned_.reset();
    abandonedWake_.reset();
  }
}

void TProcessing::StopLocked() {
  std::unique_ptr<TProcessThread> thread;
  std::unique_ptr<common::AutoResetEvent> wake;
  {
    // Readers (NextPollGroup, RunProcessGroup, ...) see no thread from here on; the join,
    // the drain and the log line below run without this lock, so that a caller that holds a
    // lock of its own (the bus connection's) and asks a question is never blocked by a stop.
    common::MutexLock lock(mu_);
    thread = std::move(ProcessThread);
    wake = std::move(WakeEvent);
  }
  if (!thread) return;
  thread->RequestStop();
  if (wake) wake->Set();
  // A thread waiting for a database that does not answer gets its statement cancelled;
  // the cancel itself may wait for the server, so it runs on a thread of its own.
  if (!thread->JoinFor(std::chrono::seconds(1))) {
    std::thread(database_.Canceller()).detach();
    if (!thread->JoinFor(kStopTimeout - std::chrono::seconds(1))) {
      log_.WriteLog(std::string(common::kMsgErrorPrefix) + "Processing did not stop within " +
                    std::to_string(kStopTimeout.count()) + " s: the database (data source \"" +
                    database_.ShownSource() + "\") did not answer for " +
                    std::to_string(static_cast<long>(database_.BusySeconds())) + " s.");
      heartbeat_.store(0);
      common::MutexLock lock(mu_);
      abandoned_ = std::move(thread);
      abandonedWake_ = std::move(wake);
      return;
    }
  }
  {
    common::MutexLock lock(mu_);
    failedBefore_ += thread->FailedEntries();
    incompleteBefore_ += thread->IncompleteRuns();
    stoppedStatus_ = thread->GroupStatus();
    for (TGroupStatus& row : stoppedStatus_) row.NextDue = 0;  // nothing is scheduled now
  }
  thread.reset();
  wake.reset();
  heartbeat_.store(0);
  if (drainMessages_) drainMessages_();
  log_.WriteLog(common::kMsgServiceStopped);
}

void TProcessing::StopProcessing() {
  std::lock_guard<std::mutex> lifecycle(lifecycleMu_);
  StopLocked();
}

bool TProcessing::Abandoned() {
  common::MutexLock lock(mu_);
  return abandoned_ != nullptr && !abandoned_->Finished();
}

void TProcessing::WatchDatabase() {
  const double busy = database_.BusySeconds();
  if (busy <= database_.AnswerTimeout()) {
    if (busy == 0) reportedBusy_ = 0;
    return;
  }
  // One line per call: the call that was reported has gone on since.
  if (reportedBusy_ > 0 && busy >= reportedBusy_) return;
  reportedBusy_ = busy;
  log_.WriteLogAs(common::ILog::TPriority::Warning,
                  "Warning: the database (data source \"" + database_.ShownSource() +
                      "\") did not answer for " + std::to_string(static_cast<long>(busy)) + " s.");
}

void TProcessing::StartProcessing() {
  std::lock_guard<std::mutex> lifecycle(lifecycleMu_);
  StopLocked();
  {
    common::MutexLock lock(mu_);
    if (abandoned_ && !abandoned_->Finished()) {
      // The old thread still holds the database connection; a second one must not share it.
      log_.WriteLog(std::string(common::kMsgErrorPrefix) +
                    "Processing cannot start while the last processing thread still waits for "
                    "the database (data source \"" +
                    database_.ShownSource() + "\").");
      return;
    }
    if (abandoned_) {
      abandoned_->Join();
      abandoned_.reset();
      abandonedWake_.reset();
    }
  }
  try {
    auto wake = std::make_unique<common::AutoResetEvent>();
    auto thread = std::make_unique<TProcessThread>(config_, database_, log_, status_, *wake,
                                                   events_, &heartbeat_);
    log_.WriteLog(common::kMsgServiceStarted);
    // Loading the configuration counts from here.
    heartbeat_.store(common::SteadyNanoseconds());
    thread->Start();
    common::MutexLock lock(mu_);
    WakeEvent = std::move(wake);
    ProcessThread = std::move(thread);
  } catch (const std::exception& e) {
    // A thread that was never started is freed without running.
    heartbeat_.store(0);
    log_.WriteLog(std::string(common::kMsgErrorPrefix) + e.what());
  }
}

void TProcessing::RestartProcessing() {
  try {
    StopProcessing();
    StartProcessing();
  } catch (const std::exception& e) {
    log_.WriteLog(std::string(common::kMsgErrorPrefix) + e.what());
  }
}

bool TProcessing::IsProcessing() {
  common::MutexLock lock(mu_);
  return ProcessThread != nullptr;
}

void TProcessing::RunProcessGroup(int index, bool catchUp) {
  common::MutexLock lock(mu_);
  if (!ProcessThread || !ProcessThread->Loaded()) return;
  {
    // The list cannot be replaced while this lock is held.
    common::MutexLock groupsLock(config_.GroupListLock());
    config::TPostProcGroups* groups = config_.LockedGroups();
    if (groups == nullptr || index < 0 || index >= groups->Count()) return;
    ProcessThread->AddDemand(&groups->Item(index), catchUp);
  }
  if (WakeEvent) WakeEvent->Set();
}

std::uint64_t TProcessing::Recompute(int index, common::TDateTime from, common::TDateTime to,
                                     std::string& error) {
  if (!(from < to)) {
    error = "the range is empty: its start is not before its end";
    return 0;
  }
  if (from >= common::Now()) {
    error = "the range begins in the future";
    return 0;
  }
  std::uint64_t id = 0;
  {
    common::MutexLock lock(mu_);
    if (!ProcessThread || !ProcessThread->Loaded()) {
      error = "processing is not running";
      return 0;
    }
    // The list cannot be replaced while this lock is held.
    common::MutexLock groupsLock(config_.GroupListLock());
    config::TPostProcGroups* groups = config_.LockedGroups();
    if (groups == nullptr || index < 0 || index >= groups->Count()) {
      error = "there is no group at list position " + std::to_string(index);
      return 0;
    }
    id = ProcessThread->AddRecompute(&groups->Item(index), from, to);
    if (id == 0) {
      error = "processing is not running";
      return 0;
    }
  }
  common::MutexLock lock(mu_);
  if (WakeEvent) WakeEvent->Set();
  return id;
}

void TProcessing::StopProcessGroup() {
  common::MutexLock lock(mu_);
  if (ProcessThread) ProcessThread->ClearDemand();
}

std::string TProcessing::NextPollGroup() {
  common::MutexLock lock(mu_);
  return ProcessThread ? ProcessThread->GetNextGroup() : std::string();
}

common::TDateTime TProcessing::NextPollTime() {
  common::MutexLock lock(mu_);
  return ProcessThread ? ProcessThread->GetNextTime() : 0;
}

std::vector<TGroupStatus> TProcessing::GroupStatus() {
  common::MutexLock lock(mu_);
  return ProcessThread ? ProcessThread->GroupStatus() : stoppedStatus_;
}

bool TProcessing::Loaded() {
  common::MutexLock lock(mu_);
  return ProcessThread && ProcessThread->Loaded();
}

bool TProcessing::DemandBusy() {
  common::MutexLock lock(mu_);
  return ProcessThread && ProcessThread->DemandBusy();
}

long TProcessing::FailedEntries() {
  common::MutexLock lock(mu_);
  return failedBefore_ + (ProcessThread ? ProcessThread->FailedEntries() : 0);
}

}  // namespace vnpp::processing

namespace vnpp::processing {

long TProcessing::IncompleteRuns() {
  common::MutexLock lock(mu_);
  return incompleteBefore_ + (ProcessThread ? ProcessThread->IncompleteRuns() : 0);
}

}  // namespace vnpp::processing
