#include "processing/ProcessThread.h"

#include <chrono>
#include <exception>

#include "common/Clock.h"
#include "common/Log.h"
#include "config/Configuration.h"
#include "database/Database.h"
#include "processing/Schedule.h"

namespace vnpp::processing {

TProcessThread::TProcessThread(config::TConfiguration& config, database::TDatabase& database,
                               common::ILog& log, IStatusSink& status,
                               common::AutoResetEvent& wakeEvent,
                               std::atomic<std::int64_t>* heartbeat)
    : config_(config),
      database_(database),
      log_(log),
      status_(status),
      wakeEvent_(wakeEvent),
      heartbeat_(heartbeat),
      runner_(config, database, log, StopRequested, ScheduleMode),
      queue_(20, 20) {
  runner_.SetWindowHook([this] { Beat(); });
}

void TProcessThread::Beat() {
  if (heartbeat_ != nullptr) heartbeat_->store(common::SteadyNanoseconds());
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

void TProcessThread::AddDemand(config::TPostProcGroupItem* group) {
  common::MutexLock lock(demandLock_);
  DemandList.push_back(group);
  ScheduleMode.store(false);
}

void TProcessThread::ClearDemand() {
  common::MutexLock lock(demandLock_);
  DemandList.clear();
  ScheduleMode.store(true);
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

void TProcessThread::LogError(const std::string& message) {
  log_.QueueMessage(std::string(common::kMsgErrorPrefix) + message);
}

void TProcessThread::PublishStatus() {
  if (CurrentGroup == nullptr) return;
  common::MutexLock lock(StatusLock);
  NextGroupText = std::to_string(CurrentGroup->GroupNumber);
  NextTime = CurrentGroup->DueTime();
  // Takes the message queue's lock inside StatusLock: the one permitted order.
  status_.ShowNextGroup(NextGroupText, NextTime);
}

void TProcessThread::FillQueue() {
  config::TPostProcGroups* groups = config_.Groups();
  if (groups == nullptr) return;
  try {
    for (int i = 0; i < groups->Count(); ++i) {
      config::TPostProcGroupItem& group = groups->Item(i);
      group.GroupNumber = i + 1;
      if (group.Enabled) {
        InitGroupSchedule(group);
        queue_.Insert(&group);
      }
    }
  } catch (const std::exception& e) {
    LogError(e.what());
  }
}

void TProcessThread::Loop() {
  CurrentGroup = queue_.DeleteMin();
  PublishStatus();
  while (true) {
    Beat();
    try {
      const common::TDateTime now = common::Now();
      if (StopRequested.load()) break;
      if (ScheduleMode.load()) {
        if (CurrentGroup != nullptr && CurrentGroup->NextProcessTime > 0 &&
            CurrentGroup->DueTime() <= now) {
          runner_.RunGroup(*CurrentGroup);
          AdvanceAfterRun(*CurrentGroup);
          queue_.Insert(CurrentGroup);
          CurrentGroup = queue_.DeleteMin();
          PublishStatus();
        } else {
          wakeEvent_.Wait(std::chrono::milliseconds(1000));
        }
        continue;
      }
      config::TPostProcGroupItem* group = nullptr;
      {
        common::MutexLock lock(demandLock_);
        if (DemandList.empty()) {
          ScheduleMode.store(true);
        } else {
          group = DemandList.front();
          DemandList.pop_front();
          demandRunning_ = true;
        }
      }
      if (group == nullptr) continue;
      try {
        runner_.RunGroupNow(*group, now);
        if (!ScheduleMode.load()) AdvanceAfterDemand(*group, now);
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
      loaded_.store(true);
      Loop();
    } catch (const std::exception& e) {
      LogError(e.what());
    }
    loaded_.store(false);
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
  if (heartbeat_ != nullptr) heartbeat_->store(0);  // ended: idle, not stuck
  finished_.store(true);
}

}  // namespace vnpp::processing
