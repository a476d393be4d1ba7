#include "host/Journal.h"

#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include <string_view>

#include "common/Log.h"
#include "common/ServiceName.h"

namespace vnpp::host {
namespace {

constexpr int kPriorityError = 3;
constexpr int kPriorityWarning = 4;
constexpr int kPriorityInfo = 6;

// The number n of a message that starts "PollGroup <n>:".
std::optional<int> GroupOf(std::string_view message) {
  constexpr std::string_view kPrefix = "PollGroup ";
  if (message.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  message.remove_prefix(kPrefix.size());
  long value = 0;
  std::size_t digits = 0;
  while (digits < message.size() && message[digits] >= '0' && message[digits] <= '9') {
    if (digits == 9) return std::nullopt;  // longer than any group number
    value = value * 10 + (message[digits] - '0');
    ++digits;
  }
  if (digits == 0 || digits >= message.size() || message[digits] != ':') return std::nullopt;
  return static_cast<int>(value);
}

class TSystemJournal final : public IJournal {
 public:
  void Send(const std::string& message, const TJournalFields& fields) noexcept override {
    try {
      const std::string text = "MESSAGE=" + message;
      const std::string priority = "PRIORITY=" + std::to_string(fields.Priority);
      const std::string group = fields.Group ? "GROUP=" + std::to_string(*fields.Group) : "";
      static const std::string kIdent = std::string("SYSLOG_IDENTIFIER=") + common::kServiceName;
      iovec fieldsV[4] = {
          {const_cast<char*>(text.data()), text.size()},
          {const_cast<char*>(priority.data()), priority.size()},
          {const_cast<char*>(kIdent.data()), kIdent.size()},
          {const_cast<char*>(group.data()), group.size()},
      };
      ::sd_journal_sendv(fieldsV, fields.Group ? 4 : 3);
    } catch (...) {
      // Out of memory: the journal misses this line; the log file still has it.
    }
  }
};

}  // namespace

TJournalFields ClassifyLogMessage(const std::string& message) {
  TJournalFields fields;
  if (message.rfind("Error ", 0) == 0) {
    fields.Priority = kPriorityError;
  } else if (message == common::kMsgDatabaseNotConnected) {
    fields.Priority = kPriorityWarning;
  } else {
    fields.Priority = kPriorityInfo;
  }
  fields.Group = GroupOf(message);
  return fields;
}

std::unique_ptr<IJournal> MakeSystemJournal() { return std::make_unique<TSystemJournal>(); }

}  // namespace vnpp::host
