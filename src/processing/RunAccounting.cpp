#include "processing/RunAccounting.h"

#include <utility>

#include "common/Clock.h"
#include "config/Configuration.h"
#include "processing/GroupRun.h"

namespace vnpp::processing {

TRunAccounting::TRunMark TRunAccounting::Counters() const {
  TRunMark mark{runner_.Windows(),          runner_.Rows(),        runner_.FailedEntries(),
                runner_.DatabaseErrors(),   runner_.ChangedRows(), runner_.IncompleteWindows(),
                common::SteadyNanoseconds()};
  return mark;
}

TRunAccounting::TRunMark TRunAccounting::StartRun(config::TPostProcGroupItem& group) {
  running_ = &group;
  reported_ = Counters();
  return reported_;
}

void TRunAccounting::ReportProgress() {
  if (running_ == nullptr) return;
  const TRunMark now = Counters();
  if (now.Windows == reported_.Windows && now.FailedEntries == reported_.FailedEntries &&
      now.Rows == reported_.Rows && now.DatabaseErrors == reported_.DatabaseErrors &&
      now.ChangedRows == reported_.ChangedRows &&
      now.IncompleteWindows == reported_.IncompleteWindows) {
    return;
  }
  const bool progressed = now.Windows != reported_.Windows;
  TGroupRunReport report{running_->GroupNumber - 1,
                         now.Windows - reported_.Windows,
                         now.FailedEntries - reported_.FailedEntries,
                         running_->SectionName,
                         running_->FuncName,
                         now.Rows - reported_.Rows,
                         now.DatabaseErrors - reported_.DatabaseErrors};
  report.ChangedRows = now.ChangedRows - reported_.ChangedRows;
  report.IncompleteWindows = now.IncompleteWindows - reported_.IncompleteWindows;
  reported_ = now;
  // Entries moved on: the snapshot shows it before the run ends (a long catch-up).
  if (progressed) SnapshotGroups();
  if (events_.RunProgress) events_.RunProgress(report);
}

void TRunAccounting::EndRun() {
  ReportProgress();
  running_ = nullptr;
}

TGroupRunReport TRunAccounting::RecordRun(config::TPostProcGroupItem& group,
                                          const TRunMark& before) {
  const TRunMark now = Counters();
  group.LastRunEnd = common::Now();
  group.LastRunFailedEntries = now.FailedEntries - before.FailedEntries;
  return {group.GroupNumber - 1,
          now.Windows - before.Windows,
          now.FailedEntries - before.FailedEntries,
          group.SectionName,
          group.FuncName,
          now.Rows - before.Rows,
          now.DatabaseErrors - before.DatabaseErrors,
          static_cast<double>(now.Nanoseconds - before.Nanoseconds) / 1e9,
          group.LastRunEnd};
}

void TRunAccounting::ReportChanges(const config::TPostProcGroupItem& group, long changed,
                                   long incomplete) {
  if ((changed == 0 && incomplete == 0) || !events_.RunProgress) return;
  TGroupRunReport report;
  report.Index = group.GroupNumber - 1;
  report.SectionName = group.SectionName;
  report.FuncName = group.FuncName;
  report.ChangedRows = changed;
  report.IncompleteWindows = incomplete;
  events_.RunProgress(report);
}

void TRunAccounting::ReportRun(const TGroupRunReport& report) {
  if (events_.GroupRunFinished) events_.GroupRunFinished(report);
}

void TRunAccounting::SnapshotGroups() {
  // This thread is the only writer of the groups, so it reads them without a lock.
  std::vector<common::TGroupStatus> rows;
  if (const config::TPostProcGroups* groups = config_.Groups()) {
    rows.reserve(static_cast<size_t>(groups->Count()));
    for (int i = 0; i < groups->Count(); ++i) {
      const config::TPostProcGroupItem& g = groups->Item(i);
      common::TGroupStatus row;
      row.Index = i;
      row.SectionName = g.SectionName;
      row.Enabled = g.Enabled;
      row.FuncName = g.FuncName;
      row.NextDue = (g.Enabled && g.NextProcessTime > 0) ? g.DueTime() : 0;
      row.Period = row.NextDue != 0 ? g.Period : 0;
      for (size_t k = 0; k < g.Sensors.size(); ++k) {
        const common::TDateTime t = g.Sensors[k]->LastUpdate;
        if (k == 0 || t < row.OldestLastUpdate) row.OldestLastUpdate = t;
      }
      row.LastRunEnd = g.LastRunEnd;
      row.LastRunFailedEntries = g.LastRunFailedEntries;
      row.RecheckedWindows = g.RecheckedWindows;
      row.ChangedRows = g.ChangedRows;
      row.IncompleteWindows = g.IncompleteWindows;
      rows.push_back(std::move(row));
    }
  }
  common::MutexLock lock(mu_);
  groupStatus_.swap(rows);
}

std::vector<common::TGroupStatus> TRunAccounting::GroupStatus() {
  common::MutexLock lock(mu_);
  return groupStatus_;
}

}  // namespace vnpp::processing
