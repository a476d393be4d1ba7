// Where each scheduled group's entries started, so that a StartFrom saved to the file never
// skips the backlog of an entry that has no progress on file yet.
// Thread safety: belongs to the processing thread.
#pragma once

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/DateTime.h"
#include "config/GroupModel.h"

namespace vnpp::processing {

class TStartOrigins {
 public:
  // As group goes into the queue: notes its StartFrom, and gives the entries without
  // progress the group's first period as their start.
  void SeedEntries(config::TPostProcGroupItem& group);
  // Before the schedule is saved: a group with an entry that has no progress on file saves
  // the start it was first scheduled with, not the one it has moved on to.
  void KeepUnrecordedStarts();
  // Before a run: the StartFrom its progress writes record (see ProgressStartFrom), next
  // being the schedule's start once the run completes.
  void SetProgressStart(config::TPostProcGroupItem& group, common::TDateTime next) const;
  // True for a group that SeedEntries has seen (one of the queue's).
  bool Scheduled(config::TPostProcGroupItem* group) const { return origins_.count(group) != 0; }

 private:
  struct TOrigin {
    std::string LoadedStartFrom;  // the text loaded from the file
    std::string StartFrom;        // the start first scheduled, as explicit text
    // Entries given a start by SeedEntries, with that start.
    std::vector<std::pair<config::TStationSensorInfoItem*, common::TDateTime>> Seeded;
  };
  // True while an entry seeded has no other progress.
  static bool Unrecorded(const TOrigin& origin);

  std::unordered_map<config::TPostProcGroupItem*, TOrigin> origins_;
};

}  // namespace vnpp::processing
