// Windows computed again over the rows already stored for them, writing only what changed:
// a missing row is inserted, a row whose PP_VALUE, VALUE_TIME_TAG, FLAG1 or FLAG2 differs is
// updated (with
// the new PROCESS_TIME_TAG), a row whose window stores nothing now is deleted, and an equal
// row is not written. The table then holds what a first computation over today's readings
// would hold for those windows. No entry's progress is read or written here.
// Thread safety: belongs to the processing thread, like the connection it works on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "common/DateTime.h"
#include "compute/PPDataItem.h"
#include "config/GroupModel.h"
#include "store/ReadingCursor.h"
#include "store/ResultWriter.h"
#include "store/StoredResults.h"

namespace vnpp::database {
class TConnection;
}

namespace vnpp::processing {

class TResultBatch;

// The group's completeness rule, as each of its windows' items carries it.
compute::TCompletenessRule CompletenessRuleOf(const config::TPostProcGroupItem& group);

// What a check found, added up over its calls.
struct TCheckCounts {
  long Windows = 0;  // windows computed again
  long Inserted = 0;
  long Updated = 0;
  long Deleted = 0;
  long Changed() const { return Inserted + Updated + Deleted; }
  TCheckCounts& operator+=(const TCheckCounts& o) {
    Windows += o.Windows;
    Inserted += o.Inserted;
    Updated += o.Updated;
    Deleted += o.Deleted;
    return *this;
  }
};

// What the readings of checked windows held, for the log lines of a first computation.
struct TCheckFindings {
  compute::TPPDataItem::TValueProblems Problems;
  std::function<void(const compute::TPPDataItem&)> Rejected;
};

// A request to compute every window of every entry of a group that lies inside [From, To)
// again, over the rows stored for them (TWindowCheck). It is worked off in batches of at
// most TGroupRunner::kWindowsPerRead windows of one entry; the entries' progress is neither
// read nor written.
struct TRecompute {
  std::uint64_t RequestId = 0;
  config::TPostProcGroupItem* Group = nullptr;
  common::TDateTime From = 0;
  common::TDateTime To = 0;
  // Where the next batch begins: the entry's position, and the start of its next window
  // (0: its first window in the range).
  std::size_t Entry = 0;
  common::TDateTime Next = 0;
  TCheckCounts Counts;                                 // the whole request
  TCheckCounts EntryCounts;                            // the entry in progress, for its log line
  compute::TPPDataItem::TValueProblems EntryProblems;  // and what its readings held
  long FailedEntries = 0;
  bool Done() const { return Group == nullptr || Entry >= Group->Sensors.size(); }
};

class TWindowCheck {
 public:
  // statements are those of connection; batch holds the run's results not yet committed,
  // committed before any change is written. Every reference must outlive the check.
  TWindowCheck(database::TConnection& connection, store::TPPStatements& statements,
               TResultBatch& batch);

  // Computes windows (ascending, each starting where the one before ended) of entry again
  // and writes what differs from the stored rows, one transaction per read of up to
  // windowsPerRead windows that has changes. cancelled is asked before each read, hook runs
  // before every window. What the readings held goes to findings as a first computation
  // reports it: the values taken as missing are added to its Problems (also when this
  // throws), and Rejected, when set, gets each window whose result is refused. Returns false
  // when cancelled, or when the results pending in batch could not all be committed (logged
  // there); counts holds what was done until then. Throws EDatabaseError (the read in
  // progress writes nothing) and EPostProcError.
  bool Check(const config::TPostProcGroupItem& group, const config::TStationSensorInfoItem& entry,
             std::span<const store::TWindowSpan> windows, TCheckCounts& counts,
             TCheckFindings& findings, const std::function<bool()>& cancelled,
             const std::function<void()>& hook);

  // The part of Check after the read: fresh holds what windows (ascending, consecutive) of
  // entry give now (nullopt: no row), computed by the caller; reads their stored rows in one
  // query and writes what differs, in one transaction. Returns false when the results pending
  // in batch could not all be committed. Throws EDatabaseError (nothing written then).
  bool Apply(const config::TPostProcGroupItem& group, const config::TStationSensorInfoItem& entry,
             std::span<const store::TWindowSpan> windows,
             std::span<const std::optional<store::TResultValues>> fresh, TCheckCounts& counts);

  void SetReadLimits(std::size_t windowsPerRead, std::size_t rowsPerRead) {
    windowsPerRead_ = windowsPerRead > 0 ? windowsPerRead : 1;
    rowsPerRead_ = rowsPerRead;
  }

 private:
  database::TConnection& connection_;
  store::TPPStatements& statements_;
  TResultBatch& batch_;
  store::TStoredResults stored_;
  store::TResultWriter writer_;
  std::size_t windowsPerRead_ = 720;
  std::size_t rowsPerRead_ = 0;  // 0: the cursor's default
};

}  // namespace vnpp::processing
