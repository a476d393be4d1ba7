// Statement text helpers of the ODBC layer, kept apart from ODBC so they can be tested alone.
#pragma once

#include <string>
#include <vector>

#include "common/DateTime.h"
#include "common/Text.h"

namespace vnpp::database {

// A statement text with its ":NAME" parameters replaced by "?" markers.
struct TTranslatedSql {
  std::string Text;
  // Name of the parameter at each marker, in marker order, upper-cased. A name that occurs
  // more than once appears once per occurrence.
  std::vector<std::string> MarkerNames;
};

// Replaces each ":NAME" (NAME: a letter or "_", then letters, digits or "_") by "?".
// Left alone: '...' literals (with '' inside), "..." identifiers, -- and /* */ comments,
// and "::" casts.
TTranslatedSql TranslateNamedParams(const std::string& sql);

// "YYYY-MM-DD HH:MM:SS", with ".mmm" added only when the milliseconds are not zero. Both
// drivers compare this form correctly with time stamps stored as text without fraction.
std::string FormatSqlTimestamp(common::TDateTime t);
// The same text into out, reusing its storage (for statements bound many times over).
void FormatSqlTimestamp(common::TDateTime t, std::string& out);

using common::UpperAscii;

}  // namespace vnpp::database
