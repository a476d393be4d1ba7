// The computed windows of a group run whose results are not committed yet: sent to the
// database, committed, recovered one row at a time after a failure, and each entry's progress
// written back once its results are committed.
//
// Each write of the progress rewrites the whole configuration file, so the batched way does
// not write after every commit: it keeps the committed progress and writes it when
// kProgressMinInterval has passed since the last write and at least one window per entry of
// the file has been committed since (each write's cost, which grows with the file, is spread
// over as many windows), or in any case once kProgressMaxInterval has passed; and always at
// Finish and when the batch goes. The file may so lag the result table by that much work,
// never lead it: a crash costs at most those windows, which the next run computes again.
// Thread safety: belongs to the processing thread; the background writer it may start works
// on a thread of its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/DateTime.h"
#include "config/GroupModel.h"
#include "processing/RunCounters.h"
#include "store/ResultWriter.h"

namespace vnpp::common {
class ILog;
}
namespace vnpp::config {
class TConfiguration;
}
namespace vnpp::store {
class TBackgroundWriter;
class TPPStatements;
}  // namespace vnpp::store
namespace vnpp::database {
class TConnection;
class TDatabase;
class TTransaction;
}  // namespace vnpp::database

namespace vnpp::processing {

// One computed window whose result waits to be committed.
struct TPendingRow {
  store::TResultValues Values;
  // The entry's progress and its windows computed before this row: what is kept when this
  // row cannot be stored.
  common::TDateTime ProgressBefore = 0;
  long WindowsBefore = 0;
};

class TResultBatch {
 public:
  // The results go out in transactions of about kWindowsPerCommit windows
  // (kWindowsPerBackgroundCommit with the background writer).
  static constexpr std::size_t kWindowsPerCommit = 2000;
  // With the background writer: each commit waits for the writer to drain, which idles the
  // run's reads, so its transactions are larger.
  static constexpr std::size_t kWindowsPerBackgroundCommit = 20000;
  static constexpr double kProgressMinInterval = 2.0;   // seconds
  static constexpr double kProgressMaxInterval = 10.0;  // seconds

  // statements are those of connection, the run's. database opens the second connection of
  // the PostgreSQL writer. Every reference must outlive the batch.
  TResultBatch(database::TConnection& connection, store::TPPStatements& statements,
               database::TDatabase& database, config::TConfiguration& config, common::ILog& log,
               TRunCounters& counters);
  // Drops what is not committed: the transaction rolls back, and the progress it held was
  // never written. The progress of what was committed is written if it was not yet.
  ~TResultBatch();
  TResultBatch(const TResultBatch&) = delete;
  TResultBatch& operator=(const TResultBatch&) = delete;

  // One computed window of entry (of group) that ends at windowEnd; row is empty for a
  // window without readings, which stores nothing but still moves the progress. A window of
  // another group first commits what is pending; false when that failed (logged).
  bool Add(config::TPostProcGroupItem& group, config::TStationSensorInfoItem& entry,
           const std::optional<store::TResultValues>& row, common::TDateTime windowEnd);
  // True when the windows since the last commit call for the next one.
  bool Full() const;
  // Sends the rows not sent yet: queued for the background writer where there is one, else
  // written on the run's connection inside the open transaction. Throws EDatabaseError.
  void Send();
  // Commits what is pending and keeps its progress, written to the file when it is due (see
  // above). Both log what fails; false when an entry's results or progress could not be kept.
  bool Commit();
  // Commit, then writes every progress kept and not yet written: the end of a run or a stop.
  bool Finish();
  // After a database failure: rolls the transaction back and stores its results one by one
  // outside a transaction. failing is the entry whose processing failed; its own error is
  // logged by the caller.
  bool Recover(const config::TStationSensorInfoItem* failing);

 private:
  // The windows of one entry that are not committed, in window order.
  struct TPendingEntry {
    config::TStationSensorInfoItem* Entry = nullptr;
    store::TResultKey Key;
    std::vector<TPendingRow> Rows;
    std::size_t Sent = 0;            // rows sent within the open transaction
    common::TDateTime Progress = 0;  // end of the last window computed
    long Windows = 0;                // windows computed, counted once their progress is kept
  };

  // Moves the progress of the pending windows (committed or recovered) into the entries and
  // onto the list to write, and writes the list when it is due.
  bool KeepProgress();
  bool ProgressDue() const;
  // Writes the progress on the list to the file; false (logged) when that failed, and the
  // list is then kept for the next write.
  bool WriteProgress();
  // The background writer, made on the first call where the database is PostgreSQL and a
  // second connection opens; else nullptr.
  store::TBackgroundWriter* Background();
  void Rollback();
  // The rows of p from its first one not sent.
  const std::vector<store::TResultValues>& Unsent(const TPendingEntry& p);

  database::TConnection& connection_;
  store::TPPStatements& statements_;
  database::TDatabase& database_;
  config::TConfiguration& config_;
  common::ILog& log_;
  TRunCounters& counters_;
  store::TResultWriter writer_;
  std::unique_ptr<store::TBackgroundWriter> background_;
  bool backgroundTried_ = false;
  std::unique_ptr<database::TTransaction> transaction_;  // of the run's connection
  config::TPostProcGroupItem* group_ = nullptr;
  std::vector<TPendingEntry> pending_;  // by entry in run order
  std::size_t windowsSinceCommit_ = 0;
  std::vector<store::TResultValues> unsent_;  // Unsent's storage
  // Committed progress not yet in the file, by group in first-kept order; each entry once.
  std::vector<std::pair<config::TPostProcGroupItem*, const config::TStationSensorInfoItem*>>
      unwritten_;
  std::unordered_set<const config::TStationSensorInfoItem*> unwrittenSet_;
  common::TDateTime lastWrite_ = 0;  // clock time of the last write, or of the batch's start
  std::size_t windowsSinceWrite_ = 0;
  const std::size_t entriesOnFile_;  // every group's entries, at the batch's start
};

}  // namespace vnpp::processing
