// Format-driven scanning and formatting of texts: the group-name lists of the configuration
// file and the placeholders of the program's messages.
//
// A format is literal characters and directives: "%", an optional decimal width and a
// directive letter. The only letter is P (a text field). A directive letter written in upper
// case also handles a separating comma: scanning passes over the rest of the field and the
// comma behind it, formatting puts a comma before the field unless the result is still empty.
// Any other letter is a failed step that stores nothing (scanning) or appends nothing
// (formatting); it still uses up one destination or argument.
// Thread safety: both functions are pure.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

namespace vnpp::common {

// Reads the fields of `format` out of `text` from the 1-based `position` (0 or below: the
// first character) into `destinations`, one per directive, in order. On return `position` is
// the 1-based position just behind what was consumed. Returns true when every literal and
// field matched; destinations and position are updated in either case. A null destination,
// or a directive without one, reads its field and stores nothing (a failed step).
bool ScanText(const std::string& text, int& position, const std::string& format,
              std::initializer_list<std::string*> destinations);

// Builds a text from `format`, filling each directive with the next argument. "%%" gives one
// "%". A width pads a shorter argument with blanks; a missing argument counts as empty text.
// Never fails.
std::string FormatText(const std::string& format, const std::vector<std::string>& args);

}  // namespace vnpp::common
