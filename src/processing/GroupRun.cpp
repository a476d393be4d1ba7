#include "processing/GroupRun.h"

#include <cmath>
#include <cstdio>
#include <exception>

#include "common/Log.h"
#include "common/Regional.h"
#include "common/Text.h"
#include "compute/PPDataItem.h"
#include "config/Configuration.h"
#include "config/PScan.h"
#include "database/Database.h"
#include "processing/Calendar.h"

namespace vnpp::processing {
// The prepared statements live as long as one connection: from the connect at the start
// of a run to the disconnect at its end.
class TGroupRunner::TStatementsHolder {
 public:
  explicit TStatementsHolder(database::TConnection& connection) : statements(connection) {}
  compute::TPPStatements statements;
};

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

TGroupRunner::TGroupRunner(config::TConfiguration& config, database::TDatabase& database,
                           common::ILog& log, const std::atomic<bool>& stopRequested,
                           const std::atomic<bool>& scheduleMode)
    : config_(config),
      database_(database),
      log_(log),
      stopRequested_(stopRequested),
      scheduleMode_(scheduleMode) {}

TGroupRunner::~TGroupRunner() = default;

void TGroupRunner::LogError(const std::string& message) {
  log_.QueueMessage(std::string(common::kMsgErrorPrefix) + message);
}

template <typename Walk>
bool TGroupRunner::Run(config::TPostProcGroupItem& group, Walk walk) {
  bool complete = false;
  try {
    if (log_.LogDetail() >= 1) {
      log_.QueueMessage(config::FormatText(
          common::kMsgRetrieveData,
          {std::to_string(group.GroupNumber), common::UpperAscii(group.FuncName)}));
    }
    database_.ConnectDatabase(database::kSessionName);
    try {
      statements_ = std::make_unique<TStatementsHolder>(database_.Connection());
      complete = walk();
    } catch (...) {
      statements_.reset();
      database_.DisconnectDatabase();
      throw;
    }
    statements_.reset();
    database_.DisconnectDatabase();
    if (log_.LogDetail() >= 2) {
      log_.QueueMessage(config::FormatText(common::kMsgFinished, {group.FuncName}));
    }
  } catch (const std::exception& e) {
    LogError(e.what());
    complete = false;
  }
  return complete;
}

bool TGroupRunner::RunGroup(config::TPostProcGroupItem& group) {
  return Run(group, [&] {
    bool complete = true;
    for (int i = 0; i < static_cast<int>(group.Sensors.size()); ++i) {
      if (stopRequested_.load()) return false;
      complete = ProcessSensor(group, i) && complete;
    }
    return complete;
  });
}

bool TGroupRunner::RunGroupNow(config::TPostProcGroupItem& group, common::TDateTime now) {
  return Run(group, [&] {
    bool complete = true;
    for (int i = 0; i < static_cast<int>(group.Sensors.size()); ++i) {
      if (stopRequested_.load() || scheduleMode_.load()) return false;
      complete = ProcessSensorNow(group, i, now) && complete;
    }
    return complete;
  });
}

config::TStationSensorInfoItem& TGroupRunner::EntryAt(config::TPostProcGroupItem& group,
                                                      int index) {
  // Outside a run (a caller processing one entry) the statements go to the connection as it
  // stands.
  if (!statements_) statements_ = std::make_unique<TStatementsHolder>(database_.Connection());
  return *group.Sensors.at(static_cast<size_t>(index));
}

bool TGroupRunner::ProcessSensor(config::TPostProcGroupItem& group, int index) {
  try {
    config::TStationSensorInfoItem& entry = EntryAt(group, index);
    common::TDateTime from = entry.LastUpdate;
    if (from == 0 || from > group.WindowStart) from = group.WindowStart;
    // Window ends are compared in whole seconds: two date-time values of one instant may
    // differ in their last bits.
    const common::EpochSeconds last = common::DateTimeToEpoch(group.WindowStart);
    while (true) {
      if (stopRequested_.load()) return false;
      const std::optional<TWindow> w = WindowFor(group.TypeInterval, from, group.Interval);
      if (!w) return true;
      // After the clock was set back, the group's period may lie in the future: a window
      // that has not ended yet is never stored as done.
      if (common::DateTimeToEpoch(w->End) > NowEpoch()) return true;
      ProcessWindow(group, entry, *w);
      from = w->End;
      if (common::DateTimeToEpoch(w->End) > last) return true;
    }
  } catch (const std::exception& e) {
    ++failedEntries_;
    LogError(e.what());
    return false;
  }
}

bool TGroupRunner::ProcessSensorNow(config::TPostProcGroupItem& group, int index,
                                    common::TDateTime now) {
  try {
    config::TStationSensorInfoItem& entry = EntryAt(group, index);
    // A group never scheduled has WindowStart 0 and so processes nothing here.
    if (group.WindowStart == 0) return true;
    common::TDateTime from = entry.LastUpdate;
    if (from == 0 || from > group.WindowStart) from = group.WindowStart;
    const std::optional<TWindow> limitWindow = WindowFor(group.TypeInterval, now, group.Interval);
    std::optional<TWindow> w = WindowFor(group.TypeInterval, from, group.Interval);
    if (!limitWindow || !w) return true;
    const common::EpochSeconds limit = common::DateTimeToEpoch(limitWindow->Start);
    while (w && common::DateTimeToEpoch(w->End) < limit) {
      if (stopRequested_.load() || scheduleMode_.load()) return false;
      ProcessWindow(group, entry, *w);
      w = WindowFor(group.TypeInterval, w->End, group.Interval);
    }
    return true;
  } catch (const std::exception& e) {
    ++failedEntries_;
    LogError(e.what());
    return false;
  }
}

void TGroupRunner::ProcessWindow(config::TPostProcGroupItem& group,
                                 config::TStationSensorInfoItem& entry, const TWindow& window) {
  if (windowHook_) windowHook_();
  compute::TPPDataItem item(entry.StationID, entry.SensorName, window.Start, window.End,
                            group.DataType, group.Description, entry.DataLabel, entry.AltLabel,
                            group.Parameter, group.IsDelta(), group.BoundaryMode);
  item.RetrieveData(statements_->statements);
  item.Compute(group.FuncName);
  item.StoreResult(statements_->statements);
  ++windows_;
  if (log_.LogDetail() >= 2) {
    log_.QueueMessage(config::FormatText(
        common::kMsgDataFor, {entry.StationID, entry.SensorName, FormatWindowStart(window.Start),
                              FormatResultValue(item.PPValue)}));
  }
  entry.LastUpdate = window.End;
  if (config_.IsConfigFileOpen()) config_.WritePollUpdate(group, entry);
}

}  // namespace vnpp::processing
