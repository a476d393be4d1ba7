// The backfill of "-catchup": once the configuration is loaded every enabled group is run at
// once, in list order; when the demand list is worked off, the program closes.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <set>

namespace vnpp::host {

class TfrmServiceMain;

// The exit status of a run from the command line that ended (what: "catch-up", "recompute"):
// 1 with one line on err when the configuration was refused, entries failed, or the run did
// not complete; else 0.
int CommandExitCode(bool configurationRefused, long failedEntries, bool complete, const char* what,
                    std::FILE* err);

// Thread safety: main thread only; it is driven by the main loop's messages.
class TCatchUp {
 public:
  // Takes over the processing handlers of form. REQUIRES: form.FormCreate has not run yet;
  // form outlives this object.
  // The summary line goes to out.
  TCatchUp(TfrmServiceMain& form, std::FILE* out);
  TCatchUp(const TCatchUp&) = delete;
  TCatchUp& operator=(const TCatchUp&) = delete;

  // After the main loop has ended: one summary line on out (groups run, windows computed,
  // rows written, failed entries, seconds) when the configuration was loaded, then 0 when
  // every enabled group was brought up to date; 1 (with one line on err) when the configuration was
  // missing or refused, an entry failed, a run ended early, or the catch-up was stopped
  // (stopSignalled) or ended before it was done.
  int ExitCode(bool stopSignalled, std::FILE* err) const;

  bool Done() const { return done_; }

 private:
  void OnLoaded();
  void OnDemandDone();
  void OnFinished();
  void Close();

  TfrmServiceMain& form_;
  std::FILE* out_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::set<int> groups_;
  std::int64_t windows_ = 0, rows_ = 0, failed_ = 0;
  bool requested_ = false;
  bool done_ = false;
};

}  // namespace vnpp::host
