// Small text and file helpers shared by the subsystems.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vnpp::common {

// Upper case of ASCII letters only; every other byte stays as it is, whatever the locale.
inline char UpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string UpperAscii(std::string text) {
  for (char& c : text) c = UpperAscii(c);
  return text;
}

inline char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string LowerAscii(std::string text) {
  for (char& c : text) c = LowerAscii(c);
  return text;
}

// Equal when equal after ASCII upper-casing; no trimming.
inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  }
  return true;
}

// text without the leading and trailing bytes of blanks (blank, tab, line ends, vertical
// tab and form feed by default).
inline std::string Trim(std::string_view text, std::string_view blanks = " \t\n\v\f\r") {
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return std::string();
  const std::size_t last = text.find_last_not_of(blanks);
  return std::string(text.substr(first, last - first + 1));
}

// Appends value to json as a JSON string: quoted, with '"', '\\' and the control bytes
// escaped; other bytes as they are.
inline void AppendJsonString(std::string& json, std::string_view value) {
  constexpr char kHex[] = "0123456789abcdef";
  json += '"';
  for (const char c : value) {
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      json += "\\u00";
      json += kHex[(c >> 4) & 0xf];
      json += kHex[c & 0xf];
    } else {
      json += c;
    }
  }
  json += '"';
}

// Writes all size bytes to fd, retrying short and interrupted writes. False on failure, with
// errno telling why (ENOSPC, EFBIG, ...). *written, when given, receives the bytes written.
// Decimal with an optional sign, or hexadecimal after "0x" or "$" (32 bits, so "$FFFFFFFF" is
// -1): the integer values of the settings files. Nothing else may stand in the text. False
// when it is no number or out of range.
bool TryStrToInt(const std::string& text, std::int32_t& out);

inline bool WriteAll(int fd, const char* data, std::size_t size, std::size_t* written = nullptr) {
  if (written) *written = 0;
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      // No progress and no error: give up rather than spin.
      errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    if (written) *written += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace vnpp::common
