// Date-time helpers shared by the processing tests.
#pragma once

#include <gtest/gtest.h>

#include "common/DateTime.h"

namespace vnpp::processing::testing {

inline common::TDateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return common::EncodeDateTime(y, mo, d, h, mi, s, ms);
}

inline common::EpochSeconds EpochAt(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  return common::DateTimeToEpoch(At(y, mo, d, h, mi, s));
}

// Two date-times are the same moment to the millisecond.
inline ::testing::AssertionResult SameTime(common::TDateTime actual, common::TDateTime expected) {
  if (actual - expected < 0.5 / common::kMSecsPerDay &&
      expected - actual < 0.5 / common::kMSecsPerDay) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << common::FormatDateTimeText(actual, true) << " (" << actual << ") is not "
         << common::FormatDateTimeText(expected, true) << " (" << expected << ")";
}

}  // namespace vnpp::processing::testing
