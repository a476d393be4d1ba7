#include "common/Text.h"

#include <cstdint>

namespace vnpp::common {

bool TryStrToInt(const std::string& text, std::int32_t& out) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < text.size() && text[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= text.size()) return false;
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    int digit = -1;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    }
    if (digit < 0) return false;
    value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
    if (value > 0xFFFFFFFFull) return false;
  }
  std::int64_t result = 0;
  if (hex) {
    // Hexadecimal spells the 32 bits of the number.
    result = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
  } else {
    if (value > (negative ? 2147483648ull : 2147483647ull)) return false;
    result = static_cast<std::int64_t>(value);
  }
  out = static_cast<std::int32_t>(negative ? -result : result);
  return true;
}

}  // namespace vnpp::common
