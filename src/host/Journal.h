// The systemd journal as a second destination of the message log in service mode.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/Mutex.h"
#include "common/ThreadAnnotations.h"

namespace vnpp::host {

// What the journal records with a message besides its text.
struct TJournalFields {
  int Priority = 6;          // syslog priority: 3 error, 4 warning, 6 informational
  std::optional<int> Group;  // the group number of "PollGroup <n>: ..." messages
  bool operator==(const TJournalFields&) const = default;
};

// The fields of a message written without a priority: the program's error texts ("Error
// 1500: ...", "Error 1501: ...", made from their fixed prefixes) are errors, everything else
// informational. Warnings are classified where they are made (ILog::WriteLogAs).
TJournalFields ClassifyLogMessage(const std::string& message);

// Thread safety: Send may be called from any thread.
class IJournal {
 public:
  virtual ~IJournal() = default;
  // Records one message. A journal that cannot be reached loses it; never throws.
  virtual void Send(const std::string& message, const TJournalFields& fields) noexcept = 0;
};

// Passes every message on to journal, except the per-window lines of LogDetail 2 ("Data for
// ..."), of which at most budget in each period reach it: a catch-up at that level makes
// thousands a second. At the first message after a period in which lines were left out, one
// informational line says how many. Errors, warnings and every other line always pass (the
// unit turns journald's own rate limit off, so that none of them is dropped there).
// nowNs: a steady clock in nanoseconds.
class TJournalLimiter final : public IJournal {
 public:
  // target names journal in the line that counts what was left out ("the journal").
  TJournalLimiter(std::unique_ptr<IJournal> journal, int budget, std::chrono::nanoseconds period,
                  std::function<std::int64_t()> nowNs, std::string target = "the journal");
  void Send(const std::string& message, const TJournalFields& fields) noexcept override;

 private:
  const std::unique_ptr<IJournal> journal_;
  const int budget_;
  const std::int64_t periodNs_;
  const std::function<std::int64_t()> nowNs_;
  const std::string target_;
  common::Mutex mu_;
  std::int64_t periodStart_ GUARDED_BY(mu_) = 0;
  int sent_ GUARDED_BY(mu_) = 0;
  std::int64_t leftOut_ GUARDED_BY(mu_) = 0;
};

// The system journal, with the syslog identifier "VNPostProcessor" and the field GROUP,
// behind a limiter of 1000 per-window lines in 30 seconds.
std::unique_ptr<IJournal> MakeSystemJournal();

}  // namespace vnpp::host
