#include "processing/StartOrigins.h"

#include <algorithm>

namespace vnpp::processing {

bool TStartOrigins::Unrecorded(const TOrigin& origin) {
  return std::any_of(origin.Seeded.begin(), origin.Seeded.end(),
                     [](const auto& seed) { return !seed.first->ProgressOnFile; });
}

void TStartOrigins::SeedEntries(config::TPostProcGroupItem& group) {
  TOrigin& origin = origins_[&group];
  origin.LoadedStartFrom = group.StartFrom;
  origin.StartFrom = common::FormatDateTimeText(group.StartTime);
  if (group.WindowStart == 0) return;
  // An entry without recorded progress starts at the group's first period. It keeps that
  // starting point in memory, so that a run that fails for it (the database is down, the
  // file cannot be written) and the schedule moving on never skip its backlog; the first
  // progress write of its group puts it on file.
  for (const auto& entry : group.Sensors) {
    // Ahead of the group's first period: the StartFrom on file was moved back (the service
    // never writes one behind its entries' progress), so the entry starts there again, and
    // its windows from there on are its own.
    if (entry->LastUpdate > group.WindowStart) {
      entry->LastUpdate = group.WindowStart;
      if (entry->StartedFrom > group.WindowStart) {
        entry->StartedFrom = group.WindowStart;
        entry->StartedFromOnFile = false;
      }
    }
    if (entry->LastUpdate != 0) continue;
    entry->StartedFrom = group.WindowStart;
    entry->StartedFromOnFile = false;
    entry->LastUpdate = group.WindowStart;
    origin.Seeded.emplace_back(entry.get(), group.WindowStart);
  }
}

void TStartOrigins::KeepUnrecordedStarts() {
  for (auto& [group, origin] : origins_) {
    if (group->StartFrom == origin.LoadedStartFrom) continue;
    // The file has no progress for some entry: the saved start must still cover it.
    if (Unrecorded(origin)) group->StartFrom = origin.StartFrom;
  }
}

void TStartOrigins::SetProgressStart(config::TPostProcGroupItem& group,
                                     common::TDateTime next) const {
  // Each progress write puts every entry's start on file (WritePollUpdates), so the saved
  // start need not cover any; a group never scheduled keeps its StartFrom.
  group.ProgressStartFrom = Scheduled(&group) ? common::FormatDateTimeText(next) : std::string();
}

}  // namespace vnpp::processing
