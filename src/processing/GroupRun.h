// One run of a post-process group: every station/sensor entry is caught up window by
// window, each result stored and each entry's progress written back.
//
// The readings of an entry come in runs of up to kWindowsPerRead windows per query, and the
// results go out in multi-row statements inside transactions of about kWindowsPerCommit
// windows. Progress is written to the configuration file only after the transaction that
// holds its results has been committed: the file may lag the result table, never lead it,
// so a crash costs at most the windows of the open transaction, which the next run computes
// again with the same results.
// Thread safety: runs on the processing thread only.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/DateTime.h"
#include "compute/PPDataItem.h"
#include "config/GroupModel.h"

namespace vnpp::common {
class ILog;
}
namespace vnpp::config {
class TConfiguration;
}
namespace vnpp::compute {
class TResultWriter;
}  // namespace vnpp::compute
namespace vnpp::database {
class TConnection;
class TDatabase;
}  // namespace vnpp::database

namespace vnpp::processing {
struct TWindow;
class TBackgroundWriter;

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

  // One window per query and per statement, each result on its own and each entry's
  // progress written after every window: the way of TPPDataItem's own statements, kept to
  // check the batched way against. Off by default.
  void SetWindowAtATime(bool on) { windowAtATime_ = on; }

  // Windows per range query and rows it may bring at most (tests make them small).
  void SetReadLimits(std::size_t windowsPerRead, std::size_t rowsPerRead) {
    windowsPerRead_ = windowsPerRead > 0 ? windowsPerRead : 1;
    rowsPerRead_ = rowsPerRead;
  }

  static constexpr std::size_t kWindowsPerRead = 720;
  static constexpr std::size_t kWindowsPerCommit = 2000;

 private:
  class TStatementsHolder;
  struct TPendingEntry;
  // Gives the next window of an entry; false when there is none left before its limit.
  using TNextWindow = std::function<bool(TWindow&)>;

  template <typename Walk>
  bool Run(config::TPostProcGroupItem& group, Walk walk);
  config::TStationSensorInfoItem& EntryAt(config::TPostProcGroupItem& group, int index);
  // Both: true when the entry reached its limit. cancelled is asked before each window.
  bool WalkEntry(config::TPostProcGroupItem& group, config::TStationSensorInfoItem& entry,
                 const TNextWindow& next, const std::function<bool()>& cancelled);
  bool WalkEntryBatched(config::TPostProcGroupItem& group, config::TStationSensorInfoItem& entry,
                        const TNextWindow& next, const std::function<bool()>& cancelled,
                        compute::TPPDataItem::TValueProblems& problems);
  void ProcessWindow(config::TPostProcGroupItem& group, config::TStationSensorInfoItem& entry,
                     const TWindow& window, compute::TPPDataItem::TValueProblems& problems);
  // Once per entry and run: the readings whose value was taken as missing, and those that
  // came with a window they are not in.
  void ReportProblems(const config::TPostProcGroupItem& group,
                      const config::TStationSensorInfoItem& entry,
                      const compute::TPPDataItem::TValueProblems& problems);
  // A window whose result is not stored (item.Rejection says why).
  void LogRejected(const config::TPostProcGroupItem& group,
                   const config::TStationSensorInfoItem& entry, const compute::TPPDataItem& item);
  // Both log what fails; false when an entry's results or progress could not be kept.
  // Settle commits the open transaction and writes the progress it holds.
  bool Settle();
  // After a database failure: rolls the transaction back and stores its results one by one
  // outside a transaction. failing is the entry whose processing failed; its own error is
  // logged by the caller.
  bool Recover(const config::TStationSensorInfoItem* failing);
  bool WriteProgress();
  // Sends the rows not sent yet: queued for the background writer where there is one,
  // else written on the run's connection, inside the open transaction.
  void SendPending();
  // The background writer of the run's connection, made on the first call where the
  // database is PostgreSQL and a second connection opens; else nullptr.
  TBackgroundWriter* Background();
  // Where the results go: the background writer's connection and writer, or the run's.
  // REQUIRES: the background writer (if any) is idle.
  database::TConnection& WriteConnection();
  compute::TResultWriter& ResultWriter();
  // One entry failed: logged behind "Error 1500: " and counted.
  void EntryFailed(const std::string& message);
  // An entry's processing threw: after a database error the open transaction is recovered
  // first; then the entry has failed.
  void EntryError(const config::TStationSensorInfoItem* entry, const std::exception& e);
  void LogError(const std::string& message);

  config::TConfiguration& config_;
  database::TDatabase& database_;
  common::ILog& log_;
  const std::atomic<bool>& stopRequested_;
  const std::atomic<bool>& scheduleMode_;
  std::unique_ptr<TStatementsHolder> statements_;  // for the connection of the current run
  std::atomic<long> failedEntries_{0};
  bool windowAtATime_ = false;
  std::size_t windowsPerRead_ = kWindowsPerRead;
  std::size_t rowsPerRead_ = 0;  // 0: the cursor's default
  bool inRun_ = false;           // inside RunGroup or RunGroupNow: entries settle at the end
  // Results and progress of the open transaction (or not yet sent), by entry in run order.
  config::TPostProcGroupItem* pendingGroup_ = nullptr;
  std::vector<std::unique_ptr<TPendingEntry>> pending_;
  std::size_t windowsSinceCommit_ = 0;
  std::function<void()> windowHook_;
  std::atomic<long> windows_{0};
  // The group whose bad roll-over constant this run has reported (once per run).
  const config::TPostProcGroupItem* rolloverReported_ = nullptr;
};

// "Data for" texts: the window start as date and time (time left out at midnight) and a
// value in general form with up to 15 significant digits, regional decimal separator.
std::string FormatWindowStart(common::TDateTime start);
std::string FormatResultValue(double value);

}  // namespace vnpp::processing
