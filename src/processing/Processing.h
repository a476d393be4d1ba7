// Starting, stopping and steering the processing thread, as the main object offers it.
// Thread safety: every operation may be called from any thread. Start and stop serialise on
// lifecycleMu_, held across the wait for the thread's end; the other operations take only
// mu_, which is never held while waiting, logging or calling out.
// Lock order: lifecycleMu_ before mu_.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "common/Mutex.h"
#include "processing/ProcessThread.h"

namespace vnpp::processing {

class TProcessing {
 public:
  // drainMessages writes the messages the thread queued; it runs after the thread has
  // ended and before "Post processing service stopped." is logged, so nothing of a
  // finished run is lost when the program closes right after.
  // events go to every processing thread started here.
  TProcessing(config::TConfiguration& config, database::TDatabase& database, common::ILog& log,
              IStatusSink& status, std::function<void()> drainMessages, TProcessEvents events = {});
  ~TProcessing();  // stops processing

  void StartProcessing() EXCLUDES(mu_);
  void StopProcessing() EXCLUDES(mu_);
  // Stop, then start; a failure is logged as "Error 1500: " + its message.
  void RestartProcessing() EXCLUDES(mu_);
  bool IsProcessing() EXCLUDES(mu_);

  // Runs the group at 0-based list position index at once; nothing for another index,
  // without a thread, or while the thread is still loading its configuration.
  // catchUp: see TProcessThread::AddDemand.
  void RunProcessGroup(int index, bool catchUp = false) EXCLUDES(mu_);
  // Drops the immediate runs and the recompute requests.
  void StopProcessGroup() EXCLUDES(mu_);
  // Queues a recompute of every window of the group at list position index inside
  // [from, to) (TProcessThread::AddRecompute) and returns its request id; 0 with error set
  // (nothing queued) without a loaded processing thread, for an unknown index, an empty range
  // or a range that begins in the future.
  std::uint64_t Recompute(int index, common::TDateTime from, common::TDateTime to,
                          std::string& error) EXCLUDES(mu_);
  std::string NextPollGroup() EXCLUDES(mu_);
  common::TDateTime NextPollTime() EXCLUDES(mu_);
  // Every configured group as the running thread last saw it; after a stop, the last
  // thread's view without due times; empty before the first load.
  std::vector<TGroupStatus> GroupStatus() EXCLUDES(mu_);

  // The processing thread's last sign of progress as common::SteadyNanoseconds(), or 0
  // while no thread works (stopped, or ended on its own). Lock-free: the watchdog reads it
  // on the main thread even while another thread waits under mu_ for a stuck thread's end.
  std::int64_t Heartbeat() const { return heartbeat_.load(); }

  // A stop that the database kept from completing: the thread waits in a database call that
  // neither answered nor could be cancelled within kStopTimeout. It is left running (its
  // objects must outlive it: the program ends without freeing them), and no processing
  // starts again until it has ended.
  bool Abandoned() EXCLUDES(mu_);
  // Called once a second on the main thread: logs once per call when a database call has
  // taken longer than the database's answer timeout.
  void WatchDatabase();

  static constexpr std::chrono::seconds kStopTimeout{10};

  // For the catch-up command.
  bool Loaded() EXCLUDES(mu_);
  bool DemandBusy() EXCLUDES(mu_);
  long FailedEntries() EXCLUDES(mu_);
  long IncompleteRuns() EXCLUDES(mu_);

 private:
  // Takes the thread out, stops it, waits for it and logs the stop. REQUIRES: lifecycleMu_.
  void StopLocked() EXCLUDES(mu_);

  config::TConfiguration& config_;
  database::TDatabase& database_;
  common::ILog& log_;
  IStatusSink& status_;
  std::function<void()> drainMessages_;
  const TProcessEvents events_;

  std::mutex lifecycleMu_;
  common::Mutex mu_;
  // Each wake event is declared before its thread, so that a thread still held when the
  // members are destroyed goes first: its destructor signals the event.
  std::unique_ptr<common::AutoResetEvent> WakeEvent GUARDED_BY(mu_);
  std::unique_ptr<TProcessThread> ProcessThread GUARDED_BY(mu_);
  long failedBefore_ GUARDED_BY(mu_) = 0;
  long incompleteBefore_ GUARDED_BY(mu_) = 0;
  std::atomic<std::int64_t> heartbeat_{0};
  // A thread a stop had to leave behind, with the wake event it waits on.
  std::unique_ptr<common::AutoResetEvent> abandonedWake_ GUARDED_BY(mu_);
  std::unique_ptr<TProcessThread> abandoned_ GUARDED_BY(mu_);
  // Main thread only (WatchDatabase): the database call last reported as not answering.
  double reportedBusy_ = 0;
  std::vector<TGroupStatus> stoppedStatus_ GUARDED_BY(mu_);
};

}  // namespace vnpp::processing
