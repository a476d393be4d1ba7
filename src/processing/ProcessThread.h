// The processing thread: loads the configuration and database settings, schedules the
// enabled groups and runs them when due or at once on request, until told to stop.
//
// Thread safety: AddDemand, ClearDemand, GetNextGroup, GetNextTime, RequestStop and the
// state queries may be called from any thread. Lock order: StatusLock before the message
// queue's lock (taken inside IStatusSink::ShowNextGroup), never the reverse.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "common/DateTime.h"
#include "common/Mutex.h"
#include "config/GroupModel.h"
#include "processing/GroupRun.h"
#include "processing/ScheduleQueue.h"

namespace vnpp::processing {

// Where the next scheduled group is shown. Called on the processing thread while it holds
// StatusLock; the implementation takes the message queue's lock for the captions.
class IStatusSink {
 public:
  virtual ~IStatusSink() = default;
  virtual void ShowNextGroup(const std::string& groupText, common::TDateTime dueTime) = 0;
};

class TProcessThread {
 public:
  // All references must outlive the thread object. wakeEvent ends a wait early. heartbeat,
  // when given, receives common::SteadyNanoseconds() at the top of every loop pass and
  // before every data window, and 0 when the main procedure ends; it must outlive the thread.
  TProcessThread(config::TConfiguration& config, database::TDatabase& database, common::ILog& log,
                 IStatusSink& status, common::AutoResetEvent& wakeEvent,
                 std::atomic<std::int64_t>* heartbeat = nullptr);
  // REQUIRES: the thread has been joined (or never started).
  ~TProcessThread();
  TProcessThread(const TProcessThread&) = delete;
  TProcessThread& operator=(const TProcessThread&) = delete;

  // Starts the thread's main procedure. Throws std::system_error when no thread can be made.
  void Start();
  // Sets StopRequested; the caller also signals the wake event.
  void RequestStop() { StopRequested.store(true); }
  // Waits until the main procedure has ended.
  void Join();

  void AddDemand(config::TPostProcGroupItem* group) EXCLUDES(demandLock_);
  void ClearDemand() EXCLUDES(demandLock_);
  std::string GetNextGroup() EXCLUDES(StatusLock);
  common::TDateTime GetNextTime() EXCLUDES(StatusLock);

  // True once the configuration is loaded and the queue filled; run requests are refused
  // before that, so none can name a group of a list about to be replaced.
  bool Loaded() const { return loaded_.load(); }
  // True while demand-mode work is pending or running.
  bool DemandBusy() EXCLUDES(demandLock_);
  // True when the main procedure has returned.
  bool Finished() const { return finished_.load(); }
  // Entries that failed in group runs so far.
  long FailedEntries() const { return runner_.FailedEntries(); }

  std::atomic<bool> StopRequested{false};
  std::atomic<bool> ScheduleMode{true};

 private:
  void Execute();
  void FillQueue();
  void Loop();
  void PublishStatus() EXCLUDES(StatusLock);
  void LogError(const std::string& message);
  void Beat();

  config::TConfiguration& config_;
  database::TDatabase& database_;
  common::ILog& log_;
  IStatusSink& status_;
  common::AutoResetEvent& wakeEvent_;
  std::atomic<std::int64_t>* heartbeat_;
  TGroupRunner runner_;
  TStPQueue queue_;

  // Processing thread only.
  config::TPostProcGroupItem* CurrentGroup = nullptr;

  common::Mutex StatusLock;
  std::string NextGroupText GUARDED_BY(StatusLock);
  common::TDateTime NextTime GUARDED_BY(StatusLock) = 0;

  common::Mutex demandLock_;
  std::deque<config::TPostProcGroupItem*> DemandList GUARDED_BY(demandLock_);
  bool demandRunning_ GUARDED_BY(demandLock_) = false;

  std::atomic<bool> loaded_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace vnpp::processing
