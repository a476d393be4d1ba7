#include "host/CatchUp.h"

#include "host/ServiceMain.h"
#include "host/Startup.h"
#include "processing/Processing.h"

namespace vnpp::host {

TCatchUp::TCatchUp(TfrmServiceMain& form, std::FILE* out) : form_(form), out_(out) {
  form_.SetProcessingHandlers({[this] { OnLoaded(); },
                               [this] { OnDemandDone(); },
                               [this] { OnFinished(); },
                               {},
                               [this](const processing::TGroupRunReport& r) {
                                 groups_.insert(r.Index);
                                 windows_ += r.Windows;
                                 rows_ += r.Rows;
                                 failed_ += r.FailedEntries;
                               }});
}

void TCatchUp::OnLoaded() {
  if (requested_) return;
  requested_ = true;
  if (!form_.CatchUpEnabledGroups()) {
    done_ = true;
    Close();
  }
}

void TCatchUp::OnDemandDone() {
  processing::TProcessing* processing = form_.Processing();
  if (!requested_ || done_ || processing == nullptr || processing->DemandBusy()) return;
  done_ = true;
  Close();
}

void TCatchUp::OnFinished() {
  // The processing thread ended by itself: nothing more will be done.
  if (!done_) Close();
}

void TCatchUp::Close() {
  Process().ShuttingDown.store(true);
  form_.Close();
}

int CommandExitCode(bool configurationRefused, long failedEntries, bool complete, const char* what,
                    std::FILE* err) {
  if (configurationRefused) {
    std::fputs(
        "VNPPSvc: the configuration was missing or loading it stopped on an error (see "
        "the log); the groups it holds were not all processed.\n",
        err);
    return 1;
  }
  if (failedEntries > 0) {
    std::fprintf(err, "VNPPSvc: %ld station/sensor entries failed; see the log.\n", failedEntries);
    return 1;
  }
  if (!complete) {
    std::fprintf(err, "VNPPSvc: the %s was stopped before it completed; run it again.\n", what);
    return 1;
  }
  return 0;
}

int TCatchUp::ExitCode(bool stopSignalled, std::FILE* err) const {
  processing::TProcessing* processing = form_.Processing();
  if (requested_) {
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - started_;
    std::fprintf(out_,
                 "groups %zu, windows computed %lld, rows written %lld, failed entries %lld, "
                 "seconds %.1f\n",
                 groups_.size(), static_cast<long long>(windows_), static_cast<long long>(rows_),
                 static_cast<long long>(failed_), seconds.count());
    std::fflush(out_);
  }
  const long failed = processing != nullptr ? processing->FailedEntries() : 0;
  const long incomplete = processing != nullptr ? processing->IncompleteRuns() : 0;
  return CommandExitCode(form_.ConfigurationRefused(), failed,
                         !stopSignalled && done_ && incomplete == 0, "catch-up", err);
}

}  // namespace vnpp::host
