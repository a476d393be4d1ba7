// The program's main object: owns the message log, drives the message timer, keeps the two
// status texts, and owns the configuration and processing.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "automation/ServiceControl.h"
#include "common/EventSink.h"
#include "common/Mutex.h"
#include "common/ThreadAnnotations.h"
#include "host/Journal.h"
#include "host/MainLoop.h"
#include "host/MessageLog.h"
#include "host/Watchdog.h"
#include "processing/ProcessThread.h"

namespace vnpp::config {
class TConfiguration;
}
namespace vnpp::database {
class TDatabase;
}
namespace vnpp::processing {
class TProcessing;
}
namespace vnpp::metrics {
class TMetrics;
class TMetricsEndpoint;
}  // namespace vnpp::metrics

namespace vnpp::host {

// The unit's status text while processing is stopped (vnppctl stop, StopProcess).
inline constexpr const char* kStatusStopped = "Processing stopped.";
// ... after a start, until processing names a next group (none is enabled, or it is loading).
inline constexpr const char* kStatusNothingScheduled = "Processing started; no group is scheduled.";

// Thread safety: main-thread object. Exceptions: PostPollGroupChanged, PostClose and the
// label getters may be called from any thread; Log() itself is safe everywhere. The operations
// offered to the automation object (automation::IServiceControl) are safe from any thread;
// StartProcessing and StopProcessing wait for the processing thread.
class TfrmServiceMain : public processing::IStatusSink, public automation::IServiceControl {
 public:
  // loop must outlive this object. hostComObject is the broadcast target, taken into use by
  // FormCreate; nullptr for none. It must outlive this object or FormClose. runAsService
  // (the run mode): the journal takes the log's messages, and a refusal of the database is
  // not shown on standard error.
  explicit TfrmServiceMain(TMainLoop& loop, common::IEventSink* hostComObject = nullptr,
                           bool runAsService = false);
  // Closes the object (FormClose) when it was created and not yet closed. Never throws.
  ~TfrmServiceMain() override;
  TfrmServiceMain(const TfrmServiceMain&) = delete;
  TfrmServiceMain& operator=(const TfrmServiceMain&) = delete;

  // Creation: the message queue, ProgramDir, LogFileName, LogMessage false,
  // RestartProcessing, the timer.
  void FormCreate();
  // The closing steps; failures are logged, the close goes on.
  void FormClose();
  // A close request: FormClose once, and the main loop ends.
  void Close();
  // Close on the main thread, from any thread.
  void PostClose();
  bool Closed() const { return closed_; }

  // The stop command (SIGINT in desktop mode): ShuttingDown, then Close.
  void Stopservice1Click();

  // The message timer's handler: writes the queued messages, then feeds systemd's watchdog
  // when it watches this process and processing makes progress.
  void tmrMessageTimer();

  // Posts the "next group changed" notice to the main thread. Any thread.
  void PostPollGroupChanged();
  // Its handler: reports the two status texts to systemd ("STATUS=") and, with an
  // automation object, broadcasts item "POLLGROUP".
  void WMPollGroupChanged();

  // The status texts, "Disabled" until the processing thread first publishes.
  std::string PollGroupLabel() const EXCLUDES(labelMu_);
  std::string PollTimeLabel() const EXCLUDES(labelMu_);

  // Processing, safe from any thread. Without a processing object (before FormCreate, in
  // an install run) they do nothing, and the readers give an empty text and 0. Once the
  // object is closing, StartProcessing and RestartProcessing do nothing.
  void RestartProcessing();
  void StartProcessing() override;
  void StopProcessing() override;
  bool IsProcessing() const override;
  std::string NextPollGroup() const override;
  common::TDateTime NextPollTime() const override;
  // Runs the group at 0-based list position index at once; nothing for another index.
  void RunProcessGroup(int index) override;
  void StopProcessGroup() override;
  // processing::TProcessing::Recompute; refused without a processing object.
  std::uint64_t Recompute(int index, common::TDateTime from, common::TDateTime to,
                          std::string& error) override;
  int GetLogDetail() const override { return log_.LogDetail(); }
  void SetLogDetail(int level) override { log_.SetLogDetail(level); }
  // Every configured group as processing last saw it, in list order.
  std::vector<common::TGroupStatus> GroupStatus() const override;
  std::vector<std::string> ConfigurationProblems() const override;
  // For the catch-up command: the processing object (nullptr before FormCreate) and the
  // list positions of the enabled groups, once the configuration is loaded.
  processing::TProcessing* Processing() const { return processing_.get(); }
  // The configuration, nullptr before FormCreate. Main thread only.
  const config::TConfiguration* Configuration() const { return config_.get(); }
  std::vector<int> EnabledGroupIndexes() const;
  // Brings every enabled group up to the present, leaving each window its BaseTime, as the
  // catch-up command does; true when there was a group to run.
  bool CatchUpEnabledGroups();
  // A stop had to leave the processing thread waiting for a database that does not answer:
  // the program must end without freeing what that thread uses.
  bool ProcessingAbandoned() const;
  // The last load of the configuration stopped on an error or found no file.
  bool ConfigurationRefused() const;

  // Main-thread handlers of the processing thread's moments (see processing::TProcessEvents),
  // delivered through the main loop. Set them before FormCreate; main thread only.
  struct TProcessingHandlers {
    std::function<void()> Loaded;
    std::function<void()> DemandDone;
    std::function<void()> Finished;
    std::function<void(const processing::TRecomputeReport&)> RecomputeFinished;
    std::function<void(const processing::TGroupRunReport&)> GroupRunFinished;
  };
  // They replace the default ones (Loaded: the catch-up of CatchUpAtStart).
  void SetProcessingHandlers(TProcessingHandlers handlers) { handlers_ = std::move(handlers); }

  // The processing thread's status publication: sets the captions under their lock and
  // posts the "next group changed" notice.
  void ShowNextGroup(const std::string& groupText, common::TDateTime dueTime) override;

  TMessageLog& Log() { return log_; }
  TMainLoop& Loop() { return loop_; }
  // Operators' metrics, fed from FormCreate on (nullptr before); served over HTTP once the
  // configuration is first loaded when MetricsAddress of [PostProcess] names an address.
  metrics::TMetrics* Metrics() const { return metrics_.get(); }
  // The port the metrics endpoint listens on; 0 without one. Main thread.
  int MetricsPort() const;
  common::IEventSink* HostComObject() const { return hostComObject_; }

  // Fields of the main object.
  std::string ProgramDir;  // with a trailing '/'

 private:
  void LogFailure(const char* what);
  // Once, on the main thread after the first load of the configuration (LogMessage is then
  // in force): listens on the configuration's MetricsAddress; a failure is one "Error 1500: "
  // line.
  void StartMetricsEndpoint();

  TMainLoop& loop_;
  common::IEventSink* hostComObject_;
  const bool runAsService_;
  TProcessingHandlers handlers_;  // main thread only
  bool created_ = false;
  bool closed_ = false;
  // Service mode only; declared before the log, which refers to it.
  std::unique_ptr<IJournal> journal_;
  // Fed by the processing thread and the log; declared before both.
  std::unique_ptr<metrics::TMetrics> metrics_;
  std::unique_ptr<IJournal> logCounter_;  // counts each message for metrics_, then journal_
  // Serialises starting and stopping with the close: held across the wait for the
  // processing thread, so that a start asked for by a client can never follow the stop of
  // FormClose. Lock order: before the processing object's locks.
  std::mutex controlMu_;
  bool closing_ = false;  // guarded by controlMu_
  TMessageLog log_;
  // The status texts: written by the processing thread, read by the main thread and clients.
  mutable common::Mutex labelMu_;
  std::string lblPollGroup_ GUARDED_BY(labelMu_) = "Disabled";
  std::string lblPollTime_ GUARDED_BY(labelMu_) = "Disabled";
  // A group has been shown since the last StopProcessing (the status text after a start).
  bool shownSinceStop_ GUARDED_BY(labelMu_) = false;
  // Declared after the log so that they go first; processing_ before what it uses.
  std::unique_ptr<config::TConfiguration> config_;
  std::unique_ptr<database::TDatabase> database_;
  std::unique_ptr<processing::TProcessing> processing_;
  // When systemd watches this process; reads processing_.
  std::unique_ptr<TWatchdog> watchdog_;
  // Its scrapes read processing_: declared after it, so that it stops first.
  std::unique_ptr<metrics::TMetricsEndpoint> metricsEndpoint_;
  bool metricsTried_ = false;  // main thread only
};

}  // namespace vnpp::host
