#include "processing/RunLog.h"

#include <cmath>
#include <cstdio>

#include "common/Log.h"
#include "common/PScan.h"
#include "common/Regional.h"
#include "common/Text.h"
#include "processing/WindowCheck.h"

namespace vnpp::processing {
namespace {

// A window whose result is not stored: the entry, the window and the reason.
constexpr const char* kMsgWindowRejected =
    "PollGroup %p: %p.%p, window %p: %p Nothing is stored for this window.";
// A DELTA group whose roll-over constant is no number: once per run.
constexpr const char* kMsgBadRollover =
    "DELTA - Unable to convert parameter string to RolloverConstant. PollGroup %p (%p), "
    "Parameter \"%p\": its entries, %p first, stay where they are.";
constexpr const char* kMsgValuesMissing =
    "PollGroup %p: %p.%p: %p readings taken as missing: %p not finite, %p not a number%p.";
constexpr const char* kMsgMisplaced =
    "PollGroup %p: %p.%p: %p readings left out: the database does not sort their time tag as "
    "a time (the first at %p). Store TIME_TAG as a time stamp, or in SQLite as text "
    "\"YYYY-MM-DD HH:MM:SS[.fff]\".";
constexpr const char* kMsgUnsortableTag =
    "PollGroup %p: %p.%p: readings with time tags such as \"%p\" are in no window: the database "
    "does not sort that form as a time. Store TIME_TAG as a time stamp, or in SQLite as text "
    "\"YYYY-MM-DD HH:MM:SS[.fff]\".";
// Windows of an entry and run that the completeness rule found incomplete.
constexpr const char* kMsgIncomplete = "PollGroup %p: %p incomplete windows of %p.%p %p (%p)";

// Windows computed again whose stored rows changed: the cause, the counts and the entry.
constexpr const char* kMsgRowsChanged =
    "PollGroup %p: %p changed %p windows of %p.%p (%p updated, %p inserted, %p deleted)";

}  // namespace

std::string FormatWindowStart(common::TDateTime start) {
  const common::TDateTimeParts p = common::DecodeDateTime(start);
  std::string text = common::FormatDateTimeText(start);
  if (p.Hour == 0 && p.Minute == 0 && p.Second == 0 && p.Millisecond == 0) {
    text.resize(10);  // the date part "mm/dd/yyyy"
  }
  return text;
}

std::string FormatResultValue(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15G", value);
  std::string text = buf;
  // "1.5E+20" -> "1.5E20", "1E-05" -> "1E-5"
  const size_t e = text.find('E');
  if (e != std::string::npos) {
    std::string mantissa = text.substr(0, e);
    std::string exponent = text.substr(e + 1);
    std::string sign;
    if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
      if (exponent[0] == '-') sign = "-";
      exponent.erase(0, 1);
    }
    while (exponent.size() > 1 && exponent[0] == '0') exponent.erase(0, 1);
    text = mantissa + "E" + sign + exponent;
  }
  const char dec = common::Regional().DecimalSeparator;
  if (dec != '.') {
    for (char& c : text) {
      if (c == '.') c = dec;
    }
  }
  return text;
}

void LogRunError(common::ILog& log, const std::string& message) {
  log.QueueMessage(std::string(common::kMsgErrorPrefix) + message);
}

void EntryFailed(common::ILog& log, TRunCounters& counters, const std::string& message) {
  ++counters.FailedEntries;
  LogRunError(log, message);
}

void LogEntriesNotConnected(common::ILog& log, const config::TPostProcGroupItem& group,
                            long entries) {
  LogRunError(log, common::FormatText("PollGroup %p: %p %p not processed: the database "
                                      "connection is closed. They keep their progress for the "
                                      "next run.",
                                      {std::to_string(group.GroupNumber), std::to_string(entries),
                                       entries == 1 ? "entry" : "entries"}));
}

void LogRunStart(common::ILog& log, const config::TPostProcGroupItem& group) {
  if (log.LogDetail() < 1) return;
  log.QueueMessage(
      common::FormatText(common::kMsgRetrieveData,
                         {std::to_string(group.GroupNumber), common::UpperAscii(group.FuncName)}));
}

void LogRunEnd(common::ILog& log, const config::TPostProcGroupItem& group) {
  if (log.LogDetail() < 2) return;
  log.QueueMessage(common::FormatText(common::kMsgFinished, {group.FuncName}));
}

void LogDataFor(common::ILog& log, const config::TStationSensorInfoItem& entry,
                const compute::TPPDataItem& item) {
  if (log.LogDetail() < 2) return;
  log.QueueMessage(common::FormatText(
      common::kMsgDataFor, {entry.StationID, entry.SensorName, FormatWindowStart(item.StartTime),
                            FormatResultValue(item.PPValue)}));
}

void LogRejected(common::ILog& log, const config::TPostProcGroupItem& group,
                 const config::TStationSensorInfoItem& entry, const compute::TPPDataItem& item) {
  LogRunError(
      log, common::FormatText(kMsgWindowRejected,
                              {std::to_string(group.GroupNumber), entry.StationID, entry.SensorName,
                               FormatWindowStart(item.StartTime), item.Rejection}));
}

void ReportProblems(common::ILog& log, const config::TPostProcGroupItem& group,
                    const config::TStationSensorInfoItem& entry,
                    const compute::TPPDataItem::TValueProblems& p) {
  const std::string number = std::to_string(group.GroupNumber);
  if (p.NonFinite + p.NotNumber > 0) {
    std::string example;
    if (p.NotNumber > 0) {
      example =
          ", for example \"" + p.Example + "\" at " + common::FormatDateTimeText(p.ExampleTime);
    }
    log.QueueMessage(common::FormatText(
        kMsgValuesMissing,
        {number, entry.StationID, entry.SensorName, std::to_string(p.NonFinite + p.NotNumber),
         std::to_string(p.NonFinite), std::to_string(p.NotNumber), example}));
  }
  if (p.Incomplete > 0 && log.LogDetail() >= 1) {
    std::string why;
    if (group.ReadingInterval > 0) {
      why = "coverage " + compute::CoverageText(p.CoverageLow) + " %";
      if (p.CoverageHigh != p.CoverageLow)
        why += " to " + compute::CoverageText(p.CoverageHigh) + " %";
    } else {
      why = "a gap longer than MaxGap";
    }
    log.QueueMessage(common::FormatText(
        kMsgIncomplete, {number, std::to_string(p.Incomplete), entry.StationID, entry.SensorName,
                         group.FlagIncomplete ? "flagged" : "skipped", why}));
  }
  if (p.Misplaced > 0) {
    log.QueueMessage(common::FormatText(
        kMsgMisplaced, {number, entry.StationID, entry.SensorName, std::to_string(p.Misplaced),
                        common::FormatDateTimeText(p.MisplacedTime)}));
  }
}

void LogUnsortableTag(common::ILog& log, const config::TPostProcGroupItem& group,
                      const config::TStationSensorInfoItem& entry, const std::string& tag) {
  log.QueueMessage(common::FormatText(kMsgUnsortableTag, {std::to_string(group.GroupNumber),
                                                          entry.StationID, entry.SensorName, tag}));
}

void LogBadRollover(common::ILog& log, const config::TPostProcGroupItem& group,
                    const config::TStationSensorInfoItem& entry) {
  LogRunError(log, common::FormatText(kMsgBadRollover,
                                      {std::to_string(group.GroupNumber), group.SectionName,
                                       group.Parameter, entry.StationID + "." + entry.SensorName}));
}

void LogChanges(common::ILog& log, const config::TPostProcGroupItem& group,
                const config::TStationSensorInfoItem& entry, const TCheckCounts& counts,
                const char* what) {
  if (counts.Changed() == 0 || log.LogDetail() < 1) return;
  log.QueueMessage(common::FormatText(
      kMsgRowsChanged, {std::to_string(group.GroupNumber), what, std::to_string(counts.Changed()),
                        entry.StationID, entry.SensorName, std::to_string(counts.Updated),
                        std::to_string(counts.Inserted), std::to_string(counts.Deleted)}));
}

}  // namespace vnpp::processing
