// The system's regional settings, read from the process locale once at start.
#pragma once

namespace vnpp::common {

struct TRegionalSettings {
  char DateSeparator = '/';
  char TimeSeparator = ':';
  char DecimalSeparator = '.';
};

// The settings in force: the C/POSIX defaults until LoadRegionalSettings runs.
const TRegionalSettings& Regional();

// Reads the separators of the environment's locale (LANG, LC_*), without changing the
// C library's own locale, so number formatting elsewhere stays "C". Call once at start.
void LoadRegionalSettings();

// REQUIRES: no other thread reads the settings. Start-up and tests only.
void SetRegionalSettings(const TRegionalSettings& settings);

}  // namespace vnpp::common
