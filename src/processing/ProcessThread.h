// The processing thread: loads the configuration and database settings, schedules the
// enabled groups and runs them when due or at once on request, until told to stop.
//
// Thread safety: AddDemand, ClearDemand, GetNextGroup, GetNextTime, RequestStop and the
// state queries may be called from any thread. No lock of this class is held while the
// status sink, the log or the database is called.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/DateTime.h"
#include "common/GroupStatus.h"
#include "common/Mutex.h"
#include "config/GroupModel.h"
#include "processing/DemandQueue.h"
#include "processing/GroupRun.h"
#include "processing/RunAccounting.h"
#include "processing/RunReports.h"
#include "processing/ScheduleQueue.h"
#include "processing/StartOrigins.h"

namespace vnpp::processing {

// Where the next scheduled group is shown. Called on the processing thread, without any lock
// of the thread held; the implementation may take the message queue's lock for the captions.
class IStatusSink {
 public:
  virtual ~IStatusSink() = default;
  virtual void ShowNextGroup(const std::string& groupText, common::TDateTime dueTime) = 0;
};

using common::TGroupStatus;

class TProcessThread {
 public:
  // All references must outlive the thread object. wakeEvent ends a wait early. heartbeat,
  // when given, receives common::SteadyNanoseconds() at the top of every loop pass and
  // before every data window, and 0 when the main procedure ends; it must outlive the thread.
  TProcessThread(config::TConfiguration& config, database::TDatabase& database, common::ILog& log,
                 IStatusSink& status, common::AutoResetEvent& wakeEvent, TProcessEvents events = {},
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
  // Waits at most timeout for the main procedure to end; true (and joined) when it has.
  bool JoinFor(std::chrono::milliseconds timeout);

  // catchUp: the run also waits for each window's BaseTime, and the schedule moves on to
  // where that leaves the group (a backfill), instead of to now.
  void AddDemand(config::TPostProcGroupItem* group, bool catchUp = false) {
    demands_.Add(group, catchUp);
  }
  // Also drops the recompute requests, each reported as finished.
  void ClearDemand() { demands_.Clear(); }
  // Queues a recompute of group over [from, to) (TRecompute); its batches run between the
  // scheduled runs, one at a time. Returns the request's id, unique in the process; 0 (nothing
  // queued) once the thread's main procedure is ending. A request the end of the thread
  // leaves undone is reported as dropped.
  std::uint64_t AddRecompute(config::TPostProcGroupItem* group, common::TDateTime from,
                             common::TDateTime to) {
    return demands_.AddRecompute(group, from, to);
  }
  std::string GetNextGroup() EXCLUDES(StatusLock);
  common::TDateTime GetNextTime() EXCLUDES(StatusLock);
  // The latest snapshot of every configured group, in list order; empty while loading.
  std::vector<TGroupStatus> GroupStatus() { return accounting_.GroupStatus(); }

  // True once the configuration is loaded and the queue filled; run requests are refused
  // before that, so none can name a group of a list about to be replaced.
  bool Loaded() const { return loaded_.load(); }
  // True while demand-mode work is pending or running.
  bool DemandBusy() { return demands_.Busy(); }
  // True when the main procedure has returned.
  bool Finished() const { return finished_.load(); }
  // Entries that failed in group runs so far.
  long FailedEntries() const { return runner_.FailedEntries(); }
  // Immediate runs that ended before every entry was brought up to date (an entry failed,
  // or the run was stopped or cancelled).
  long IncompleteRuns() const { return incompleteRuns_.load(); }

  std::atomic<bool> StopRequested{false};
  std::atomic<bool> ScheduleMode{true};

 private:
  void Execute();
  void FillQueue();
  void Loop();
  void PublishStatus() EXCLUDES(StatusLock);
  void LogError(const std::string& message);
  // Puts CurrentGroup back, takes the head again and publishes it.
  void Requeue();
  // Logs a warning when the clock is seen going back by more than a second.
  void WatchClock(common::TDateTime now);
  void Beat();
  // A scheduled run of CurrentGroup, which is due; false when it was stopped.
  bool RunScheduled();
  // An immediate run of demand.Group at now.
  void RunDemand(const TDemand& demand, common::TDateTime now);
  // One batch of the recompute in progress (taking the next request when none is), and the
  // reports of requests that ended or were dropped; false when there was nothing to do.
  bool RecomputeStep();
  void ReportRecompute(const TRecompute& job, bool dropped);
  // At the end of the main procedure: reports every request not done as dropped.
  void DropRecomputes();

  config::TConfiguration& config_;
  database::TDatabase& database_;
  common::ILog& log_;
  IStatusSink& status_;
  common::AutoResetEvent& wakeEvent_;
  const TProcessEvents events_;
  std::atomic<std::int64_t>* heartbeat_;
  TGroupRunner runner_;
  // Slots the schedule's queue starts with and adds when full: storage only, never a limit
  // on the number of groups.
  static constexpr int kQueueSlots = 20;
  TStPQueue queue_;

  // Processing thread only.
  config::TPostProcGroupItem* CurrentGroup = nullptr;
  TStartOrigins origins_;  // of the groups put into the queue
  common::TDateTime lastNow_ = 0;
  std::optional<TRecompute> recompute_;

  common::Mutex StatusLock;
  std::string NextGroupText GUARDED_BY(StatusLock);
  common::TDateTime NextTime GUARDED_BY(StatusLock) = 0;

  TDemandQueue demands_;
  TRunAccounting accounting_;  // after runner_ and events_, which it reads
  std::atomic<long> incompleteRuns_{0};
  std::atomic<bool> loaded_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace vnpp::processing
