// What the processing thread reports of its group runs and recompute requests, and the
// moments of its life that others wait for.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/DateTime.h"

namespace vnpp::processing {

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
  // Windows that the group's completeness rule found incomplete (also a recompute's).
  std::int64_t IncompleteWindows = 0;
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

}  // namespace vnpp::processing
