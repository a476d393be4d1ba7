#include "metrics/Metrics.h"

#include <prometheus/collectable.h>
#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <map>
#include <utility>

#include "common/Clock.h"
#include "common/DateTime.h"
#include "common/Mutex.h"

#ifndef VNPP_VERSION
#define VNPP_VERSION "unknown"
#endif

namespace vnpp::metrics {
namespace {

using prometheus::Counter;
using prometheus::Family;
using prometheus::Gauge;
using prometheus::Histogram;
using prometheus::Labels;

double UnixNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

Labels GroupLabels(const std::string& group, const std::string& function) {
  return {{"group", group}, {"function", function}};
}

// A family of gauges whose series are those of the last scrape.
class TScrapeGauges {
 public:
  explicit TScrapeGauges(Family<Gauge>& family) : family_(family) {}
  void Clear() {
    for (Gauge* gauge : present_) family_.Remove(gauge);
    present_.clear();
  }
  void Set(const Labels& labels, double value) {
    Gauge& gauge = family_.Add(labels);
    gauge.Set(value);
    present_.push_back(&gauge);
  }

 private:
  Family<Gauge>& family_;
  std::vector<Gauge*> present_;
};

}  // namespace

double UnixSeconds(common::TDateTime t) {
  return static_cast<double>(common::LocalToUnixSeconds(t)) +
         common::DecodeDateTime(t).Millisecond / 1000.0;
}

// The registry with every family, and the collectable the endpoint serves: a collect sets
// the gauges read at a scrape, then collects the registry.
class TMetrics::TImpl final : public prometheus::Collectable {
 public:
  explicit TImpl(std::function<TProcessingView()> view);
  std::vector<prometheus::MetricFamily> Collect() const override;

  // The series of one (group, function) label pair. Never removed: the references stay
  // valid.
  struct TGroupSeries {
    Counter& Windows;
    Counter& Rows;
    Counter& FailedEntries;
    Counter& DatabaseErrors;
    Counter& ChangedRows;  // by checks over stored rows
    Counter& IncompleteWindows;
    Gauge& FailedRunsInARow;
    Histogram& Duration;
    Gauge* LastSuccess = nullptr;  // added at the first clean run
  };
  TGroupSeries& Series(const std::string& group, const std::string& function) const
      EXCLUDES(seriesMu_);
  // The last success of series, added to its family at the first one.
  Gauge& LastSuccess(TGroupSeries& series, const std::string& group, const std::string& function)
      EXCLUDES(seriesMu_);

  std::array<Counter*, 3> LogMessages{};  // error, warning, info

 private:
  const std::function<TProcessingView()> view_;
  const std::shared_ptr<prometheus::Registry> registry_ = std::make_shared<prometheus::Registry>();

  Family<Gauge>& buildInfo_;
  Family<Gauge>& start_;
  Family<Gauge>& running_;
  Family<Counter>& log_;
  Family<Gauge>& lag_;
  Family<Gauge>& period_;
  Family<Gauge>& next_;
  Family<Counter>& windows_;
  Family<Counter>& rows_;
  Family<Counter>& failures_;
  Family<Counter>& dbErrors_;
  Family<Counter>& changed_;
  Family<Counter>& incomplete_;
  Family<Gauge>& failedRuns_;
  Family<Gauge>& success_;
  Family<Histogram>& duration_;

  mutable common::Mutex seriesMu_;
  mutable std::map<std::pair<std::string, std::string>, std::unique_ptr<TGroupSeries>> series_
      GUARDED_BY(seriesMu_);

  // One scrape at a time sets the gauges read at a scrape and collects them.
  mutable common::Mutex scrapeMu_;
  Gauge& runningGauge_;
  mutable TScrapeGauges lagGauges_ GUARDED_BY(scrapeMu_);
  mutable TScrapeGauges periodGauges_ GUARDED_BY(scrapeMu_);
  mutable TScrapeGauges nextGauges_ GUARDED_BY(scrapeMu_);
};

namespace {

template <typename T>
Family<T>& Build(prometheus::detail::Builder<T> builder, prometheus::Registry& registry,
                 const char* name, const char* help) {
  return builder.Name(name).Help(help).Register(registry);
}

}  // namespace

TMetrics::TImpl::TImpl(std::function<TProcessingView()> view)
    : view_(std::move(view)),
      buildInfo_(Build(prometheus::BuildGauge(), *registry_, "vnppsvc_build_info",
                       "Always 1; the label version names the running build.")),
      start_(Build(prometheus::BuildGauge(), *registry_, "vnppsvc_start_time_seconds",
                   "When the service started, in Unix time.")),
      running_(Build(prometheus::BuildGauge(), *registry_, "vnppsvc_processing_running",
                     "1 while the processing thread runs (automation Status), else 0.")),
      log_(Build(prometheus::BuildCounter(), *registry_, "vnppsvc_log_messages_total",
                 "Messages written by the message log, by level.")),
      lag_(Build(prometheus::BuildGauge(), *registry_, "vnppsvc_group_lag_seconds",
                 "Now minus the oldest progress (POLLUpdate) of the group's entries; enabled "
                 "groups with entries only.")),
      period_(Build(prometheus::BuildGauge(), *registry_, "vnppsvc_group_period_seconds",
                    "Length of the group's period (its data window); scheduled groups only.")),
      next_(Build(prometheus::BuildGauge(), *registry_, "vnppsvc_group_next_run_timestamp_seconds",
                  "When the group is due next, in Unix time; scheduled groups only.")),
      windows_(Build(prometheus::BuildCounter(), *registry_, "vnppsvc_windows_computed_total",
                     "Data windows computed and stored (their progress kept).")),
      rows_(Build(prometheus::BuildCounter(), *registry_, "vnppsvc_rows_written_total",
                  "Result rows written to VN_PPDATA1 (windows without readings write none).")),
      failures_(Build(prometheus::BuildCounter(), *registry_, "vnppsvc_entry_failures_total",
                      "Station/sensor entries whose processing ended with an error.")),
      dbErrors_(Build(prometheus::BuildCounter(), *registry_, "vnppsvc_database_errors_total",
                      "Database statements of group runs that failed (a refused connection "
                      "fails each entry's first query).")),
      changed_(Build(prometheus::BuildCounter(), *registry_, "vnppsvc_recheck_rows_changed_total",
                     "Rows of VN_PPDATA1 that checks of windows over stored rows "
                     "(RecheckWindows, ChangeLog, recompute requests) inserted, updated or "
                     "deleted.")),
      incomplete_(Build(prometheus::BuildCounter(), *registry_, "vnppsvc_windows_incomplete_total",
                        "Windows with readings that the group's completeness rule "
                        "(MinCoverage, MaxGap) found incomplete: skipped or flagged.")),
      failedRuns_(Build(prometheus::BuildGauge(), *registry_,
                        "vnppsvc_group_consecutive_failed_runs",
                        "Finished runs in a row in which an entry failed; 0 after a clean run.")),
      success_(Build(prometheus::BuildGauge(), *registry_,
                     "vnppsvc_group_last_success_timestamp_seconds",
                     "End of the last run in which no entry failed, in Unix time; absent "
                     "before the first such run since the start.")),
      duration_(Build(prometheus::BuildHistogram(), *registry_,
                      "vnppsvc_group_run_duration_seconds",
                      "Duration of the group runs that went to their end.")),
      runningGauge_(running_.Add({})),
      lagGauges_(lag_),
      periodGauges_(period_),
      nextGauges_(next_) {
  buildInfo_.Add({{"version", VNPP_VERSION}}).Set(1);
  start_.Add({}).Set(UnixNow());
  const char* levels[] = {"error", "warning", "info"};
  for (std::size_t i = 0; i < LogMessages.size(); ++i) {
    LogMessages[i] = &log_.Add({{"level", levels[i]}});
  }
}

TMetrics::TImpl::TGroupSeries& TMetrics::TImpl::Series(const std::string& group,
                                                       const std::string& function) const {
  common::MutexLock lock(seriesMu_);
  std::unique_ptr<TGroupSeries>& series = series_[{group, function}];
  if (!series) {
    const Labels labels = GroupLabels(group, function);
    series.reset(new TGroupSeries{
        windows_.Add(labels), rows_.Add(labels), failures_.Add(labels), dbErrors_.Add(labels),
        changed_.Add(labels), incomplete_.Add(labels), failedRuns_.Add(labels),
        duration_.Add(labels, Histogram::BucketBoundaries(kDurationBuckets.begin(),
                                                          kDurationBuckets.end()))});
  }
  return *series;
}

Gauge& TMetrics::TImpl::LastSuccess(TGroupSeries& series, const std::string& group,
                                    const std::string& function) {
  common::MutexLock lock(seriesMu_);
  if (series.LastSuccess == nullptr)
    series.LastSuccess = &success_.Add(GroupLabels(group, function));
  return *series.LastSuccess;
}

std::vector<prometheus::MetricFamily> TMetrics::TImpl::Collect() const {
  // The view first, with no lock of ours held: processing takes locks of its own.
  TProcessingView view;
  if (view_) view = view_();
  const common::TDateTime now = common::Now();

  common::MutexLock lock(scrapeMu_);
  runningGauge_.Set(view.Running ? 1 : 0);
  lagGauges_.Clear();
  periodGauges_.Clear();
  nextGauges_.Clear();
  for (const common::TGroupStatus& g : view.Groups) {
    // Every configured group has its counters from the first scrape on, at 0.
    Series(g.SectionName, g.FuncName);
    if (!g.Enabled) continue;
    const Labels labels = GroupLabels(g.SectionName, g.FuncName);
    if (g.OldestLastUpdate > 0) {
      lagGauges_.Set(labels, (now - g.OldestLastUpdate) * common::kSecondsPerDay);
    }
    if (g.Period > 0) periodGauges_.Set(labels, g.Period * common::kSecondsPerDay);
    if (g.NextDue > 0) nextGauges_.Set(labels, UnixSeconds(g.NextDue));
  }
  std::vector<prometheus::MetricFamily> families = registry_->Collect();
  // The library keeps labels in name order; the text names the group before its function.
  for (prometheus::MetricFamily& family : families) {
    for (prometheus::ClientMetric& metric : family.metric) {
      std::stable_sort(
          metric.label.begin(), metric.label.end(),
          [](const prometheus::ClientMetric::Label& a, const prometheus::ClientMetric::Label& b) {
            return (a.name == "group") > (b.name == "group");
          });
    }
  }
  return families;
}

TMetrics::TMetrics(std::function<TProcessingView()> view)
    : impl_(std::make_shared<TImpl>(std::move(view))) {}

TMetrics::~TMetrics() = default;

std::shared_ptr<prometheus::Collectable> TMetrics::Collectable() { return impl_; }

void TMetrics::RunProgress(const processing::TGroupRunReport& added) {
  TImpl::TGroupSeries& s = impl_->Series(added.SectionName, added.FuncName);
  s.Windows.Increment(static_cast<double>(added.Windows));
  s.Rows.Increment(static_cast<double>(added.Rows));
  s.FailedEntries.Increment(static_cast<double>(added.FailedEntries));
  s.DatabaseErrors.Increment(static_cast<double>(added.DatabaseErrors));
  s.ChangedRows.Increment(static_cast<double>(added.ChangedRows));
  s.IncompleteWindows.Increment(static_cast<double>(added.IncompleteWindows));
}

void TMetrics::RunFinished(const processing::TGroupRunReport& run) {
  TImpl::TGroupSeries& s = impl_->Series(run.SectionName, run.FuncName);
  s.Duration.Observe(run.Seconds);
  if (run.FailedEntries > 0) {
    s.FailedRunsInARow.Increment();
  } else {
    s.FailedRunsInARow.Set(0);
    impl_->LastSuccess(s, run.SectionName, run.FuncName)
        .Set(run.End > 0 ? UnixSeconds(run.End) : UnixNow());
  }
}

void TMetrics::LogMessage(int priority) {
  const std::size_t level = priority <= 3 ? 0 : priority == 4 ? 1 : 2;
  impl_->LogMessages[level]->Increment();
}

std::string TMetrics::Text() const {
  return prometheus::TextSerializer().Serialize(impl_->Collect());
}

}  // namespace vnpp::metrics
