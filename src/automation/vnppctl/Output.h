// vnppctl's output: the help text and how times, lags and the status table are written.
#pragma once

#include <string>
#include <vector>

#include "automation/BusNames.h"
#include "common/DateTime.h"

namespace vnpp::ctl {

// The text of "vnppctl --help".
extern const char kHelp[];

// Whether text is a whole decimal number, and which.
bool IsInteger(const std::string& text, long long* value);

// The local date-time t as the service writes it, "-" for none.
std::string TimeText(common::TDateTime t);

// "3d 4h", "2h 5m", "40s": how long ago t was; "-" for none, "ahead" for the future.
std::string LagText(common::TDateTime t, common::TDateTime now);

// What "status" prints.
struct TStatus {
  std::string BusName;  // "system" or "session"
  bool Running = false;
  std::string NextGroup;  // empty: none
  common::TDateTime NextTime = 0;
  std::vector<automation::TGroupStruct> Groups;
  std::vector<std::string> Problems;                           // the configuration's
  std::vector<automation::TGroupRecheckStruct> Recheck;        // empty: not offered
  std::vector<automation::TGroupIncompleteStruct> Incomplete;  // empty: not offered
};
std::string StatusText(const TStatus& status, common::TDateTime now);
// The same as one JSON object (status --json): times in ISO 8601 with the local offset, null
// for none; lags in seconds.
std::string StatusJson(const TStatus& status, common::TDateTime now);
// The local date-time t in ISO 8601 with its UTC offset ("2026-03-01T06:00:00+01:00").
std::string IsoTime(common::TDateTime t);

}  // namespace vnpp::ctl
