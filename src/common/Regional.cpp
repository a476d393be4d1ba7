#include "common/Regional.h"

#include <langinfo.h>
#include <locale.h>

#include <cctype>
#include <cstring>

namespace vnpp::common {
namespace {

TRegionalSettings g_settings;

// The first character of a strftime pattern that is neither part of a directive nor a
// letter or digit: the separator between the pattern's fields.
char SeparatorOf(const char* pattern, char fallback) {
  if (pattern == nullptr) return fallback;
  for (const char* p = pattern; *p != '\0'; ++p) {
    if (*p == '%') {
      if (p[1] == '\0') break;
      ++p;
      if (*p == 'E' || *p == 'O') {
        if (p[1] == '\0') break;
        ++p;
      }
      continue;
    }
    const auto c = static_cast<unsigned char>(*p);
    if (!std::isalnum(c) && c != ' ') return *p;
  }
  return fallback;
}

}  // namespace

const TRegionalSettings& Regional() { return g_settings; }

void SetRegionalSettings(const TRegionalSettings& settings) { g_settings = settings; }

void LoadRegionalSettings() {
  locale_t loc = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) return;  // unknown locale: keep the C defaults
  TRegionalSettings s;
  s.DateSeparator = SeparatorOf(nl_langinfo_l(D_FMT, loc), '/');
  s.TimeSeparator = SeparatorOf(nl_langinfo_l(T_FMT, loc), ':');
  const char* dp = nl_langinfo_l(RADIXCHAR, loc);
  if (dp != nullptr && std::strlen(dp) == 1) s.DecimalSeparator = dp[0];
  freelocale(loc);
  g_settings = s;
}

}  // namespace vnpp::common
