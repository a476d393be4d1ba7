// The next-run computation of a post-process group: its current processing period
// (WindowStart to WindowEnd), the time that period is processed (NextProcessTime), the
// earliest first run (NotBeforeTime), and moving the schedule on after a run.
// Thread safety: none; the caller (the processing thread) owns the group while it runs.
#pragma once

#include "common/DateTime.h"
#include "config/GroupModel.h"

namespace vnpp::processing {

// Resolves StartFrom into StartTime, then ComputeSchedule(group, true). StartFrom is, in
// this order: empty (now); one of the accepted date keywords, matched exactly after
// upper-casing and without trimming; an explicit "mm/dd/yyyy hh:nn:ss". A text that is
// neither, or a date before 1/1/1900, gives now. Now comes from the clock seam.
void InitGroupSchedule(config::TPostProcGroupItem& group);

// Computes Period, WindowStart, WindowEnd and NextProcessTime from StartTime and
// TypeInterval; with initial also NotBeforeTime. A group whose period is not positive, or
// rounds to less than one second, gets Period 0 and NextProcessTime -1 (never due) and
// keeps its other fields. A TypeInterval outside 0..6 changes nothing.
void ComputeSchedule(config::TPostProcGroupItem& group, bool initial);

// After a scheduled run: with Period > 0, StartTime moves on by Period, StartFrom becomes
// its text and the period fields are recomputed (NotBeforeTime unchanged).
void AdvanceAfterRun(config::TPostProcGroupItem& group);

// After an immediate run started at now: with Period > 0, StartTime becomes the later of
// itself and now, StartFrom its text, and the period fields are recomputed.
void AdvanceAfterDemand(config::TPostProcGroupItem& group, common::TDateTime now);

}  // namespace vnpp::processing
