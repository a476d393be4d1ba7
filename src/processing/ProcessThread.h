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
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/DateTime.h"
#include "common/GroupStatus.h"
#include "common/Mutex.h"
#include "config/GroupModel.h"
#include "processing/GroupRun.h"
#include "processing/ScheduleQueue.h"

namespace vnpp::processing {

// Where the next scheduled group is shown. Called on the processing thread, without any lock
// of the thread held; the implementation may take the message queue's lock for the captions.
class IStatusSink {
 public:
  virtual ~IStatusSink() = default;
  virtual void ShowNextGroup(const std::string& groupText, common::TDateTime dueTime) = 0;
};

using common::TGroupStatus;

// A group run that went to its end (not stopped or cancelled); for RunProgress, what a run
// added since its previous progress report.
struct TGroupRunReport {
  int Index = 0;  // position in the group list, from 0
  std::int64_t Windows = 0;
  std::int64_t FailedEntries = 0;
  // For operators' metrics.
  std::string SectionName;
  std::string FuncName;
  std::int64_t Rows = 0;            // result rows written
  std::int64_t DatabaseErrors = 0;  // database statements that failed
  double Seconds = 0;               // the run's duration (0 in progress reports)
  common::TDateTime End = 0;        // when the run ended (0 in progress reports)
  // Rows inserted, updated or deleted by checks of windows over stored rows (RecheckWindows;
  // for RunProgress also a recompute batch, which is reported outside any run).
  std::int64_t ChangedRows = 0;
};

// A recompute request that ended: done, or dropped by ClearDemand (its entries not reached
// then count as failed).
struct TRecomputeReport {
  std::uint64_t RequestId = 0;
  std::int64_t WindowsChecked = 0;
  std::int64_t RowsWritten = 0;  // inserted or updated
  std::int64_t RowsDeleted = 0;
  std::int64_t FailedEntries = 0;
};

// Moments of the thread's life that others wait for. Each runs on the processing thread and
// must return at once (hand the news to another thread); any may be empty.
struct TProcessEvents {
  std::function<void()> Loaded;      // the configuration is loaded, run requests are taken
  std::function<void()> DemandDone;  // the demand list was found empty after demand work
  std::function<void()> Finished;    // the main procedure is about to return
  // After a run's snapshot (GroupStatus) has been taken.
  std::function<void(const TGroupRunReport&)> GroupRunFinished;
  // What the run in progress added since its previous report, whenever that changed (checked
  // before every data window) and once more at its end, also when it was stopped or cancelled.
  std::function<void(const TGroupRunReport&)> RunProgress;
  std::function<void(const TRecomputeReport&)> RecomputeFinished;
};

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
  void AddDemand(config::TPostProcGroupItem* group, bool catchUp = false) EXCLUDES(demandLock_);
  // Also drops the recompute requests, each reported as finished.
  void ClearDemand() EXCLUDES(demandLock_);
  // Queues a recompute of group over [from, to) (TRecompute); its batches run between the
  // scheduled runs, one at a time. Returns the request's id, unique in the process; 0 (nothing
  // queued) once the thread's main procedure is ending. A request the end of the thread
  // leaves undone is reported as dropped.
  std::uint64_t AddRecompute(config::TPostProcGroupItem* group, common::TDateTime from,
                             common::TDateTime to) EXCLUDES(demandLock_);
  std::string GetNextGroup() EXCLUDES(StatusLock);
  common::TDateTime GetNextTime() EXCLUDES(StatusLock);
  // The latest snapshot of every configured group, in list order; empty while loading.
  std::vector<TGroupStatus> GroupStatus() EXCLUDES(groupStatusMu_);

  // True once the configuration is loaded and the queue filled; run requests are refused
  // before that, so none can name a group of a list about to be replaced.
  bool Loaded() const { return loaded_.load(); }
  // True while demand-mode work is pending or running.
  bool DemandBusy() EXCLUDES(demandLock_);
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
  // Gives the entries without progress the group's first period as their start.
  void SeedEntries(config::TPostProcGroupItem& group);
  // Before the schedule is saved: a group with an entry that has no progress on file saves
  // the start it was first scheduled with, not the one it has moved on to.
  void KeepUnrecordedStarts();
  // Before a run: the StartFrom its progress writes record (see ProgressStartFrom), next
  // being the schedule's start once the run completes.
  void SetProgressStart(config::TPostProcGroupItem& group, common::TDateTime next);
  // Puts CurrentGroup back, takes the head again and publishes it.
  void Requeue();
  // Logs a warning when the clock is seen going back by more than a second.
  void WatchClock(common::TDateTime now);
  void Beat();
  // One batch of the recompute in progress (taking the next request when none is), and the
  // reports of requests that ended or were dropped; false when there was nothing to do.
  bool RecomputeStep() EXCLUDES(demandLock_);
  void ReportRecompute(const TRecompute& job, bool dropped);
  // At the end of the main procedure: reports every request not done as dropped.
  void DropRecomputes() EXCLUDES(demandLock_);
  // Operators' view: the runner's counters, the start and end of a run with its progress
  // reports, the run's record on the group, the snapshot of every group and the report of a
  // finished run.
  struct TRunMark {
    long Windows = 0, Rows = 0, FailedEntries = 0, DatabaseErrors = 0, ChangedRows = 0;
    std::int64_t Nanoseconds = 0;  // common::SteadyNanoseconds() when taken
  };
  TRunMark RunCounters() const;
  TRunMark StartRun(config::TPostProcGroupItem& group);
  void ReportProgress();
  void EndRun();
  TGroupRunReport RecordRun(config::TPostProcGroupItem& group, const TRunMark& before);
  void SnapshotGroups() EXCLUDES(groupStatusMu_);
  void ReportRun(const TGroupRunReport& report);

  config::TConfiguration& config_;
  database::TDatabase& database_;
  common::ILog& log_;
  IStatusSink& status_;
  common::AutoResetEvent& wakeEvent_;
  const TProcessEvents events_;
  std::atomic<std::int64_t>* heartbeat_;
  TGroupRunner runner_;
  TStPQueue queue_;

  // Processing thread only.
  config::TPostProcGroupItem* CurrentGroup = nullptr;
  struct TOrigin {
    std::string LoadedStartFrom;  // the text loaded from the file
    std::string StartFrom;        // the start first scheduled, as explicit text
    // Entries given a start by SeedEntries, with that start.
    std::vector<std::pair<config::TStationSensorInfoItem*, common::TDateTime>> Seeded;
  };
  // The groups put into the queue.
  std::unordered_map<config::TPostProcGroupItem*, TOrigin> origins_;
  common::TDateTime lastNow_ = 0;
  config::TPostProcGroupItem* running_ = nullptr;  // the group of the run in progress
  TRunMark reported_;                              // the counters at its last progress report

  common::Mutex StatusLock;
  std::string NextGroupText GUARDED_BY(StatusLock);
  common::TDateTime NextTime GUARDED_BY(StatusLock) = 0;

  common::Mutex demandLock_;
  struct TDemand {
    config::TPostProcGroupItem* Group = nullptr;
    bool CatchUp = false;
  };
  std::deque<TDemand> DemandList GUARDED_BY(demandLock_);
  bool demandRunning_ GUARDED_BY(demandLock_) = false;
  std::deque<TRecompute> Recomputes GUARDED_BY(demandLock_);
  std::vector<TRecompute> droppedRecomputes_ GUARDED_BY(demandLock_);
  bool recomputesClosed_ GUARDED_BY(demandLock_) = false;  // the thread is ending
  // Set by ClearDemand: the recompute in progress is dropped too.
  std::atomic<bool> recomputeDropped_{false};
  std::optional<TRecompute> recompute_;  // processing thread only

  common::Mutex groupStatusMu_;
  std::vector<TGroupStatus> groupStatus_ GUARDED_BY(groupStatusMu_);

  std::atomic<long> incompleteRuns_{0};
  std::atomic<bool> loaded_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace vnpp::processing
