#include "compute/ReadingValue.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace vnpp::compute {

TReadingValue ParseReadingValue(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  if (begin == end) return {};
  const char* first = text.data() + begin;
  const char* last = text.data() + end;
  // from_chars takes no leading "+".
  if (*first == '+' && last - first > 1 && first[1] != '-' && first[1] != '+') ++first;
  double value = 0;
  const auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
  if (ptr != last) return {};
  if (ec == std::errc::result_out_of_range) {
    // Beyond a double's range: an overflow is no number here, an underflow is as small as it
    // can be (strtod's value).
    const std::string copy(first, last);
    value = std::strtod(copy.c_str(), nullptr);
  } else if (ec != std::errc()) {
    return {};
  }
  if (!std::isfinite(value)) return {TValueKind::NonFinite, 0};
  return {TValueKind::Number, value};
}

}  // namespace vnpp::compute
