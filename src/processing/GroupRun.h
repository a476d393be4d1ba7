// One run of a post-process group: every station/sensor entry is caught up window by
// window, each result stored and each entry's progress written back. Every kind of run walks
// the windows the same way; they differ in their limit and what ends them (TRunLimit).
//
// The readings of an entry come in runs of up to kWindowsPerRead windows per query, and the
// results go out in multi-row statements inside transactions of a few thousand windows or more
// (TResultBatch). Progress is written to the configuration file only after the
// transaction that holds its results has been committed, every few seconds and at the end of the
// run: the file may lag the result table, never lead it, so a crash costs at most the windows
// since the last write, which the next run computes again with the same results.
// Thread safety: runs on the processing thread only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/DateTime.h"
#include "compute/PPDataItem.h"
#include "config/GroupModel.h"
#include "processing/RunCounters.h"
#include "processing/WindowCheck.h"
#include "processing/WindowPlan.h"

namespace vnpp::common {
class ILog;
}
namespace vnpp::config {
class TConfiguration;
}
namespace vnpp::database {
class TDatabase;
}  // namespace vnpp::database

namespace vnpp::processing {

class TGroupRunner {
 public:
  // The references must outlive the runner. stopRequested and scheduleMode are the
  // processing thread's flags, read between entries and windows.
  TGroupRunner(config::TConfiguration& config, database::TDatabase& database, common::ILog& log,
               const std::atomic<bool>& stopRequested, const std::atomic<bool>& scheduleMode);
  ~TGroupRunner();

  // Both return true when every entry was brought up to its limit; false when an entry
  // failed, the connection failed, or the run was stopped or cancelled before the end.
  bool Run(config::TPostProcGroupItem& group, const TRunLimit& limit);
  bool RunGroup(config::TPostProcGroupItem& group) { return Run(group, TRunLimit::ScheduledRun()); }

  // One entry; true when it reached its limit, false when it failed (logged) or was stopped.
  bool ProcessEntry(config::TPostProcGroupItem& group, int index, const TRunLimit& limit);

  // One batch of job: connects, checks up to kWindowsPerRead windows of its current entry
  // (never one that ends after the present), disconnects and moves job on. An entry that
  // fails is logged and counted in job and the next one follows. False when cancelled (a stop
  // request, or cancelled() true before a read); job then stands where it was cut off.
  bool RecomputeBatch(TRecompute& job, const std::function<bool()>& cancelled);

  // hook runs before every data window (the processing thread's heartbeat).
  void SetWindowHook(std::function<void()> hook) { windowHook_ = std::move(hook); }

  // Number of entries that ended with an error since construction.
  long FailedEntries() const { return counters_.FailedEntries.load(); }
  // Number of windows computed and stored since construction.
  long Windows() const { return counters_.Windows.load(); }
  // Result rows written, and database statements that failed, since construction.
  long Rows() const { return counters_.Rows.load(); }
  long DatabaseErrors() const { return counters_.DatabaseErrors.load(); }
  // Windows computed again over their stored rows, and the rows that changed, since
  // construction.
  long RecheckedWindows() const { return rechecked_.load(); }
  long ChangedRows() const { return changedRows_.load(); }
  // Windows found incomplete by the groups' completeness rules since construction.
  long IncompleteWindows() const { return counters_.IncompleteWindows.load(); }

  // Test seams. Each window read alone by the item's own queries (RetrieveData), the
  // reference the range reads are checked against; off by default.
  void TEST_ReadEachWindowAlone(bool on) { eachWindowAlone_ = on; }
  // Windows per range query and rows it may bring at most.
  void TEST_SetReadLimits(std::size_t windowsPerRead, std::size_t rowsPerRead) {
    windowsPerRead_ = windowsPerRead > 0 ? windowsPerRead : 1;
    rowsPerRead_ = rowsPerRead;
  }

  static constexpr std::size_t kWindowsPerRead = 720;

 private:
  class TSession;
  // The statements and the result batch of the connection as it stands, made when a caller
  // processes one entry outside a run.
  TSession& Session();
  bool Cancelled(const TRunLimit& limit) const;
  // With ChangeLog=1, before the entries' walks: raises the entries' thresholds, reads the
  // changes the group has not consumed and checks the windows they touch (ChangeLog.cpp).
  // False when that failed or was cancelled; the changes are then read again next run.
  bool CheckChangeLog(config::TPostProcGroupItem& group, const TRunLimit& limit);
  // After the run's last commit: records the consumed id on file if no progress write took it,
  // and deletes the changes every group has consumed. False when that failed (logged).
  bool EndChangeLog(config::TPostProcGroupItem& group);
  // Checks windows of entry again (TWindowCheck) and adds what it did to the counters and
  // to counts, and what the readings held to problems; refused windows are logged as a first
  // computation logs them. False when cancelled.
  bool CheckWindows(config::TPostProcGroupItem& group, const config::TStationSensorInfoItem& entry,
                    std::span<const store::TWindowSpan> windows,
                    const std::function<bool()>& cancelled, TCheckCounts& counts,
                    compute::TPPDataItem::TValueProblems& problems);
  // Checks the entry's rechecked windows again (RecheckWindowsOf, when it has progress), then
  // reads, computes and hands to the batch each window next gives; true when the entry
  // reached its limit. Reports once what its readings held (ReportProblems, once per entry
  // and run).
  bool WalkEntry(config::TPostProcGroupItem& group, config::TStationSensorInfoItem& entry,
                 const TNextWindow& next, const TRunLimit& limit);
  // The rechecked windows of an entry as its walk takes them.
  struct TRecheckWalk {
    std::span<const store::TWindowSpan> Windows;  // those not read yet
    TCheckCounts Counts;                          // what their checks did
    bool Logged = false;                          // their "late readings" line is out
  };
  // The walk itself: the rechecked windows first, then those next gives, read together where
  // they follow each other; item is made at the first window.
  bool WalkWindows(config::TPostProcGroupItem& group, config::TStationSensorInfoItem& entry,
                   TRecheckWalk& recheck, const TNextWindow& next, const TRunLimit& limit,
                   std::unique_ptr<compute::TPPDataItem>& item);
  // What a check did, added to the runner's and the group's counters and to counts.
  void CountChecks(config::TPostProcGroupItem& group, const TCheckCounts& done,
                   TCheckCounts& counts);
  // The rechecked windows of one read, computed into fresh: compared with their stored rows
  // and what differs written (TWindowCheck::Apply), counted; last logs the entry's line. False
  // when the results pending could not all be committed.
  bool CheckRead(config::TPostProcGroupItem& group, const config::TStationSensorInfoItem& entry,
                 TRecheckWalk& recheck, std::span<const store::TWindowSpan> windows,
                 std::span<const std::optional<store::TResultValues>> fresh, bool last);
  // Once per station and sensor in the runner's life: a time tag in a form that the
  // database does not sort as a time, whose readings the range queries never see.
  void CheckTagForm(const config::TPostProcGroupItem& group,
                    const config::TStationSensorInfoItem& entry);
  // The same for every entry of the group at the start of its run, many sensors to a
  // statement; an entry it could not check is checked on its own when it is processed.
  void CheckTagForms(const config::TPostProcGroupItem& group);
  // ReportProblems, and the incomplete windows added to the counters and the group.
  void ReportEntry(config::TPostProcGroupItem& group, const config::TStationSensorInfoItem& entry,
                   const compute::TPPDataItem::TValueProblems& problems);
  // An entry's processing threw: after a database error the open transaction is recovered
  // first; then the entry has failed.
  void EntryError(const config::TStationSensorInfoItem* entry, const std::exception& e);

  config::TConfiguration& config_;
  database::TDatabase& database_;
  common::ILog& log_;
  const std::atomic<bool>& stopRequested_;
  const std::atomic<bool>& scheduleMode_;
  TRunCounters counters_;
  std::atomic<long> rechecked_{0};
  std::atomic<long> changedRows_{0};
  bool eachWindowAlone_ = false;
  std::size_t windowsPerRead_ = kWindowsPerRead;
  std::size_t rowsPerRead_ = 0;  // 0: the cursor's default
  bool inRun_ = false;           // inside Run: entries commit at the end
  std::function<void()> windowHook_;
  std::unique_ptr<TSession> session_;  // for the connection of the current run
  std::set<std::pair<std::string, std::string>> tagFormsChecked_;  // station, sensor
  // The group whose bad roll-over constant this run has reported (once per run).
  const config::TPostProcGroupItem* rolloverReported_ = nullptr;
  // Inside a run whose connect was refused: the entries failed for it so far; -1 otherwise.
  long refusedEntries_ = -1;
};

}  // namespace vnpp::processing
