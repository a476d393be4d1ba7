#include "host/Recompute.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "common/Text.h"
#include "config/Configuration.h"
#include "host/CatchUp.h"
#include "host/ServiceMain.h"
#include "host/Startup.h"
#include "processing/Processing.h"

namespace vnpp::host {

bool ParseRecomputeArgs(const std::vector<std::string>& args, bool& present, TRecomputeArgs& out,
                        std::string& error) {
  present = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!HasSwitch({args[i]}, "recompute")) continue;
    present = true;
    if (i + 3 >= args.size()) {
      error = "-recompute needs GROUP FROM TO";
      return false;
    }
    out.Group = args[i + 1];
    for (const auto& [text, value] :
         {std::pair{&args[i + 2], &out.From}, {&args[i + 3], &out.To}}) {
      if (!common::ParseDateTimeArgument(*text, *value)) {
        error = "\"" + *text +
                "\" is not a valid date and time: FROM and TO of -recompute are written "
                "YYYY-MM-DD[ HH:MM[:SS]]";
        return false;
      }
    }
    return true;
  }
  return true;
}

TRecomputeCommand::TRecomputeCommand(TfrmServiceMain& form, TRecomputeArgs args, std::FILE* out)
    : form_(form), args_(std::move(args)), out_(out) {
  TfrmServiceMain::TProcessingHandlers handlers;
  handlers.Loaded = [this] { OnLoaded(); };
  handlers.Finished = [this] {
    if (!done_) Close();
  };
  handlers.RecomputeFinished = [this](const processing::TRecomputeReport& r) { OnFinished(r); };
  form_.SetProcessingHandlers(std::move(handlers));
}

void TRecomputeCommand::OnLoaded() {
  if (requestId_ != 0 || done_) return;
  processing::TProcessing* processing = form_.Processing();
  // The group's number as the log shows it (digits only: a section may be named "$1"), or
  // its section name.
  int index = -1;
  const bool digits =
      !args_.Group.empty() && std::all_of(args_.Group.begin(), args_.Group.end(),
                                          [](char c) { return c >= '0' && c <= '9'; });
  std::int32_t number = 0;
  if (digits) {
    // Too large a number is no group.
    if (common::TryStrToInt(args_.Group, number)) index = number - 1;
  } else if (const config::TConfiguration* config = form_.Configuration()) {
    if (const config::TPostProcGroups* groups = config->Groups()) {
      for (int i = 0; i < groups->Count(); ++i) {
        if (common::EqualsNoCase(groups->Item(i).SectionName, args_.Group)) index = i;
      }
    }
  }
  std::string error;
  if (index < 0) {
    error =
        digits ? "there is no group with this number" : "there is no group with this section name";
  } else if (processing != nullptr) {
    requestId_ = processing->Recompute(index, args_.From, args_.To, error);
  } else {
    error = "processing is not running";
  }
  if (requestId_ == 0) {
    refusal_ = "VNPPSvc: cannot recompute group " + args_.Group + ": " + error + ".";
    done_ = true;
    Close();
  }
}

void TRecomputeCommand::OnFinished(const processing::TRecomputeReport& r) {
  if (r.RequestId != requestId_ || done_) return;
  done_ = true;
  failed_ = r.FailedEntries;
  std::fprintf(out_,
               "windows checked %lld, rows written %lld, rows deleted %lld, failed entries %lld\n",
               static_cast<long long>(r.WindowsChecked), static_cast<long long>(r.RowsWritten),
               static_cast<long long>(r.RowsDeleted), static_cast<long long>(r.FailedEntries));
  Close();
}

void TRecomputeCommand::Close() {
  Process().ShuttingDown.store(true);
  form_.Close();
}

int TRecomputeCommand::ExitCode(bool stopSignalled, std::FILE* err) const {
  if (!refusal_.empty()) {
    std::fprintf(err, "%s\n", refusal_.c_str());
    return 1;
  }
  return CommandExitCode(form_.ConfigurationRefused(), static_cast<long>(failed_),
                         !stopSignalled && done_, "recompute", err);
}

}  // namespace vnpp::host
