// The next-run computation of a post-process group: its current processing period
// (WindowStart to WindowEnd), the time that period is processed (NextProcessTime), the
// earliest first run (NotBeforeTime), and moving the schedule on after a run.
// Thread safety: none; the caller (the processing thread) owns the group while it runs.
#pragma once

#include "common/DateTime.h"
#include "config/GroupModel.h"

namespace vnpp::processing {

// Message for an explicit StartFrom outside the supported range: its value and the group's
// section name fill the placeholders.
inline constexpr const char* kMsgStartFromOutOfRange =
    "StartFrom %p of group %p is outside 01/01/1985 to 01/18/2053; the current time is used.";

// Resolves StartFrom into StartTime, then ComputeSchedule(group, true). StartFrom is, in
// this order: empty (now); one of the accepted date keywords, matched exactly after
// upper-casing and without trimming; an explicit "mm/dd/yyyy hh:nn:ss". A text that is
// neither, or a date before 1/1/1900, gives now. An explicit date from 1/1/1900 that lies
// outside the range the period boundaries are computed in (01/01/1985 00:00:00 to
// 01/18/2053 03:14:07) also gives now, and the result is true so that the caller can report
// it (kMsgStartFromOutOfRange); otherwise false. Now comes from the clock seam.
bool InitGroupSchedule(config::TPostProcGroupItem& group);

// Computes Period, WindowStart, WindowEnd and NextProcessTime from StartTime and
// TypeInterval; with initial also NotBeforeTime. A group whose period is not positive, or
// rounds to less than one second, gets Period 0 and NextProcessTime -1 (never due) and
// keeps its other fields. A TypeInterval outside 0..6 changes nothing.
void ComputeSchedule(config::TPostProcGroupItem& group, bool initial);

// The StartTime that AdvanceAfterRun and AdvanceAfterDemand move the group to (its own when
// Period is not above 0).
common::TDateTime StartAfterRun(const config::TPostProcGroupItem& group);
common::TDateTime StartAfterDemand(const config::TPostProcGroupItem& group, common::TDateTime now);

// After a scheduled run: with Period > 0, StartTime moves on by Period, StartFrom becomes
// its text and the period fields are recomputed (NotBeforeTime unchanged).
void AdvanceAfterRun(config::TPostProcGroupItem& group);

// After an immediate run started at now: with Period > 0, StartTime becomes the later of
// itself and now, StartFrom its text, and the period fields are recomputed.
void AdvanceAfterDemand(config::TPostProcGroupItem& group, common::TDateTime now);

}  // namespace vnpp::processing
