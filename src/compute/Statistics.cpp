#include "compute/Statistics.h"

#include <cmath>

namespace vnpp::compute {

void TStatistics::Reset() {
  Count = 0;
  Sum = 0;
  SumSq = 0;
  Min = Unset;
  Max = Unset;
  MinTag = 0;
  MaxTag = 0;
  runningMean_ = 0;
  sumSqDev_ = 0;
}

void TStatistics::Add(EpochSeconds tag, double value) {
  Count += 1;
  Sum += value;
  SumSq += value * value;
  // The first value sets both extremes by the count rather than by comparing with Unset,
  // so a reading of exactly -1.0E308 is kept like any other.
  const bool first = Count == 1;
  if (first || value > Max) {
    Max = value;
    MaxTag = tag;
  }
  if (first || value < Min) {
    Min = value;
    MinTag = tag;
  }
  const double delta = value - runningMean_;
  runningMean_ += delta / Count;
  sumSqDev_ += delta * (value - runningMean_);
}

double TStatistics::Mean() const { return Count > 0 ? Sum / Count : Sum; }

double TStatistics::StdDev() const {
  if (Count <= 1) return 0;
  return std::sqrt(std::fabs(sumSqDev_ / (Count - 1)));
}

}  // namespace vnpp::compute
