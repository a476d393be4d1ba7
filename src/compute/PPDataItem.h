// One post-process computation: one function over the readings of one station and sensor
// inside one data window, from VN_DATA1 to one result row of VN_PPDATA1.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/DateTime.h"
#include "compute/Completeness.h"

namespace vnpp::compute {

using common::TDateTime;

// Filled with the readings of a window (the store reads them: TReadingCursor, RetrieveData),
// computed, and its result handed to the store (ResultOf, TResultWriter); BeginWindow makes it
// ready for the next window. Needs no database itself.
// Thread safety: none; an item belongs to the thread that created it.
class TPPDataItem {
 public:
  TPPDataItem(std::string StationID, std::string SensorName, TDateTime StartTime, TDateTime EndTime,
              std::uint8_t DataType, std::string Description, std::string DataLabel,
              std::string AlternateLabel, std::string Parameter, bool ReadPrevious,
              std::int32_t BoundaryMode);

  // Makes the item ready for another window of the same station and sensor: new bounds,
  // no readings, and every computed field as after construction; the arrays keep their
  // storage.
  void BeginWindow(TDateTime StartTime, TDateTime EndTime);

  // Applies the named function (any letter case) to the readings and sets FunctionName,
  // ProcessTime and, where the function gives one, PPValue and ValueTime. A result that the
  // window must not store (a negative DELTA after the roll-over constant, a result that is
  // not a finite number) sets Rejection to the reason. Where Rule measures windows, the
  // window's completeness follows (Coverage, Incomplete, Flag1 and Flag2). Throws
  // EPostProcError for a DELTA roll-over constant that does not convert.
  void Compute(const std::string& FunctionName);
  // True when there is a result to store: readings, no Rejection, and not a window that
  // Rule skips.
  bool HasResult() const {
    return !Times.empty() && Rejection.empty() &&
           !(Incomplete && Rule.Action == TIncompleteAction::Skip);
  }

  std::string FunctionName;
  std::string Description;  // carried only
  std::string DataLabel;
  std::string AlternateLabel;  // empty means none
  std::uint8_t DataType = 0;   // 1: only readings without any flag
  std::string Parameter;
  std::string StationID;
  std::string SensorName;
  TDateTime StartTime = 0;
  TDateTime EndTime = 0;
  std::vector<TDateTime> Times;  // ascending, parallel to Values
  std::vector<double> Values;
  std::int32_t BoundaryMode = 0;  // 0: [start, end), 1: (start, end], 2: [start, end]
  bool ReadPrevious = false;
  TDateTime PrevTime = 0;  // 0: no previous reading
  double PrevValue = 0;
  double PPValue = 0;
  // Set by the completeness rule only: Flag1 "I" for an incomplete window stored under
  // Flag, Flag2 the coverage where the rule has a ReadingInterval; NULL otherwise.
  std::optional<std::string> Flag1;
  std::optional<std::string> Flag2;
  std::optional<std::string> Flag3;
  bool HasValueTime = false;
  TDateTime ValueTime = 0;
  TDateTime ProcessTime = 0;
  // Why this window's result is not stored ("" when it is): the log line's text.
  std::string Rejection;
  // The group's completeness rule (set by the caller; none by default) and what it found of
  // the window.
  TCompletenessRule Rule;
  bool Incomplete = false;
  double Coverage = 0;

  // Readings whose value was taken as missing, over every window since construction (not
  // reset by BeginWindow): the entry reports them once per run.
  struct TValueProblems {
    long NonFinite = 0;
    long NotNumber = 0;
    std::string Example;  // the first value that is no number, as the database gave it
    TDateTime ExampleTime = 0;
    // Readings that a query returned out of the order or the range of their time: the
    // database compares their time tag apart from its time (a text form that does not sort
    // as time). They are left out of every window.
    long Misplaced = 0;
    TDateTime MisplacedTime = 0;
    // Windows with a result that the completeness rule found incomplete, and the lowest
    // and highest coverage among them.
    long Incomplete = 0;
    double CoverageLow = 0;
    double CoverageHigh = 0;
    void NoteIncomplete(double coverage) {
      CoverageLow = Incomplete == 0 ? coverage : std::min(CoverageLow, coverage);
      CoverageHigh = Incomplete == 0 ? coverage : std::max(CoverageHigh, coverage);
      ++Incomplete;
    }
    // Adds o's counts; the examples stay the first ones.
    void Add(const TValueProblems& o) {
      const bool firstExample = NotNumber == 0 && o.NotNumber > 0;
      if (Misplaced == 0 && o.Misplaced > 0) MisplacedTime = o.MisplacedTime;
      if (o.Incomplete > 0) {
        CoverageLow = Incomplete == 0 ? o.CoverageLow : std::min(CoverageLow, o.CoverageLow);
        CoverageHigh = Incomplete == 0 ? o.CoverageHigh : std::max(CoverageHigh, o.CoverageHigh);
        Incomplete += o.Incomplete;
      }
      NonFinite += o.NonFinite;
      NotNumber += o.NotNumber;
      Misplaced += o.Misplaced;
      if (firstExample) {
        ExampleTime = o.ExampleTime;
        Example = o.Example;
      }
    }
  } Problems;
  void NoteMisplaced(TDateTime time) {
    if (Problems.Misplaced++ == 0) Problems.MisplacedTime = time;
  }
  // Takes a value read as text: true with value set for a number; false for a value that
  // counts as missing (then counted in Problems).
  bool TakeValue(std::string_view text, TDateTime time, bool truncated, double& value);

 private:
  // The function itself, without the completeness rule.
  void ComputeFunction(const std::string& FunctionName);
};

// The roll-over constant of a DELTA parameter (regional decimal separator, blanks around it
// allowed); false when the text is no number.
bool RolloverConstant(const std::string& parameter, double& out);

}  // namespace vnpp::compute
