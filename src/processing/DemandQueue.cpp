#include "processing/DemandQueue.h"

#include <utility>

namespace vnpp::processing {

void TDemandQueue::Add(config::TPostProcGroupItem* group, bool catchUp) {
  common::MutexLock lock(mu_);
  demands_.push_back({group, catchUp});
  scheduleMode_.store(false);
}

void TDemandQueue::Clear() {
  common::MutexLock lock(mu_);
  demands_.clear();
  for (TRecompute& job : recomputes_) dropped_.push_back(std::move(job));
  recomputes_.clear();
  recomputeDropped_.store(true);
  scheduleMode_.store(true);
}

std::uint64_t TDemandQueue::AddRecompute(config::TPostProcGroupItem* group, common::TDateTime from,
                                         common::TDateTime to) {
  // Ids go on across threads: a client waiting for one never takes the report of a request
  // made to a thread started later.
  static std::atomic<std::uint64_t> lastRequestId{0};
  common::MutexLock lock(mu_);
  if (closed_) return 0;
  TRecompute job;
  job.RequestId = ++lastRequestId;
  job.Group = group;
  job.From = from;
  job.To = to;
  const std::uint64_t id = job.RequestId;
  recomputes_.push_back(std::move(job));
  return id;
}

bool TDemandQueue::Busy() {
  common::MutexLock lock(mu_);
  return !demands_.empty() || demandRunning_;
}

std::optional<TDemand> TDemandQueue::TakeDemand() {
  common::MutexLock lock(mu_);
  if (demands_.empty()) {
    scheduleMode_.store(true);
    return std::nullopt;
  }
  const TDemand demand = demands_.front();
  demands_.pop_front();
  demandRunning_ = true;
  return demand;
}

void TDemandQueue::EndDemand() {
  common::MutexLock lock(mu_);
  demandRunning_ = false;
}

std::vector<TRecompute> TDemandQueue::NextRecompute(std::optional<TRecompute>& current) {
  std::vector<TRecompute> dropped;
  common::MutexLock lock(mu_);
  dropped.swap(dropped_);
  if (recomputeDropped_.exchange(false) && current) {
    dropped.push_back(std::move(*current));
    current.reset();
  }
  if (!current && !recomputes_.empty()) {
    current = std::move(recomputes_.front());
    recomputes_.pop_front();
  }
  return dropped;
}

std::vector<TRecompute> TDemandQueue::Close() {
  std::vector<TRecompute> undone;
  common::MutexLock lock(mu_);
  closed_ = true;
  demands_.clear();
  demandRunning_ = false;
  undone.swap(dropped_);
  for (TRecompute& job : recomputes_) undone.push_back(std::move(job));
  recomputes_.clear();
  return undone;
}

TRecomputeReport RecomputeReport(const TRecompute& job, bool dropped) {
  // With the entry the request stopped in, when it was dropped there.
  TCheckCounts c = job.Counts;
  c += job.EntryCounts;
  TRecomputeReport report{job.RequestId, c.Windows, c.Inserted + c.Updated, c.Deleted,
                          job.FailedEntries};
  if (dropped && job.Group != nullptr && job.Entry < job.Group->Sensors.size()) {
    report.FailedEntries += static_cast<std::int64_t>(job.Group->Sensors.size() - job.Entry);
  }
  return report;
}

}  // namespace vnpp::processing
