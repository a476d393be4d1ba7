#include "host/Journal.h"

#include <sys/uio.h>
// Without this, sd_journal_sendv adds CODE_FILE with the path of this file on the machine
// that built the program.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <string_view>
#include <utility>

#include "common/Clock.h"
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
  if (message.rfind(common::kMsgErrorPrefix, 0) == 0 ||
      message.rfind(common::kMsgUnableToConnect, 0) == 0) {
    fields.Priority = kPriorityError;
  } else if (message.rfind("Warning: ", 0) == 0) {
    // Warnings that are written as text only (the load of the configuration).
    fields.Priority = kPriorityWarning;
  } else {
    fields.Priority = kPriorityInfo;
  }
  fields.Group = GroupOf(message);
  return fields;
}

TJournalLimiter::TJournalLimiter(std::unique_ptr<IJournal> journal, int budget,
                                 std::chrono::nanoseconds period,
                                 std::function<std::int64_t()> nowNs, std::string target)
    : journal_(std::move(journal)),
      budget_(budget),
      periodNs_(period.count()),
      nowNs_(std::move(nowNs)),
      target_(std::move(target)) {}

void TJournalLimiter::Send(const std::string& message, const TJournalFields& fields) noexcept {
  static const std::string_view kDetail = [] {
    const std::string_view format = common::kMsgDataFor;
    return format.substr(0, format.find('%'));  // "Data for \""
  }();
  const bool detail = fields.Priority == kPriorityInfo &&
                      std::string_view(message).substr(0, kDetail.size()) == kDetail;
  std::int64_t leftOut = 0;
  bool pass = true;
  {
    common::MutexLock lock(mu_);
    const std::int64_t now = nowNs_();
    if (now - periodStart_ >= periodNs_) {
      periodStart_ = now;
      sent_ = 0;
      leftOut = std::exchange(leftOut_, 0);
    }
    if (detail) {
      if (sent_ < budget_) {
        ++sent_;
      } else {
        ++leftOut_;
        pass = false;
      }
    }
  }
  if (leftOut > 0) {
    try {
      journal_->Send(std::to_string(leftOut) + " per-window messages were left out of " + target_ +
                         "; the log file has them (LogMessage=1)",
                     TJournalFields{});
    } catch (...) {
    }
  }
  if (pass) journal_->Send(message, fields);
}

std::unique_ptr<IJournal> MakeSystemJournal() {
  return std::make_unique<TJournalLimiter>(std::make_unique<TSystemJournal>(), 1000,
                                           std::chrono::seconds(30),
                                           [] { return common::SteadyNanoseconds(); });
}

}  // namespace vnpp::host
