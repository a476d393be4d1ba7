#include "processing/ResultBatch.h"

#include <exception>
#include <utility>

#include "common/Log.h"
#include "config/Configuration.h"
#include "database/Database.h"
#include "database/Odbc.h"
#include "store/BackgroundWriter.h"
#include "store/PPStatements.h"

namespace vnpp::processing {

void LogRunError(common::ILog& log, const std::string& message) {
  log.QueueMessage(std::string(common::kMsgErrorPrefix) + message);
}

void EntryFailed(common::ILog& log, TRunCounters& counters, const std::string& message) {
  ++counters.FailedEntries;
  LogRunError(log, message);
}

TResultBatch::TResultBatch(database::TConnection& connection, store::TPPStatements& statements,
                           database::TDatabase& database, config::TConfiguration& config,
                           common::ILog& log, TRunCounters& counters, TMode mode)
    : connection_(connection),
      statements_(statements),
      database_(database),
      config_(config),
      log_(log),
      counters_(counters),
      mode_(mode),
      writer_(statements) {}

TResultBatch::~TResultBatch() = default;

bool TResultBatch::Add(config::TPostProcGroupItem& group, config::TStationSensorInfoItem& entry,
                       const std::optional<store::TResultValues>& row,
                       common::TDateTime windowEnd) {
  if (pending_.empty() || pending_.back().Entry != &entry || group_ != &group) {
    if (group_ != &group && !pending_.empty() && !Commit()) return false;
    TPendingEntry p;
    p.Entry = &entry;
    p.Key = {entry.StationID, entry.DataLabel, group.FuncName, entry.SensorName, entry.AltLabel};
    p.Progress = entry.LastUpdate;
    pending_.push_back(std::move(p));
    group_ = &group;
  }
  TPendingEntry& p = pending_.back();
  if (row) p.Rows.push_back({*row, p.Progress, p.Windows});
  p.Progress = windowEnd;
  ++p.Windows;
  ++windowsSinceCommit_;
  return true;
}

bool TResultBatch::Full() const {
  return windowsSinceCommit_ >= (mode_ == TMode::WindowAtATime ? 1 : kWindowsPerCommit);
}

const std::vector<store::TResultValues>& TResultBatch::Unsent(const TPendingEntry& p) {
  unsent_.clear();
  for (std::size_t i = p.Sent; i < p.Rows.size(); ++i) unsent_.push_back(p.Rows[i].Values);
  return unsent_;
}

store::TBackgroundWriter* TResultBatch::Background() {
  if (!backgroundTried_) {
    backgroundTried_ = true;
    // Only where reading and writing at once pays and is safe: a SQLite reader would hold
    // off the writer's commit.
    if (mode_ == TMode::Batched &&
        statements_.UpsertDialect() == store::TUpsertDialect::PostgreSQL) {
      try {
        background_ = std::make_unique<store::TBackgroundWriter>(database_.OpenConnection());
      } catch (const database::EDatabaseError&) {
        // No second connection (a connection limit, say): the results go the first one.
      }
    }
  }
  return background_.get();
}

void TResultBatch::Send() {
  for (TPendingEntry& p : pending_) {
    if (p.Sent == p.Rows.size()) continue;
    if (mode_ == TMode::WindowAtATime) {
      for (; p.Sent < p.Rows.size(); ++p.Sent) writer_.WriteOne(p.Key, p.Rows[p.Sent].Values);
      continue;
    }
    if (store::TBackgroundWriter* background = Background()) {
      background->Write(p.Key, Unsent(p));
    } else {
      if (!transaction_) {
        // The dialect is found out before the transaction: a refused probe would spoil it.
        statements_.UpsertDialect();
        transaction_ = std::make_unique<database::TTransaction>(connection_);
      }
      writer_.Write(p.Key, Unsent(p));
    }
    p.Sent = p.Rows.size();
  }
}

void TResultBatch::Rollback() {
  transaction_.reset();
  if (background_) background_->Rollback();
}

bool TResultBatch::Commit() {
  if (pending_.empty()) {
    windowsSinceCommit_ = 0;
    return true;
  }
  try {
    Send();
    if (background_) {
      background_->Wait();
      background_->Commit();
    }
    if (transaction_) {
      std::unique_ptr<database::TTransaction> transaction = std::move(transaction_);
      transaction->Commit();
    }
  } catch (const database::EDatabaseError&) {
    ++counters_.DatabaseErrors;
    // Whatever cannot be stored on its own is logged with its entry there.
    return Recover(nullptr);
  }
  return WriteProgress();
}

bool TResultBatch::Recover(const config::TStationSensorInfoItem* failing) {
  if (background_) {
    try {
      background_->Wait();
    } catch (const database::EDatabaseError&) {
      // Found again below, with its entry, when that row is stored on its own.
    }
  }
  Rollback();
  store::TResultWriter& writer = background_ ? background_->Writer() : writer_;
  bool complete = true;
  for (TPendingEntry& p : pending_) {
    for (const TPendingRow& row : p.Rows) {
      try {
        writer.WriteOne(p.Key, row.Values);
      } catch (const std::exception& e) {
        if (dynamic_cast<const database::EDatabaseError*>(&e) != nullptr)
          ++counters_.DatabaseErrors;
        // The entry stops before the window that cannot be stored, as if it had failed there.
        p.Progress = row.ProgressBefore;
        p.Windows = row.WindowsBefore;
        if (p.Entry != failing) EntryFailed(log_, counters_, e.what());
        complete = false;
        break;
      }
    }
  }
  return WriteProgress() && complete;
}

bool TResultBatch::WriteProgress() {
  std::vector<const config::TStationSensorInfoItem*> changed;
  for (const TPendingEntry& p : pending_) {
    counters_.Windows += p.Windows;
    // The rows of the windows kept (a recovery may have cut the entry short).
    for (const TPendingRow& row : p.Rows) counters_.Rows += row.WindowsBefore < p.Windows ? 1 : 0;
    if (p.Progress == p.Entry->LastUpdate) continue;
    p.Entry->LastUpdate = p.Progress;
    changed.push_back(p.Entry);
  }
  config::TPostProcGroupItem* group = std::exchange(group_, nullptr);
  pending_.clear();
  windowsSinceCommit_ = 0;
  if (changed.empty() || group == nullptr || !config_.IsConfigFileOpen()) return true;
  try {
    config_.WritePollUpdates(*group, changed);
    return true;
  } catch (const std::exception& e) {
    // The results are stored; the file lags behind them and the next run computes those
    // windows again.
    counters_.FailedEntries += static_cast<long>(changed.size());
    LogRunError(log_, e.what());
    return false;
  }
}

}  // namespace vnpp::processing
