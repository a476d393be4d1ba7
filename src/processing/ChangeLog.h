// The change log of the readings as a group run uses it ([PostProcess] ChangeLog=1): which
// windows of an entry the logged changes touch, and how far a run raises the threshold up to
// which the database logs changes. The run itself is TGroupRunner::CheckChangeLog.
// Thread safety: the functions hold no state; TChangedWindows belongs to its caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/DateTime.h"
#include "config/GroupModel.h"
#include "processing/Calendar.h"
#include "processing/WindowPlan.h"
#include "store/ChangeLog.h"
#include "store/ReadingCursor.h"

namespace vnpp::common {
class ILog;
}
namespace vnpp::config {
class TConfiguration;
}
namespace vnpp::database {
class TConnection;
}

namespace vnpp::processing {

// The windows of an entry whose results its changes may alter: every window of the group's
// period that holds a time tag of a change's range, as the group's boundary mode assigns
// tags to windows (for DELTA also the window after each, whose difference starts from the
// last reading before it), merged and in order. Only windows the entry has computed are
// given: none that ends at or before its StartedFrom, none that ends after its LastUpdate
// (later windows are the walk's). An entry without progress has none.
class TChangedWindows {
 public:
  TChangedWindows(const config::TPostProcGroupItem& group,
                  const config::TStationSensorInfoItem& entry,
                  std::span<const store::TChange> changes);
  // The next windows, at most max of them; empty when there are no more.
  std::vector<store::TWindowSpan> Next(std::size_t max);

 private:
  int type_;
  common::TDateTime interval_;
  // Runs of consecutive windows, from the start of the first to the end of the last, in
  // whole seconds; in order, none overlapping or touching another.
  std::vector<std::pair<common::EpochSeconds, common::EpochSeconds>> runs_;
  std::size_t run_ = 0;
  std::optional<TWindow> next_;  // within runs_[run_]
};

// The threshold a run with limit raises entry's station and sensor to before it reads any
// reading: the end of the last window it may compute for the entry, or the entry's progress
// when that is later; 0 when the entry has neither.
common::TDateTime ThresholdOf(const config::TPostProcGroupItem& group,
                              const config::TStationSensorInfoItem& entry, const TRunLimit& limit);

// After a load with ChangeLog=1: finds out on connection whether the change log's tables are
// there, and records it in config; when they are missing, logs the one error that names the
// script to run, and the groups run as without the change log until the next load.
void ProbeChangeLog(config::TConfiguration& config, database::TConnection& connection,
                    common::ILog& log);

}  // namespace vnpp::processing
