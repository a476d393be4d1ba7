// The systemd journal as a second destination of the message log in service mode.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace vnpp::host {

// What the journal records with a message besides its text.
struct TJournalFields {
  int Priority = 6;          // syslog priority: 3 error, 4 warning, 6 informational
  std::optional<int> Group;  // the group number of "PollGroup <n>: ..." messages
  bool operator==(const TJournalFields&) const = default;
};

// Error messages ("Error 1500: ...", "Error 1501: ...") are errors, "Database NOT
// connected." a warning, everything else informational.
TJournalFields ClassifyLogMessage(const std::string& message);

// Thread safety: Send may be called from any thread.
class IJournal {
 public:
  virtual ~IJournal() = default;
  // Records one message. A journal that cannot be reached loses it; never throws.
  virtual void Send(const std::string& message, const TJournalFields& fields) noexcept = 0;
};

// The system journal, with the syslog identifier "VNPostProcessor" and the field GROUP.
std::unique_ptr<IJournal> MakeSystemJournal();

}  // namespace vnpp::host
