// Completeness of a window's readings: how many of the expected readings are there, and how
// long the longest stretch without one is. A group opts in with ReadingInterval, MinCoverage
// and MaxGap; a window that fails its rule is skipped or stored with a flag.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/DateTime.h"

namespace vnpp::compute {

using common::TDateTime;

enum class TIncompleteAction : std::uint8_t { Skip, Flag };

struct TCompletenessRule {
  TDateTime ReadingInterval = 0;  // days; 0: none, and no coverage is measured
  int MinCoverage = 0;            // whole percent, 0: no coverage rule
  TDateTime MaxGap = 0;           // days; 0: no gap rule
  TIncompleteAction Action = TIncompleteAction::Skip;
  // True when windows are measured at all: every result row of such a group carries it.
  bool Measured() const { return ReadingInterval > 0 || MaxGap > 0; }
};

struct TCompleteness {
  long Valid = 0;       // readings with a value, each time tag once
  long Expected = 0;    // window length / ReadingInterval, to the nearest; 0 without interval
  double Coverage = 0;  // percent of Expected (at most 100); 100 when Expected is 0
  std::int64_t LongestGapMillis = 0;
  bool Incomplete = false;
};

// The window [start, end] with the readings times (ascending) and their values; a value that
// is no finite number does not count. The readings are those the window's function uses
// (the previous reading of DELTA is not among them).
TCompleteness AssessWindow(const TCompletenessRule& rule, TDateTime start, TDateTime end,
                           std::span<const TDateTime> times, std::span<const double> values);

// The coverage as stored in FLAG2 and logged: one decimal, "." as separator ("87.5").
std::string CoverageText(double coverage);

}  // namespace vnpp::compute
