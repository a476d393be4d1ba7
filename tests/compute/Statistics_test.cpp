#include "compute/Statistics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace vnpp::compute {
namespace {

TEST(Statistics, ValueEqualToUnsetMarkerIsKeptAsAnExtreme) {
  TStatistics s;
  s.Add(1, TStatistics::Unset);
  s.Add(2, 5);
  s.Add(3, 4);
  EXPECT_EQ(s.Min, TStatistics::Unset);
  EXPECT_EQ(s.MinTag, 1);
  EXPECT_EQ(s.Max, 5);
  EXPECT_EQ(s.MaxTag, 2);
}

TEST(Statistics, SampleStandardDeviationStaysAccurateFarFromZero) {
  struct Case {
    std::vector<double> values;
    double expected;
  };
  const Case cases[] = {
      {{7}, 0},
      {{1, 3}, std::sqrt(2.0)},
      {{2, 4, 4, 4, 5, 5, 7, 9}, 2.1380899352993950},
      // A level that does not move has no deviation, however large the level.
      {std::vector<double>(96, 1234.56), 0},
      {std::vector<double>(96, 100000000.1), 0},
      {{1e8 + 2, 1e8 + 4, 1e8 + 4, 1e8 + 4, 1e8 + 5, 1e8 + 5, 1e8 + 7, 1e8 + 9},
       2.1380899352993950},
  };
  for (const Case& c : cases) {
    TStatistics s;
    for (double v : c.values) s.Add(0, v);
    EXPECT_NEAR(s.StdDev(), c.expected, 1e-9) << "first value " << c.values[0];
  }
}

}  // namespace
}  // namespace vnpp::compute
