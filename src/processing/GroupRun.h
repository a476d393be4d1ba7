// One run of a post-process group: every station/sensor entry is caught up window by
// window, each result stored and each entry's progress written back at once.
// Thread safety: runs on the processing thread only.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "common/DateTime.h"
#include "config/GroupModel.h"

namespace vnpp::common {
class ILog;
}
namespace vnpp::config {
class TConfiguration;
}
namespace vnpp::database {
class TDatabase;
}

namespace vnpp::processing {
struct TWindow;

class TGroupRunner {
 public:
  // The references must outlive the runner. stopRequested and scheduleMode are the
  // processing thread's flags, read between entries and windows.
  TGroupRunner(config::TConfiguration& config, database::TDatabase& database, common::ILog& log,
               const std::atomic<bool>& stopRequested, const std::atomic<bool>& scheduleMode);
  ~TGroupRunner();

  // Scheduled run: each entry up to and including the group's current period, never a
  // window that ends after the present.
  // Immediate run: each entry up to the period boundary at or after now.
  // Both return true when every entry was brought up to its limit; false when an entry
  // failed, the connection failed, or the run was stopped or cancelled before the end.
  bool RunGroup(config::TPostProcGroupItem& group);
  bool RunGroupNow(config::TPostProcGroupItem& group, common::TDateTime now);

  // One entry; true when it reached its limit, false when it failed (logged) or was stopped.
  bool ProcessSensor(config::TPostProcGroupItem& group, int index);
  bool ProcessSensorNow(config::TPostProcGroupItem& group, int index, common::TDateTime now);

  // hook runs before every data window (the processing thread's heartbeat).
  void SetWindowHook(std::function<void()> hook) { windowHook_ = std::move(hook); }

  // Number of entries that ended with an error since construction.
  long FailedEntries() const { return failedEntries_.load(); }
  // Number of windows computed and stored since construction.
  long Windows() const { return windows_.load(); }

 private:
  class TStatementsHolder;
  template <typename Walk>
  bool Run(config::TPostProcGroupItem& group, Walk walk);
  config::TStationSensorInfoItem& EntryAt(config::TPostProcGroupItem& group, int index);
  void ProcessWindow(config::TPostProcGroupItem& group, config::TStationSensorInfoItem& entry,
                     const TWindow& window);
  void LogError(const std::string& message);

  config::TConfiguration& config_;
  database::TDatabase& database_;
  common::ILog& log_;
  const std::atomic<bool>& stopRequested_;
  const std::atomic<bool>& scheduleMode_;
  std::unique_ptr<TStatementsHolder> statements_;  // for the connection of the current run
  std::atomic<long> failedEntries_{0};
  std::function<void()> windowHook_;
  std::atomic<long> windows_{0};
};

// "Data for" texts: the window start as date and time (time left out at midnight) and a
// value in general form with up to 15 significant digits, regional decimal separator.
std::string FormatWindowStart(common::TDateTime start);
std::string FormatResultValue(double value);

}  // namespace vnpp::processing
