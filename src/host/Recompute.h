// "-recompute GROUP FROM TO": once the configuration is loaded, every window of every entry
// of one group inside [FROM, TO) is computed again and only the rows that changed are
// written; when that is done the program closes. The entries' progress stays as it is.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/DateTime.h"

namespace vnpp::processing {
struct TRecomputeReport;
}

namespace vnpp::host {

class TfrmServiceMain;

// The arguments of -recompute: GROUP (a number from 1 as the log shows it, or a section
// name, letter case ignored) and FROM and TO as "YYYY-MM-DD[ HH:MM[:SS]]", local time.
struct TRecomputeArgs {
  std::string Group;
  common::TDateTime From = 0;
  common::TDateTime To = 0;
};
// The arguments after the switch "-recompute" in args; false with error set when the switch
// is there but its arguments are missing or malformed. present tells whether it is there.
bool ParseRecomputeArgs(const std::vector<std::string>& args, bool& present, TRecomputeArgs& out,
                        std::string& error);

// Thread safety: main thread only; it is driven by the main loop's messages.
class TRecomputeCommand {
 public:
  // Takes over the processing handlers of form. REQUIRES: form.FormCreate has not run yet;
  // form outlives this object.
  TRecomputeCommand(TfrmServiceMain& form, TRecomputeArgs args, std::FILE* out);
  TRecomputeCommand(const TRecomputeCommand&) = delete;
  TRecomputeCommand& operator=(const TRecomputeCommand&) = delete;

  // After the main loop has ended: 0 when the range was checked and no entry failed; 1 with
  // the reason on err otherwise.
  int ExitCode(bool stopSignalled, std::FILE* err) const;

 private:
  void OnLoaded();
  void OnFinished(const processing::TRecomputeReport& report);
  void Close();

  TfrmServiceMain& form_;
  const TRecomputeArgs args_;
  std::FILE* out_;
  std::uint64_t requestId_ = 0;
  bool done_ = false;
  std::int64_t failed_ = 0;
  std::string refusal_;
};

}  // namespace vnpp::host
