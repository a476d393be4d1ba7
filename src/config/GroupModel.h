// Post-process groups, their station/sensor entries and the owning list of groups.
// Thread safety: none of its own. The processing thread creates, changes and frees groups;
// see the processing thread for how run requests from other threads reach them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/DateTime.h"

namespace vnpp::config {

using common::TDateTime;

// One station/sensor entry of a group.
struct TStationSensorInfoItem {
  std::string StationID;
  std::string SensorName;
  TDateTime LastUpdate = 0;  // end of the last window computed; 0 = never
  std::string DataLabel;
  std::string AltLabel;
  // The n of the POLLn key this entry was read from. Progress is written back under
  // POLLUpdate<n>, so entries after an empty POLLk keep their own keys.
  int KeyNumber = 0;
  // The file holds a POLLUpdate value for this entry (loaded or written since).
  bool ProgressOnFile = false;
  // The start of the entry's first window (POLLStart<n>): no run or recheck computes a
  // window that ends at or before it. 0: not known (progress written before it was kept).
  TDateTime StartedFrom = 0;
  bool StartedFromOnFile = false;  // the file holds StartedFrom as it is
};

class TPostProcGroupItem {
 public:
  TPostProcGroupItem();
  virtual ~TPostProcGroupItem();
  TPostProcGroupItem(const TPostProcGroupItem&) = delete;
  TPostProcGroupItem& operator=(const TPostProcGroupItem&) = delete;

  // True when FuncName is "DELTA" in any ASCII letter case (no trimming).
  virtual bool IsDelta() const;

  // The later of NotBeforeTime and NextProcessTime.
  TDateTime DueTime() const {
    return NotBeforeTime > NextProcessTime ? NotBeforeTime : NextProcessTime;
  }

  // Configured values.
  bool Enabled = true;
  std::string FuncName = "AVG";
  TDateTime BaseTime = 0;
  TDateTime ProcTime = 0;
  std::uint8_t TypeInterval = 3;
  TDateTime Interval = 0;
  std::string StartFrom;
  std::string Description;
  std::string Purpose;
  std::uint8_t DataType = 0;
  std::string Parameter;
  std::int32_t BoundaryMode = 0;
  std::string Filter;
  // Windows before each entry's progress that every run computes again, writing only the
  // rows that changed (late or corrected readings); 0 = none.
  std::int32_t RecheckWindows = 0;
  // Completeness rule (all off by default): the stations' nominal interval between readings
  // (0: none), the least share of the expected readings in whole percent (0: no rule), the
  // longest stretch without a reading (0: no rule), and whether an incomplete window is
  // stored with FLAG1 'I' (else it is skipped).
  TDateTime ReadingInterval = 0;
  std::int32_t MinCoverage = 0;
  TDateTime MaxGap = 0;
  bool FlagIncomplete = false;
  // Owned entries in loading order; freed from the last to the first.
  std::vector<std::unique_ptr<TStationSensorInfoItem>> Sensors;
  std::string SectionName = "PostProcessGroup:1";
  std::int32_t PPGIndex = 1;

  // Run-time schedule state.
  std::int32_t GroupNumber = 0;
  TDateTime StartTime = 0;
  double Period = 0;              // days
  TDateTime NextProcessTime = 0;  // -1 = never
  TDateTime NotBeforeTime = 0;
  TDateTime WindowStart = 0;
  TDateTime WindowEnd = 0;
  // The StartFrom that each write of the entries' progress records with it (empty: none):
  // where the schedule stands once the run in progress completes, so that a restart after
  // any kind of death resumes there instead of replaying the periods since the last stop.
  std::string ProgressStartFrom;

  // The last run that was not stopped or cancelled, for operators: when it ended (0 = none
  // since processing started) and how many entries failed in it. Processing thread only.
  TDateTime LastRunEnd = 0;
  std::int64_t LastRunFailedEntries = 0;
  // Since processing started: windows computed again over stored rows (rechecks, the change
  // log and recomputes), and the rows that this inserted, updated or deleted. Processing thread
  // only.
  std::int64_t RecheckedWindows = 0;
  std::int64_t ChangedRows = 0;
  // Since processing started: windows found incomplete (TRunCounters::IncompleteWindows).
  std::int64_t IncompleteWindows = 0;

  // With [PostProcess] ChangeLog=1: the highest CHANGE_ID of the change log this group has
  // consumed as its file holds it (ChangeLogID), and one consumed since, whose windows are
  // committed, that the next write of the group's progress records (0: none).
  std::int64_t ChangeLogID = 0;
  std::int64_t PendingChangeLogID = 0;
};

// Ordered, owning list of groups, indexed from 0. Never sorted.
class TPostProcGroups {
 public:
  TPostProcGroups() = default;
  ~TPostProcGroups();
  TPostProcGroups(const TPostProcGroups&) = delete;
  TPostProcGroups& operator=(const TPostProcGroups&) = delete;

  int Count() const { return static_cast<int>(items_.size()); }
  // Throws EContainerError for an index outside 0 .. Count - 1.
  TPostProcGroupItem& Item(int index) const;
  TPostProcGroupItem& operator[](int index) const { return Item(index); }
  // Takes ownership; appends at index Count. Throws EContainerError for a null group.
  void Add(std::unique_ptr<TPostProcGroupItem> group);
  // Frees the group at index and closes the gap.
  void Delete(int index);
  // Deletes every index from Count - 1 down to 0.
  void Clear();

 private:
  std::vector<std::unique_ptr<TPostProcGroupItem>> items_;
};

}  // namespace vnpp::config
