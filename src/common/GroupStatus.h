// One post-process group as operators see it: taken by the processing thread, served on the
// bus by the automation object.
#pragma once

#include <cstdint>
#include <string>

#include "common/DateTime.h"

namespace vnpp::common {

// A snapshot row, taken after loading, after every run and as a run stores its windows.
struct TGroupStatus {
  int Index = 0;  // position in the group list, from 0
  std::string SectionName;
  bool Enabled = false;
  std::string FuncName;
  TDateTime NextDue = 0;           // DueTime while scheduled, else 0
  TDateTime OldestLastUpdate = 0;  // least LastUpdate of its entries; 0 without any
  TDateTime LastRunEnd = 0;        // see TPostProcGroupItem::LastRunEnd
  std::int64_t LastRunFailedEntries = 0;
  double Period = 0;  // its period in days when it was scheduled, else 0
  // Windows computed again over stored rows and the rows that changed, since processing
  // started (see TPostProcGroupItem::RecheckedWindows).
  std::int64_t RecheckedWindows = 0;
  std::int64_t ChangedRows = 0;
  // Windows found incomplete since processing started (TPostProcGroupItem).
  std::int64_t IncompleteWindows = 0;
};

}  // namespace vnpp::common
