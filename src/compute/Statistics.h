// The accumulator behind the statistical post-process functions.
#pragma once

#include "common/DateTime.h"

namespace vnpp::compute {

using common::EpochSeconds;

// Thread safety: none; one instance serves one computation.
class TStatistics {
 public:
  // Min and Max hold this until the first value is added.
  static constexpr double Unset = -1.0E308;

  TStatistics() { Reset(); }

  void Reset();
  // Among equal extremes the first value added keeps its tag.
  void Add(EpochSeconds tag, double value);
  // Sum / Count, or 0 when nothing was added.
  double Mean() const;
  // Sample standard deviation (divisor Count - 1); 0 for fewer than two values.
  double StdDev() const;

  double Count = 0;
  double Sum = 0;
  double SumSq = 0;
  double Min = Unset;
  double Max = Unset;
  EpochSeconds MinTag = 0;
  EpochSeconds MaxTag = 0;

 private:
  // Running mean and sum of squared deviations from it, so that the deviation of values
  // far from zero does not drown in the rounding of Count * SumSq - Sum * Sum.
  double runningMean_ = 0;
  double sumSqDev_ = 0;
};

}  // namespace vnpp::compute
