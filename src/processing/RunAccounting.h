// The operators' view of the group runs: the runner's counters at the start and end of a run,
// the run's progress reports, its record on the group, the snapshot of every group and the
// report of a finished run.
// Thread safety: GroupStatus may be called from any thread; the rest belongs to the
// processing thread, the only writer of the groups.
#pragma once

#include <cstdint>
#include <vector>

#include "common/GroupStatus.h"
#include "common/Mutex.h"
#include "config/GroupModel.h"
#include "processing/RunReports.h"

namespace vnpp::config {
class TConfiguration;
}

namespace vnpp::processing {

class TGroupRunner;

class TRunAccounting {
 public:
  // The runner's counters, as a run starts or at a progress report.
  struct TRunMark {
    long Windows = 0, Rows = 0, FailedEntries = 0, DatabaseErrors = 0, ChangedRows = 0;
    long IncompleteWindows = 0;
    std::int64_t Nanoseconds = 0;  // common::SteadyNanoseconds() when taken
  };

  // Every reference must outlive the accounting.
  TRunAccounting(config::TConfiguration& config, const TGroupRunner& runner,
                 const TProcessEvents& events)
      : config_(config), runner_(runner), events_(events) {}

  // A run of group begins; its counters at the start.
  TRunMark StartRun(config::TPostProcGroupItem& group);
  // What the run in progress added since its last report, when anything (RunProgress); none
  // outside a run.
  void ReportProgress();
  // The last progress report of the run in progress.
  void EndRun();
  // The run's end on the group (LastRunEnd, LastRunFailedEntries) and its report.
  TGroupRunReport RecordRun(config::TPostProcGroupItem& group, const TRunMark& before);
  // Rows a recompute batch of group changed, and the windows it found incomplete, outside
  // any run, as a progress report.
  void ReportChanges(const config::TPostProcGroupItem& group, long changed, long incomplete);
  // GroupRunFinished.
  void ReportRun(const TGroupRunReport& report);

  // Takes the snapshot of every configured group that GroupStatus gives.
  void SnapshotGroups() EXCLUDES(mu_);
  // The latest snapshot, in list order; empty before the first.
  std::vector<common::TGroupStatus> GroupStatus() EXCLUDES(mu_);

 private:
  TRunMark Counters() const;

  config::TConfiguration& config_;
  const TGroupRunner& runner_;
  const TProcessEvents& events_;
  config::TPostProcGroupItem* running_ = nullptr;  // the group of the run in progress
  TRunMark reported_;                              // the counters at its last progress report

  common::Mutex mu_;
  std::vector<common::TGroupStatus> groupStatus_ GUARDED_BY(mu_);
};

}  // namespace vnpp::processing
