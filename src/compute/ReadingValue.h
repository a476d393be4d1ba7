// How a reading's value, as the database's text of it, is taken: a number, or missing.
#pragma once

#include <string_view>

namespace vnpp::compute {

enum class TValueKind {
  Number,     // a finite number
  NonFinite,  // NaN, an infinity, or a number beyond the range of a double
  NotNumber,  // anything that is not wholly a number ("12,5", "abc", an empty text)
};

struct TReadingValue {
  TValueKind Kind = TValueKind::NotNumber;
  double Value = 0;  // set for Number only
};

// Blanks around the number are allowed; "." is the only decimal separator (the database's
// own text, never the regional one). Thread safety: none needed (a pure function).
TReadingValue ParseReadingValue(std::string_view text);

}  // namespace vnpp::compute
