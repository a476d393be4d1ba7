#include "processing/Processing.h"

#include <exception>
#include <mutex>

#include "common/Clock.h"
#include "common/Log.h"
#include "config/Configuration.h"

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

TProcessing::~TProcessing() { StopProcessing(); }

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
  thread->Join();
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

void TProcessing::StartProcessing() {
  std::lock_guard<std::mutex> lifecycle(lifecycleMu_);
  StopLocked();
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
