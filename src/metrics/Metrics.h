// Operators' metrics of the service: what the group runs did, how far each group lags,
// when it runs next, and how many messages the log wrote, in the Prometheus text format.
//
// Thread safety: every member may be called from any thread. The calls that record
// (RunProgress, RunFinished, LogMessage) add to the library's counters, gauges and
// histograms; they take a lock only to find a group's series and never call out while
// holding it. A scrape (Text, or the endpoint's collect) asks the processing view first,
// without any lock of ours, then sets the gauges read at a scrape and collects; it never
// waits for a group run and no recording call ever waits for a scrape's output to be sent.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/GroupStatus.h"
#include "common/Mutex.h"
#include "processing/RunReports.h"

namespace prometheus {
class Collectable;
}

namespace vnpp::metrics {

// What a scrape reads from processing at the moment it runs.
struct TProcessingView {
  bool Running = false;
  std::vector<common::TGroupStatus> Groups;  // in list order
};

class TMetrics {
 public:
  // view is called on every scrape, on the scraping thread, without any lock of this object.
  // It must not wait for a group run (TProcessing::GroupStatus and IsProcessing do not).
  explicit TMetrics(std::function<TProcessingView()> view);
  ~TMetrics();
  TMetrics(const TMetrics&) = delete;
  TMetrics& operator=(const TMetrics&) = delete;

  // processing::TProcessEvents::RunProgress: the counts a run (or a recompute batch) added.
  void RunProgress(const processing::TGroupRunReport& added);
  // processing::TProcessEvents::GroupRunFinished: a run that went to its end.
  void RunFinished(const processing::TGroupRunReport& run);
  // One message written by the message log, with its syslog priority (3 error, 4 warning,
  // anything else informational).
  void LogMessage(int priority);

  // Every series in the text exposition format, as the endpoint serves it.
  std::string Text() const;
  // The collectable the endpoint registers; shares this object's lifetime.
  std::shared_ptr<prometheus::Collectable> Collectable();

  // Upper bounds of the run duration histogram's buckets, in seconds (+Inf follows).
  static constexpr std::array<double, 12> kDurationBuckets = {0.1, 0.5, 1,   5,   10,   30,
                                                              60,  120, 300, 900, 1800, 3600};

 private:
  class TImpl;
  std::shared_ptr<TImpl> impl_;  // shared with the endpoint's collectable
};

// The local date-time t as seconds since 1970-01-01 00:00:00 UTC.
double UnixSeconds(common::TDateTime t);

}  // namespace vnpp::metrics
