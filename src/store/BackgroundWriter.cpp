#include "store/BackgroundWriter.h"

#include <utility>

namespace vnpp::store {

TBackgroundWriter::TBackgroundWriter(std::unique_ptr<database::TConnection> connection)
    : connection_(std::move(connection)), statements_(*connection_), writer_(statements_) {
  thread_ = std::thread([this] { Main(); });
}

TBackgroundWriter::~TBackgroundWriter() {
  // Stopping with writes queued: the owner gave up the run, and their transaction with it.
  jobs_.Stop();
  thread_.join();
  transaction_.reset();
}

void TBackgroundWriter::Write(const TResultKey& key, std::vector<TResultValues> rows) {
  jobs_.Push({key, std::move(rows)});
}

void TBackgroundWriter::Wait() {
  jobs_.WaitIdle();
  std::exception_ptr error;
  {
    common::MutexLock lock(errorMu_);
    error = std::exchange(error_, nullptr);
  }
  if (error) std::rethrow_exception(error);
}

void TBackgroundWriter::Commit() {
  if (!transaction_) return;
  try {
    transaction_->Commit();
  } catch (...) {
    transaction_.reset();
    throw;
  }
  transaction_.reset();
}

void TBackgroundWriter::Rollback() { transaction_.reset(); }

void TBackgroundWriter::Main() {
  while (std::optional<TJob> job = jobs_.Pop()) {
    bool skip = false;
    {
      common::MutexLock lock(errorMu_);
      skip = error_ != nullptr;  // after a failed write the later ones wait for Wait
    }
    if (!skip) {
      try {
        if (!transaction_) {
          // The dialect is found out before the transaction: a refused probe would spoil it.
          statements_.UpsertDialect();
          transaction_.emplace(*connection_);
        }
        writer_.Write(job->Key, job->Rows);
      } catch (...) {
        common::MutexLock lock(errorMu_);
        error_ = std::current_exception();
      }
    }
    jobs_.Done();
  }
}

}  // namespace vnpp::store
