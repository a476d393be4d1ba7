#include "processing/WindowCheck.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <vector>

#include "compute/PPDataItem.h"
#include "database/Odbc.h"
#include "processing/ResultBatch.h"

namespace vnpp::processing {
namespace {

constexpr double kHoursPerDay = 24.0;

// Time tags are matched in whole seconds, as window bounds are everywhere else.
std::int64_t WholeSeconds(std::int64_t micros) {
  return micros >= 0 ? (micros + 500000) / 1000000 : -((-micros + 500000) / 1000000);
}

// Equal as stored: a driver may keep no more than 15 significant digits of a double (the
// SQLite driver does), so a value read back can differ from the one written in its last bits.
bool SameNumber(double stored, double fresh) {
  return std::fabs(stored - fresh) <= 1e-14 * std::max(std::fabs(stored), std::fabs(fresh));
}

bool SameResult(const store::TStoredRow& stored, const store::TResultValues& fresh) {
  if (!stored.HasValue || !SameNumber(stored.PPValue, fresh.PPValue)) return false;
  if (stored.HasValueTime != fresh.HasValueTime) return false;
  // A window completed by late readings loses its mark; one broken by a deletion gets it.
  if (stored.Flag1 != fresh.Flag1 || stored.Flag2 != fresh.Flag2) return false;
  // The value time goes out at the whole millisecond.
  return !fresh.HasValueTime || stored.ValueTimeMicros == common::CalendarMicros(fresh.ValueTime);
}

// The windows at the front that follow each other without a gap.
std::size_t Adjoining(std::span<const store::TWindowSpan> windows) {
  std::size_t n = windows.empty() ? 0 : 1;
  while (n < windows.size() && WholeSeconds(common::CalendarMicros(windows[n].Start)) ==
                                   WholeSeconds(common::CalendarMicros(windows[n - 1].End))) {
    ++n;
  }
  return n;
}

}  // namespace

compute::TCompletenessRule CompletenessRuleOf(const config::TPostProcGroupItem& group) {
  compute::TCompletenessRule rule;
  rule.ReadingInterval = group.ReadingInterval;
  rule.MinCoverage = group.MinCoverage;
  rule.MaxGap = group.MaxGap;
  rule.Action =
      group.FlagIncomplete ? compute::TIncompleteAction::Flag : compute::TIncompleteAction::Skip;
  return rule;
}

TWindowCheck::TWindowCheck(database::TConnection& connection, store::TPPStatements& statements,
                           TResultBatch& batch)
    : connection_(connection),
      statements_(statements),
      batch_(batch),
      stored_(connection),
      writer_(statements) {}

bool TWindowCheck::Check(const config::TPostProcGroupItem& group,
                         const config::TStationSensorInfoItem& entry,
                         std::span<const store::TWindowSpan> windows, TCheckCounts& counts,
                         TCheckFindings& findings, const std::function<bool()>& cancelled,
                         const std::function<void()>& hook) {
  if (windows.empty()) return true;
  compute::TPPDataItem item(entry.StationID, entry.SensorName, 0, 0, group.DataType,
                            group.Description, entry.DataLabel, entry.AltLabel, group.Parameter,
                            group.IsDelta(), group.BoundaryMode);
  item.Rule = CompletenessRuleOf(group);
  // On every way out, also a throw (the counts first: copying the example may throw).
  struct TAddProblems {
    compute::TPPDataItem::TValueProblems& to;
    const compute::TPPDataItem::TValueProblems& from;
    ~TAddProblems() {
      try {
        to.Add(from);
      } catch (...) {
        // Out of memory for an example text: the counts are added before it.
      }
    }
  } addProblems{findings.Problems, item.Problems};
  store::TReadingCursor cursor(
      statements_, item, rowsPerRead_ > 0 ? rowsPerRead_ : store::TReadingCursor::kDefaultMaxRows);
  std::vector<std::optional<store::TResultValues>> fresh;
  while (!windows.empty()) {
    if (cancelled && cancelled()) return false;
    const std::span<const store::TWindowSpan> run =
        windows.first(std::min(windows.size(), windowsPerRead_));
    // Windows apart from each other (corrections scattered over a month) are read run by run
    // of adjoining ones, not with everything between them, and written together.
    fresh.clear();
    std::size_t done = 0;
    while (done < run.size()) {
      const std::span<const store::TWindowSpan> part =
          run.subspan(done).first(Adjoining(run.subspan(done)));
      std::size_t complete = cursor.Load(part);
      // The first window alone holds more readings than a read takes.
      const bool alone = complete == 0;
      if (alone) complete = 1;
      for (std::size_t k = 0; k < complete; ++k) {
        if (hook) hook();
        if (alone) {
          cursor.ReadAlone(part[0]);
        } else {
          cursor.Fill(k);
        }
        item.Compute(group.FuncName);
        if (findings.Rejected && !item.Rejection.empty() && !item.Times.empty()) {
          findings.Rejected(item);
        }
        fresh.push_back(store::ResultOf(item));
      }
      done += complete;
      if (complete < part.size()) break;  // the read was cut short: the rest comes next
    }
    if (!Apply(group, entry, run.first(done), fresh, counts)) return false;
    windows = windows.subspan(done);
  }
  return true;
}

bool TWindowCheck::Apply(const config::TPostProcGroupItem& group,
                         const config::TStationSensorInfoItem& entry,
                         std::span<const store::TWindowSpan> windows,
                         std::span<const std::optional<store::TResultValues>> fresh,
                         TCheckCounts& counts) {
  if (windows.empty()) return true;
  const store::TResultKey key{entry.StationID, entry.DataLabel, group.FuncName, entry.SensorName,
                              entry.AltLabel};
  std::vector<store::TResultValues> upserts;
  std::vector<store::TWindowSpan> deletes;
  // The stored rows of each run of adjoining windows, in order.
  std::vector<store::TStoredRow> stored;
  for (std::size_t from = 0; from < windows.size();) {
    const std::size_t n = Adjoining(windows.subspan(from));
    if (from == 0 && n == windows.size()) {
      stored = stored_.Read(key, windows.front().Start, windows.back().End);
    } else {
      const std::vector<store::TStoredRow> part =
          stored_.Read(key, windows[from].Start, windows[from + n - 1].End);
      stored.insert(stored.end(), part.begin(), part.end());
    }
    from += n;
  }
  long inserted = 0, updated = 0;
  std::size_t s = 0;
  for (std::size_t k = 0; k < windows.size(); ++k) {
    const store::TWindowSpan& w = windows[k];
    const std::int64_t second = WholeSeconds(common::CalendarMicros(w.Start));
    const double period = (w.End - w.Start) * kHoursPerDay;
    while (s < stored.size() && WholeSeconds(stored[s].TimeTagMicros) < second) ++s;
    // Rows of another period at the same time tag belong to another window shape.
    const store::TStoredRow* match = nullptr;
    for (std::size_t t = s; t < stored.size() && WholeSeconds(stored[t].TimeTagMicros) == second;
         ++t) {
      if (SameNumber(stored[t].TimePeriod, period)) {
        match = &stored[t];
        break;
      }
    }
    if (fresh[k]) {
      if (match == nullptr) {
        upserts.push_back(*fresh[k]);
        ++inserted;
      } else if (!SameResult(*match, *fresh[k])) {
        upserts.push_back(*fresh[k]);
        ++updated;
      }
    } else if (match != nullptr) {
      deletes.push_back(w);
    }
  }
  if (!upserts.empty() || !deletes.empty()) {
    // The batch's transaction is committed first, so that the changes commit on their own.
    // Where the results pending there cannot all be kept (logged with their entries), this
    // entry goes no further in this run either, as when its own window would commit them.
    if (!batch_.Commit()) return false;
    // The dialect is found out before the transaction: a refused probe would spoil it.
    statements_.UpsertDialect();
    database::TTransaction transaction(connection_);
    if (!upserts.empty()) writer_.Write(key, upserts);
    for (const store::TWindowSpan& w : deletes) stored_.Delete(key, w.Start, w.End);
    transaction.Commit();
  }
  counts.Windows += static_cast<long>(windows.size());
  counts.Inserted += inserted;
  counts.Updated += updated;
  counts.Deleted += static_cast<long>(deletes.size());
  return true;
}

}  // namespace vnpp::processing
