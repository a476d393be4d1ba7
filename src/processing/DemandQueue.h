// The requests the processing thread takes between its scheduled runs: groups to run at once
// (the demand list) and recomputes of stored windows, with the requests that ClearDemand
// dropped until their reports go out.
// Thread safety: Add, Clear, AddRecompute and Busy may be called from any thread; the rest
// belongs to the processing thread. Every member takes mu_ for itself; no call goes out
// under it.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "common/DateTime.h"
#include "common/Mutex.h"
#include "config/GroupModel.h"
#include "processing/RunReports.h"
#include "processing/WindowCheck.h"

namespace vnpp::processing {

// One request to run a group at once. CatchUp: the run also waits for each window's
// BaseTime.
struct TDemand {
  config::TPostProcGroupItem* Group = nullptr;
  bool CatchUp = false;
};

class TDemandQueue {
 public:
  // scheduleMode is the processing thread's flag: cleared by a demand, set by Clear and by
  // TakeDemand on an empty list. It must outlive the queue.
  explicit TDemandQueue(std::atomic<bool>& scheduleMode) : scheduleMode_(scheduleMode) {}

  void Add(config::TPostProcGroupItem* group, bool catchUp) EXCLUDES(mu_);
  // Drops the demands and the recompute requests, the one in progress too (RecomputeDropped).
  void Clear() EXCLUDES(mu_);
  // A recompute of group over [from, to); its id, unique in the process, or 0 once Close
  // was called.
  std::uint64_t AddRecompute(config::TPostProcGroupItem* group, common::TDateTime from,
                             common::TDateTime to) EXCLUDES(mu_);
  // True while a demand is waiting or running.
  bool Busy() EXCLUDES(mu_);

  // The next demand, marked running until EndDemand; empty when the list is empty, and
  // scheduling is then back on.
  std::optional<TDemand> TakeDemand() EXCLUDES(mu_);
  void EndDemand() EXCLUDES(mu_);

  // The requests dropped since the last call, current among them when it was dropped; then,
  // when current is empty, the next request is moved into it.
  std::vector<TRecompute> NextRecompute(std::optional<TRecompute>& current) EXCLUDES(mu_);
  // True once Clear dropped the recompute in progress, until NextRecompute takes that up.
  bool RecomputeDropped() const { return recomputeDropped_.load(); }
  // At the end of the thread: no request is taken any more; returns every one not done.
  std::vector<TRecompute> Close() EXCLUDES(mu_);

 private:
  std::atomic<bool>& scheduleMode_;
  common::Mutex mu_;
  std::deque<TDemand> demands_ GUARDED_BY(mu_);
  bool demandRunning_ GUARDED_BY(mu_) = false;
  std::deque<TRecompute> recomputes_ GUARDED_BY(mu_);
  std::vector<TRecompute> dropped_ GUARDED_BY(mu_);
  bool closed_ GUARDED_BY(mu_) = false;  // the thread is ending
  // Set by Clear: the recompute in progress is dropped too.
  std::atomic<bool> recomputeDropped_{false};
};

// The report of a request that ended; a dropped one counts the entries it did not reach as
// failed.
TRecomputeReport RecomputeReport(const TRecompute& job, bool dropped);

}  // namespace vnpp::processing
