// The log texts of a group run: its start and end, each window's result, the windows it
// does not store, the readings it could not use, the rows a check changed, and its errors.
// Thread safety: the functions hold no state; the log is called as ILog allows.
#pragma once

#include <string>

#include "common/DateTime.h"
#include "compute/PPDataItem.h"
#include "config/GroupModel.h"
#include "processing/RunCounters.h"

namespace vnpp::common {
class ILog;
}

namespace vnpp::processing {

struct TCheckCounts;

// "Data for" texts: the window start as date and time (time left out at midnight) and a
// value in general form with up to 15 significant digits, regional decimal separator.
std::string FormatWindowStart(common::TDateTime start);
std::string FormatResultValue(double value);

// Logs message behind "Error 1500: ".
void LogRunError(common::ILog& log, const std::string& message);
// One entry failed: logged and counted.
void EntryFailed(common::ILog& log, TRunCounters& counters, const std::string& message);
// The one line of a run whose connect was refused, for the entries that failed for it.
void LogEntriesNotConnected(common::ILog& log, const config::TPostProcGroupItem& group,
                            long entries);

// The start and the end of a group's run (by the log's detail level).
void LogRunStart(common::ILog& log, const config::TPostProcGroupItem& group);
void LogRunEnd(common::ILog& log, const config::TPostProcGroupItem& group);
// The result of the item's window (detail level 2).
void LogDataFor(common::ILog& log, const config::TStationSensorInfoItem& entry,
                const compute::TPPDataItem& item);
// A window whose result is not stored (item.Rejection says why).
void LogRejected(common::ILog& log, const config::TPostProcGroupItem& group,
                 const config::TStationSensorInfoItem& entry, const compute::TPPDataItem& item);
// The readings of an entry whose value was taken as missing, and those left out because
// their time tag does not sort as a time; nothing when there are none.
void ReportProblems(common::ILog& log, const config::TPostProcGroupItem& group,
                    const config::TStationSensorInfoItem& entry,
                    const compute::TPPDataItem::TValueProblems& problems);
// A time tag in a form that the database does not sort as a time, whose readings the range
// queries never see.
void LogUnsortableTag(common::ILog& log, const config::TPostProcGroupItem& group,
                      const config::TStationSensorInfoItem& entry, const std::string& tag);
// A DELTA group whose roll-over constant is no number; entry is the first that stays.
void LogBadRollover(common::ILog& log, const config::TPostProcGroupItem& group,
                    const config::TStationSensorInfoItem& entry);
// The windows of an entry whose rows a check changed (detail level 1); what names the cause.
void LogChanges(common::ILog& log, const config::TPostProcGroupItem& group,
                const config::TStationSensorInfoItem& entry, const TCheckCounts& counts,
                const char* what);

}  // namespace vnpp::processing
