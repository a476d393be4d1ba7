#include "processing/ResultBatch.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "common/Clock.h"
#include "common/Log.h"
#include "config/Configuration.h"
#include "database/Database.h"
#include "database/Odbc.h"
#include "processing/RunLog.h"
#include "store/BackgroundWriter.h"
#include "store/PPStatements.h"

namespace vnpp::processing {
namespace {

std::size_t EntriesOnFile(const config::TConfiguration& config) {
  const config::TPostProcGroups* groups = config.Groups();
  std::size_t n = 0;
  for (int i = 0; groups != nullptr && i < groups->Count(); ++i)
    n += groups->Item(i).Sensors.size();
  return n;
}

}  // namespace

TResultBatch::TResultBatch(database::TConnection& connection, store::TPPStatements& statements,
                           database::TDatabase& database, config::TConfiguration& config,
                           common::ILog& log, TRunCounters& counters)
    : connection_(connection),
      statements_(statements),
      database_(database),
      config_(config),
      log_(log),
      counters_(counters),
      writer_(statements),
      lastWrite_(common::Now()),
      entriesOnFile_(EntriesOnFile(config)) {}

TResultBatch::~TResultBatch() {
  // The results of this progress are committed: the sooner the file has it, the less a
  // crash costs. A failure is logged there; a destructor has nobody to tell beyond that.
  try {
    if (!unwritten_.empty()) WriteProgress();
  } catch (...) {
  }
}

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
  return windowsSinceCommit_ >= (background_ ? kWindowsPerBackgroundCommit : kWindowsPerCommit);
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
    if (statements_.UpsertDialect() == store::TUpsertDialect::PostgreSQL) {
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
  return KeepProgress();
}

bool TResultBatch::Finish() {
  const bool committed = Commit();
  return WriteProgress() && committed;
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
  return KeepProgress() && complete;
}

bool TResultBatch::KeepProgress() {
  config::TPostProcGroupItem* group = std::exchange(group_, nullptr);
  for (const TPendingEntry& p : pending_) {
    counters_.Windows += p.Windows;
    windowsSinceWrite_ += static_cast<std::size_t>(p.Windows);
    // The rows of the windows kept (a recovery may have cut the entry short).
    for (const TPendingRow& row : p.Rows) counters_.Rows += row.WindowsBefore < p.Windows ? 1 : 0;
    if (p.Progress == p.Entry->LastUpdate) continue;
    p.Entry->LastUpdate = p.Progress;
    if (group != nullptr && unwrittenSet_.insert(p.Entry).second) {
      unwritten_.emplace_back(group, p.Entry);
    }
  }
  pending_.clear();
  windowsSinceCommit_ = 0;
  return !ProgressDue() || WriteProgress();
}

bool TResultBatch::ProgressDue() const {
  const double elapsed = (common::Now() - lastWrite_) * common::kSecondsPerDay;
  // A clock set back counts as time passed: the lag stays bounded.
  if (elapsed < 0 || elapsed >= kProgressMaxInterval) return true;
  return elapsed >= kProgressMinInterval && windowsSinceWrite_ >= entriesOnFile_;
}

bool TResultBatch::WriteProgress() {
  lastWrite_ = common::Now();
  windowsSinceWrite_ = 0;
  if (unwritten_.empty()) return true;
  if (!config_.IsConfigFileOpen()) {
    unwritten_.clear();
    unwrittenSet_.clear();
    return true;
  }
  // One write per group (a run has one), its entries in the order their progress was kept.
  std::vector<config::TPostProcGroupItem*> groups;
  for (const auto& [group, entry] : unwritten_) {
    if (std::find(groups.begin(), groups.end(), group) == groups.end()) groups.push_back(group);
  }
  std::vector<const config::TStationSensorInfoItem*> entries;
  std::size_t failed = 0;
  std::string error;
  for (config::TPostProcGroupItem* group : groups) {
    entries.clear();
    for (const auto& u : unwritten_) {
      if (u.first == group) entries.push_back(u.second);
    }
    try {
      config_.WritePollUpdates(*group, entries);
      for (const config::TStationSensorInfoItem* entry : entries) unwrittenSet_.erase(entry);
    } catch (const std::exception& e) {
      failed += entries.size();
      error = e.what();
    }
  }
  std::erase_if(unwritten_, [&](const auto& u) { return unwrittenSet_.count(u.second) == 0; });
  if (failed == 0) return true;
  // The results are stored; the file lags behind them. The entries stay on the list for the
  // next write, and a run that ends first leaves those windows to the next run, which
  // computes them again.
  counters_.FailedEntries += static_cast<long>(failed);
  if (!config_.WriteBackRefused()) LogRunError(log_, error);  // else warned once at the load
  return false;
}

}  // namespace vnpp::processing
