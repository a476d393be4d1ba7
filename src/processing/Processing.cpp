#include "processing/Processing.h"

#include <exception>

#include "common/Clock.h"
#include "common/Log.h"
#include "config/Configuration.h"

namespace vnpp::processing {

TProcessing::TProcessing(config::TConfiguration& config, database::TDatabase& database,
                         common::ILog& log, IStatusSink& status,
                         std::function<void()> drainMessages)
    : config_(config),
      database_(database),
      log_(log),
      status_(status),
      drainMessages_(std::move(drainMessages)) {}

TProcessing::~TProcessing() { StopProcessing(); }

void TProcessing::StopLocked() {
  if (ProcessThread) {
    ProcessThread->RequestStop();
    if (WakeEvent) WakeEvent->Set();
    ProcessThread->Join();
    failedBefore_ += ProcessThread->FailedEntries();
    ProcessThread.reset();
    WakeEvent.reset();
    heartbeat_.store(0);
    if (drainMessages_) drainMessages_();
    log_.WriteLog(common::kMsgServiceStopped);
  }
  WakeEvent.reset();
}

void TProcessing::StopProcessing() {
  common::MutexLock lock(mu_);
  StopLocked();
}

void TProcessing::StartProcessing() {
  common::MutexLock lock(mu_);
  StopLocked();
  try {
    WakeEvent = std::make_unique<common::AutoResetEvent>();
    ProcessThread = std::make_unique<TProcessThread>(config_, database_, log_, status_, *WakeEvent,
                                                     &heartbeat_);
    log_.WriteLog(common::kMsgServiceStarted);
    // Loading the configuration counts from here.
    heartbeat_.store(common::SteadyNanoseconds());
    ProcessThread->Start();
  } catch (...) {
    ProcessThread.reset();  // never started, or its destructor stops it
    WakeEvent.reset();
    heartbeat_.store(0);
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

void TProcessing::RunProcessGroup(int index) {
  common::MutexLock lock(mu_);
  if (!ProcessThread || !ProcessThread->Loaded()) return;
  {
    // The list cannot be replaced while this lock is held.
    common::MutexLock groupsLock(config_.GroupListLock());
    config::TPostProcGroups* groups = config_.Groups();
    if (groups == nullptr || index < 0 || index >= groups->Count()) return;
    ProcessThread->AddDemand(&groups->Item(index));
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
