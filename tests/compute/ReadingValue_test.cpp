#include "compute/ReadingValue.h"

#include <gtest/gtest.h>

#include <cmath>

namespace vnpp::compute {
namespace {

// What both databases may hand over as a value's text: their own forms of numbers and of
// the non-finite values, and whatever text a SQLite column was given.
TEST(ReadingValue, TakesWholeNumbersOnlyAndTellsNonFiniteApart) {
  struct Case {
    const char* text;
    TValueKind kind;
    double value;
  };
  const Case cases[] = {
      {"12.5", TValueKind::Number, 12.5},
      {" -3 ", TValueKind::Number, -3},
      {"+4e2", TValueKind::Number, 400},
      {"0.1", TValueKind::Number, 0.1},
      {"2.5231234567890123", TValueKind::Number, 2.5231234567890123},
      {"1e-400", TValueKind::Number, 0},
      {"12,5", TValueKind::NotNumber, 0},
      {"abc", TValueKind::NotNumber, 0},
      {"", TValueKind::NotNumber, 0},
      {"12.5 m", TValueKind::NotNumber, 0},
      {"0x10", TValueKind::NotNumber, 0},
      {"+-1", TValueKind::NotNumber, 0},
      {"NaN", TValueKind::NonFinite, 0},
      {"Infinity", TValueKind::NonFinite, 0},
      {"-Infinity", TValueKind::NonFinite, 0},
      {"Inf", TValueKind::NonFinite, 0},
      {"-Inf", TValueKind::NonFinite, 0},
      {"1e999", TValueKind::NonFinite, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const TReadingValue v = ParseReadingValue(c.text);
    EXPECT_EQ(v.Kind, c.kind);
    if (c.kind == TValueKind::Number) {
      EXPECT_EQ(v.Value, c.value);
    }
  }
}

}  // namespace
}  // namespace vnpp::compute
