#include "metrics/Metrics.h"

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include <chrono>
#include <ctime>
#include <limits>

#include "common/Clock.h"
#include "common/DateTime.h"

#ifndef VNPP_VERSION
#define VNPP_VERSION "unknown"
#endif

namespace vnpp::metrics {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

constexpr const char* kLevels[] = {"error", "warning", "info"};

MetricFamily Family(const char* name, const char* help, MetricType type) {
  MetricFamily family;
  family.name = name;
  family.help = help;
  family.type = type;
  return family;
}

ClientMetric GroupMetric(const std::string& group, const std::string& function) {
  ClientMetric m;
  m.label = {{"group", group}, {"function", function}};
  return m;
}

void AddDouble(std::atomic<double>& target, double value) {
  double old = target.load();
  while (!target.compare_exchange_weak(old, old + value)) {
  }
}

double UnixNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

double UnixSeconds(common::TDateTime t) {
  const common::TDateTimeParts p = common::DecodeDateTime(t);
  std::tm tm{};
  tm.tm_year = p.Year - 1900;
  tm.tm_mon = p.Month - 1;
  tm.tm_mday = p.Day;
  tm.tm_hour = p.Hour;
  tm.tm_min = p.Minute;
  tm.tm_sec = p.Second;
  tm.tm_isdst = -1;  // local time as the system's time zone rules have it
  return static_cast<double>(std::mktime(&tm)) + p.Millisecond / 1000.0;
}

class TMetrics::TCollectable final : public prometheus::Collectable {
 public:
  explicit TCollectable(TMetrics& metrics) : metrics_(metrics) {}
  std::vector<MetricFamily> Collect() const override;

 private:
  TMetrics& metrics_;
};

TMetrics::TMetrics(std::function<TProcessingView()> view)
    : view_(std::move(view)),
      startTime_(UnixNow()),
      collectable_(std::make_shared<TCollectable>(*this)) {}

TMetrics::~TMetrics() = default;

TMetrics::TGroupSeries& TMetrics::Series(const std::string& group, const std::string& function) {
  common::MutexLock lock(seriesMu_);
  std::unique_ptr<TGroupSeries>& series = series_[{group, function}];
  if (!series) series = std::make_unique<TGroupSeries>();
  return *series;
}

void TMetrics::RunProgress(const processing::TGroupRunReport& added) {
  TGroupSeries& s = Series(added.SectionName, added.FuncName);
  s.Windows += added.Windows;
  s.Rows += added.Rows;
  s.FailedEntries += added.FailedEntries;
  s.DatabaseErrors += added.DatabaseErrors;
  s.ChangedRows += added.ChangedRows;
}

void TMetrics::RunFinished(const processing::TGroupRunReport& run) {
  TGroupSeries& s = Series(run.SectionName, run.FuncName);
  std::size_t bucket = 0;
  while (bucket < kDurationBuckets.size() && run.Seconds > kDurationBuckets[bucket]) ++bucket;
  ++s.Buckets[bucket];
  AddDouble(s.DurationSum, run.Seconds);
  if (run.FailedEntries > 0) {
    ++s.FailedRunsInARow;
  } else {
    s.FailedRunsInARow = 0;
    s.LastSuccess = run.End > 0 ? UnixSeconds(run.End) : UnixNow();
  }
}

void TMetrics::LogMessage(int priority) {
  const std::size_t level = priority <= 3 ? 0 : priority == 4 ? 1 : 2;
  ++logMessages_[level];
}

std::vector<MetricFamily> TMetrics::TCollectable::Collect() const {
  TMetrics& m = metrics_;
  // The view first, with no lock of ours held: processing takes locks of its own.
  TProcessingView view;
  if (m.view_) view = m.view_();
  const common::TDateTime now = common::Now();

  auto buildInfo =
      Family("vnppsvc_build_info", "Always 1; the label version names the running build.",
             MetricType::Gauge);
  ClientMetric info;
  info.label = {{"version", VNPP_VERSION}};
  info.gauge.value = 1;
  buildInfo.metric.push_back(info);

  auto start = Family("vnppsvc_start_time_seconds", "When the service started, in Unix time.",
                      MetricType::Gauge);
  start.metric.emplace_back().gauge.value = m.startTime_;

  auto running =
      Family("vnppsvc_processing_running",
             "1 while the processing thread runs (automation Status), else 0.", MetricType::Gauge);
  running.metric.emplace_back().gauge.value = view.Running ? 1 : 0;

  auto log = Family("vnppsvc_log_messages_total", "Messages written by the message log, by level.",
                    MetricType::Counter);
  for (std::size_t i = 0; i < std::size(kLevels); ++i) {
    ClientMetric c;
    c.label = {{"level", kLevels[i]}};
    c.counter.value = static_cast<double>(m.logMessages_[i].load());
    log.metric.push_back(c);
  }

  auto lag = Family("vnppsvc_group_lag_seconds",
                    "Now minus the oldest progress (POLLUpdate) of the group's entries; enabled "
                    "groups with entries only.",
                    MetricType::Gauge);
  auto period = Family("vnppsvc_group_period_seconds",
                       "Length of the group's period (its data window); scheduled groups only.",
                       MetricType::Gauge);
  auto next =
      Family("vnppsvc_group_next_run_timestamp_seconds",
             "When the group is due next, in Unix time; scheduled groups only.", MetricType::Gauge);
  for (const common::TGroupStatus& g : view.Groups) {
    // Every configured group has its counters from the first scrape on, at 0.
    m.Series(g.SectionName, g.FuncName);
    if (!g.Enabled) continue;
    if (g.OldestLastUpdate > 0) {
      ClientMetric c = GroupMetric(g.SectionName, g.FuncName);
      c.gauge.value = (now - g.OldestLastUpdate) * common::kSecondsPerDay;
      lag.metric.push_back(c);
    }
    if (g.Period > 0) {
      ClientMetric c = GroupMetric(g.SectionName, g.FuncName);
      c.gauge.value = g.Period * common::kSecondsPerDay;
      period.metric.push_back(c);
    }
    if (g.NextDue > 0) {
      ClientMetric c = GroupMetric(g.SectionName, g.FuncName);
      c.gauge.value = UnixSeconds(g.NextDue);
      next.metric.push_back(c);
    }
  }

  auto windows =
      Family("vnppsvc_windows_computed_total",
             "Data windows computed and stored (their progress kept).", MetricType::Counter);
  auto rows = Family("vnppsvc_rows_written_total",
                     "Result rows written to VN_PPDATA1 (windows without readings write none).",
                     MetricType::Counter);
  auto failures =
      Family("vnppsvc_entry_failures_total",
             "Station/sensor entries whose processing ended with an error.", MetricType::Counter);
  auto dbErrors = Family("vnppsvc_database_errors_total",
                         "Database statements of group runs that failed (a refused connection "
                         "fails each entry's first query).",
                         MetricType::Counter);
  auto changed = Family("vnppsvc_recheck_rows_changed_total",
                        "Rows of VN_PPDATA1 that checks of windows over stored rows "
                        "(RecheckWindows, recompute requests) inserted, updated or deleted.",
                        MetricType::Counter);
  auto failedRuns = Family("vnppsvc_group_consecutive_failed_runs",
                           "Finished runs in a row in which an entry failed; 0 after a clean run.",
                           MetricType::Gauge);
  auto success = Family("vnppsvc_group_last_success_timestamp_seconds",
                        "End of the last run in which no entry failed, in Unix time; absent "
                        "before the first such run since the start.",
                        MetricType::Gauge);
  auto duration =
      Family("vnppsvc_group_run_duration_seconds",
             "Duration of the group runs that went to their end.", MetricType::Histogram);
  std::vector<std::pair<TKey, const TGroupSeries*>> all;
  {
    common::MutexLock lock(m.seriesMu_);
    for (const auto& [key, series] : m.series_) all.emplace_back(key, series.get());
  }
  for (const auto& [key, s] : all) {
    const ClientMetric base = GroupMetric(key.first, key.second);
    auto add = [&](MetricFamily& family, double value, bool counter) {
      ClientMetric c = base;
      (counter ? c.counter.value : c.gauge.value) = value;
      family.metric.push_back(std::move(c));
    };
    add(windows, static_cast<double>(s->Windows.load()), true);
    add(rows, static_cast<double>(s->Rows.load()), true);
    add(failures, static_cast<double>(s->FailedEntries.load()), true);
    add(dbErrors, static_cast<double>(s->DatabaseErrors.load()), true);
    add(changed, static_cast<double>(s->ChangedRows.load()), true);
    add(failedRuns, static_cast<double>(s->FailedRunsInARow.load()), false);
    if (const double t = s->LastSuccess.load(); t > 0) add(success, t, false);
    ClientMetric h = base;
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < s->Buckets.size(); ++i) {
      cumulative += s->Buckets[i].load();
      h.histogram.bucket.push_back({cumulative, i < kDurationBuckets.size()
                                                    ? kDurationBuckets[i]
                                                    : std::numeric_limits<double>::infinity()});
    }
    // The count is the +Inf bucket, so the two always agree within one scrape.
    h.histogram.sample_count = cumulative;
    h.histogram.sample_sum = s->DurationSum.load();
    duration.metric.push_back(std::move(h));
  }

  std::vector<MetricFamily> families;
  for (MetricFamily* f : {&buildInfo, &start, &running, &log, &windows, &rows, &failures, &dbErrors,
                          &changed, &lag, &period, &next, &success, &failedRuns, &duration}) {
    families.push_back(std::move(*f));
  }
  return families;
}

std::string TMetrics::Text() const {
  return prometheus::TextSerializer().Serialize(collectable_->Collect());
}

}  // namespace vnpp::metrics
