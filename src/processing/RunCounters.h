// What a group runner counts over its life, read by other threads for the operators' view.
#pragma once

#include <atomic>

namespace vnpp::processing {

// Entries that ended with an error, windows whose progress was kept, the result rows of
// those windows, and database statements that failed.
struct TRunCounters {
  std::atomic<long> FailedEntries{0};
  std::atomic<long> Windows{0};
  std::atomic<long> Rows{0};
  std::atomic<long> DatabaseErrors{0};
  // Windows with readings that the group's completeness rule found incomplete (skipped or
  // flagged), in runs and recomputes; the periodic recheck of stored windows is not counted.
  std::atomic<long> IncompleteWindows{0};
};

}  // namespace vnpp::processing
