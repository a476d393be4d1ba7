#include "store/BackgroundWriter.h"

#include <utility>

namespace vnpp::store {

TBackgroundWriter::TBackgroundWriter(std::unique_ptr<database::TConnection> connection)
    : connection_(std::move(connection)), statements_(*connection_), writer_(statements_) {
  thread_ = std::thread([this] { Main(); });
}

TBackgroundWriter::~TBackgroundWriter() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  work_.notify_one();
  thread_.join();
  transaction_.reset();
}

void TBackgroundWriter::Write(const store::TResultKey& key,
                              std::vector<store::TResultValues> rows) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    jobs_.push_back({key, std::move(rows)});
  }
  work_.notify_one();
}

void TBackgroundWriter::Wait() {
  std::exception_ptr error;
  {
    std::unique_lock<std::mutex> lock(mu_);
    idle_.wait(lock, [this] { return jobs_.empty() && !busy_; });
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
  while (true) {
    TJob job;
    bool skip = false;
    {
      std::unique_lock<std::mutex> lock(mu_);
      work_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
      // Stopping with writes queued: the owner gave up the run, and their transaction with it.
      if (stop_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
      busy_ = true;
      skip = error_ != nullptr;
    }
    std::exception_ptr error;
    if (!skip) {
      try {
        if (!transaction_) {
          // The dialect is found out before the transaction: a refused probe would spoil it.
          statements_.UpsertDialect();
          transaction_.emplace(*connection_);
        }
        writer_.Write(job.Key, job.Rows);
      } catch (...) {
        error = std::current_exception();
      }
    }
    bool idle = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      busy_ = false;
      if (error && !error_) error_ = error;
      idle = jobs_.empty();
    }
    if (idle) idle_.notify_all();
  }
}

}  // namespace vnpp::store
