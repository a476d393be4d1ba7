#include "common/PScan.h"

#include <cstddef>

#include "common/Text.h"

namespace vnpp::common {
namespace {

bool IsUpperLetter(char c) { return c >= 'A' && c <= 'Z'; }

bool IsFieldEnd(char c) { return c == ',' || c == '\r' || c == '\n'; }

// Reads the optional width at format[f]; leaves f on the directive letter (or the end).
// Returns 0 when no width is given. Widths beyond any text length are capped.
std::size_t ReadWidth(const std::string& format, std::size_t& f) {
  std::size_t width = 0;
  while (f < format.size() && format[f] >= '0' && format[f] <= '9') {
    if (width < 1000000) width = width * 10 + static_cast<std::size_t>(format[f] - '0');
    ++f;
  }
  return width;
}

}  // namespace

bool ScanText(const std::string& text, int& position, const std::string& format,
              std::initializer_list<std::string*> destinations) {
  const std::size_t n = text.size();
  // A start beyond the end reads as the end of the text.
  std::size_t i = position > 0 ? static_cast<std::size_t>(position - 1) : 0;
  if (i > n) i = n;
  auto dest = destinations.begin();
  bool ok = true;

  std::size_t f = 0;
  while (f < format.size()) {
    const char fc = format[f];
    if (fc != '%' || (f + 1 < format.size() && format[f + 1] == '%')) {
      // A literal character ("%%" matches one "%").
      if (i < n && UpperAscii(text[i]) == UpperAscii(fc)) {
        ++i;
      } else {
        ok = false;
        if (i < n) ++i;
      }
      f += (fc == '%') ? 2 : 1;
      continue;
    }

    ++f;  // past '%'
    const std::size_t width = ReadWidth(format, f);
    if (f >= format.size()) {  // "%" without a letter
      ok = false;
      break;
    }
    const char letter = format[f++];
    std::string* target = nullptr;
    if (dest != destinations.end()) target = *dest++;

    if (UpperAscii(letter) == 'P') {
      const std::size_t start = i;
      while (i < n && !IsFieldEnd(text[i]) && (width == 0 || i - start < width)) ++i;
      if (target != nullptr) {
        target->assign(text, start, i - start);
      } else {
        ok = false;
      }
    } else {
      ok = false;
    }

    if (IsUpperLetter(letter)) {
      while (i < n && !IsFieldEnd(text[i])) ++i;
      if (i < n && text[i] == ',') ++i;
    }
  }

  position = static_cast<int>(i) + 1;
  return ok;
}

std::string FormatText(const std::string& format, const std::vector<std::string>& args) {
  std::string result;
  std::size_t arg = 0;
  std::size_t f = 0;
  while (f < format.size()) {
    const char fc = format[f];
    if (fc != '%') {
      result += fc;
      ++f;
      continue;
    }
    if (f + 1 < format.size() && format[f + 1] == '%') {
      result += '%';
      f += 2;
      continue;
    }
    ++f;  // past '%'
    const std::size_t width = ReadWidth(format, f);
    if (f >= format.size()) break;  // "%" without a letter appends nothing
    const char letter = format[f++];
    if (IsUpperLetter(letter) && !result.empty()) result += ',';
    const std::string* value = arg < args.size() ? &args[arg] : nullptr;
    ++arg;
    if (UpperAscii(letter) != 'P') continue;
    if (value != nullptr) result += *value;
    const std::size_t len = value != nullptr ? value->size() : 0;
    if (width > len) result.append(width - len, ' ');
  }
  return result;
}

}  // namespace vnpp::common
