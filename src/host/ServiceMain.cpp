#include "host/ServiceMain.h"

#include <syslog.h>

#include <chrono>
#include <exception>

#include "common/Error.h"
#include "common/Log.h"
#include "config/Configuration.h"
#include "database/Database.h"
#include "host/ServiceNotify.h"
#include "host/Startup.h"
#include "metrics/Endpoint.h"
#include "metrics/Metrics.h"
#include "processing/Processing.h"

namespace vnpp::host {
namespace {

// Counts every message of the log for the metrics, then hands it on to the journal, if any.
class TCountingJournal final : public IJournal {
 public:
  TCountingJournal(IJournal* next, metrics::TMetrics& metrics) : next_(next), metrics_(metrics) {}
  void Send(const std::string& message, const TJournalFields& fields) noexcept override {
    metrics_.LogMessage(fields.Priority);
    if (next_ != nullptr) next_->Send(message, fields);
  }

 private:
  IJournal* next_;
  metrics::TMetrics& metrics_;
};

}  // namespace

TfrmServiceMain::TfrmServiceMain(TMainLoop& loop, common::IEventSink* hostComObject,
                                 bool runAsService)
    : loop_(loop), hostComObject_(hostComObject), runAsService_(runAsService) {
  // CatchUpAtStart: the backlog first, then the schedule. The catch-up command puts its own
  // handlers in place of this one.
  handlers_.Loaded = [this] {
    if (config_ && config_->CatchUpAtStart()) CatchUpEnabledGroups();
  };
}

TfrmServiceMain::~TfrmServiceMain() {
  // The processing thread must not outlive its owner, whatever way main leaves.
  try {
    if (created_ && !closed_) {
      closed_ = true;
      FormClose();
    }
  } catch (...) {
    // A destructor cannot report; FormClose has logged what it could.
  }
}

void TfrmServiceMain::LogFailure(const char* what) {
  log_.WriteLogAs(common::ILog::TPriority::Error, std::string(common::kMsgErrorPrefix) + what);
}

void TfrmServiceMain::FormCreate() {
  created_ = true;
  if (runAsService_) {
    OpenSyslog();
    journal_ = MakeSystemJournal();
    log_.SetJournal(journal_.get());
  }
  metrics_ = std::make_unique<metrics::TMetrics>([this] {
    return metrics::TProcessingView{IsProcessing(), GroupStatus()};
  });
  logCounter_ = std::make_unique<TCountingJournal>(journal_.get(), *metrics_);
  log_.SetJournal(logCounter_.get());
  // Broadcasts go to the automation object from here on.
  log_.SetEventSink(hostComObject_);
  log_.CreateMessageQueue();
  ProgramDir = ProgramDirectory();
  log_.SetLogFileName(ProgramDir + "LogFiles/VNPostProc.log");
  log_.SetLogMessage(false);
  config_ = std::make_unique<config::TConfiguration>(ProgramDir, log_);
  // Never waits for anybody: the processing thread goes on at once. The refusal with its
  // cause goes to the log (and so to the journal in service mode); on the desktop it is
  // shown on standard error as well.
  database_ = std::make_unique<database::TDatabase>([this](const std::string& text) {
    log_.QueueMessage(text);
    if (!runAsService_) ShowOperatorMessage(text);
  });
  // The processing thread's moments reach the handlers on this thread; the thread itself only
  // posts and goes on.
  auto relay = [this](std::function<void()> TProcessingHandlers::*which) {
    return [this, which] {
      loop_.Post([this, which] {
        if (handlers_.*which) (handlers_.*which)();
      });
    };
  };
  processing::TProcessEvents events{
      relay(&TProcessingHandlers::Loaded),
      relay(&TProcessingHandlers::DemandDone),
      relay(&TProcessingHandlers::Finished),
      [this](const processing::TGroupRunReport& r) {
        // The sink only queues the signal; FormClose stops processing before dropping it.
        if (common::IEventSink* sink = log_.EventSink()) {
          sink->GroupRunFinished(r.Index, r.Windows, r.FailedEntries);
        }
        metrics_->RunFinished(r);
        loop_.Post([this, r] {
          if (handlers_.GroupRunFinished) handlers_.GroupRunFinished(r);
        });
      },
      [this](const processing::TGroupRunReport& r) { metrics_->RunProgress(r); },
      [this](const processing::TRecomputeReport& r) {
        loop_.Post([this, r] {
          // Clients that asked on the bus wait for the signal; FormClose drops the sink.
          if (common::IEventSink* sink = log_.EventSink()) {
            sink->RecomputeFinished(r.RequestId, r.WindowsChecked, r.RowsWritten, r.RowsDeleted,
                                    r.FailedEntries);
          }
          if (handlers_.RecomputeFinished) handlers_.RecomputeFinished(r);
        });
      }};
  events.Loaded = [this, loaded = std::move(events.Loaded)] {
    loaded();
    loop_.Post([this] { StartMetricsEndpoint(); });
  };
  processing_ = std::make_unique<processing::TProcessing>(
      *config_, *database_, log_, *this, [this] { log_.DrainMessageQueue(); }, std::move(events));
  if (const auto interval = WatchdogInterval(); interval.count() > 0) {
    watchdog_ = std::make_unique<TWatchdog>(
        interval, [this] { return processing_->Heartbeat(); }, [] { NotifyWatchdog(); });
  }
  RestartProcessing();
  loop_.SetTimer(std::chrono::milliseconds(1000), [this] { tmrMessageTimer(); });
  loop_.EnableTimer(true);
}

bool TfrmServiceMain::ProcessingAbandoned() const {
  return processing_ && processing_->Abandoned();
}

bool TfrmServiceMain::ConfigurationRefused() const { return config_ && config_->LoadFailed(); }

void TfrmServiceMain::StartMetricsEndpoint() {
  if (metricsTried_ || closed_) return;
  metricsTried_ = true;
  try {
    const std::string address = config_->MetricsAddress();
    if (address.empty()) return;
    metricsEndpoint_ = std::make_unique<metrics::TMetricsEndpoint>(address, *metrics_);
  } catch (const std::exception& e) {
    LogFailure(e.what());  // the service runs on without metrics
  }
}

int TfrmServiceMain::MetricsPort() const { return metricsEndpoint_ ? metricsEndpoint_->Port() : 0; }

void TfrmServiceMain::FormClose() {
  try {
    std::lock_guard<std::mutex> control(controlMu_);
    closing_ = true;
    if (processing_) processing_->StopProcessing();
  } catch (const std::exception& e) {
    LogFailure(e.what());
  }
  log_.FreeMessageQueue();
  if (common::IEventSink* sink = hostComObject_) {
    log_.SetEventSink(nullptr);
    hostComObject_ = nullptr;
    try {
      sink->AppShutdown(common::kHostAppId);
    } catch (const std::exception& e) {
      LogFailure(e.what());
    }
  }
  loop_.EnableTimer(false);
}

void TfrmServiceMain::Close() {
  if (closed_) return;
  closed_ = true;
  FormClose();
  // The main object is gone: the program ends.
  loop_.Quit();
}

void TfrmServiceMain::PostClose() {
  loop_.Post([this] { Close(); });
}

void TfrmServiceMain::Stopservice1Click() {
  Process().ShuttingDown.store(true);
  Close();
}

void TfrmServiceMain::tmrMessageTimer() {
  log_.DrainMessageQueue();
  if (processing_) processing_->WatchDatabase();
  if (watchdog_) watchdog_->Tick();
}

void TfrmServiceMain::PostPollGroupChanged() {
  loop_.Post([this] { WMPollGroupChanged(); });
}

void TfrmServiceMain::WMPollGroupChanged() {
  NotifyStatus("Next Group: " + PollGroupLabel() + ", Next Time: " + PollTimeLabel());
  if (hostComObject_ == nullptr) return;
  try {
    hostComObject_->SetItemChange(common::kHostAppId, common::kItemPollGroup, std::string());
  } catch (...) {
    // A failed notice is dropped; clients read the next group when they ask.
  }
}

std::string TfrmServiceMain::PollGroupLabel() const {
  common::MutexLock lock(labelMu_);
  return lblPollGroup_;
}

std::string TfrmServiceMain::PollTimeLabel() const {
  common::MutexLock lock(labelMu_);
  return lblPollTime_;
}

void TfrmServiceMain::RestartProcessing() {
  std::lock_guard<std::mutex> control(controlMu_);
  if (processing_ && !closing_) processing_->RestartProcessing();
}

void TfrmServiceMain::StartProcessing() {
  std::lock_guard<std::mutex> control(controlMu_);
  if (!processing_ || closing_) throw common::EPostProcError("VNPPSvc is closing");
  // A running thread stops first (as StartProcessing would), so that the group it showed
  // is not taken for one of the new thread.
  processing_->StopProcessing();
  {
    common::MutexLock lock(labelMu_);
    shownSinceStop_ = false;
  }
  processing_->StartProcessing();
  // A start that fails has logged its reason as "Error 1500: ...".
  if (!processing_->IsProcessing()) {
    throw common::EPostProcError("processing did not start; the log says why");
  }
  // Until the new thread names its next group (which posts a status of its own, before or
  // after this one) the labels still show the group of before the stop.
  loop_.Post([this] {
    std::string text = kStatusNothingScheduled;
    {
      common::MutexLock lock(labelMu_);
      if (shownSinceStop_) text = "Next Group: " + lblPollGroup_ + ", Next Time: " + lblPollTime_;
    }
    NotifyStatus(text);
  });
}

void TfrmServiceMain::StopProcessing() {
  std::lock_guard<std::mutex> control(controlMu_);
  if (!processing_) return;
  processing_->StopProcessing();
  {
    common::MutexLock lock(labelMu_);
    shownSinceStop_ = false;
  }
  // The unit's status text no longer names a next group. Posted after every notice of the
  // stopped thread, so that none of them overwrites it.
  loop_.Post([] { NotifyStatus(kStatusStopped); });
}

bool TfrmServiceMain::IsProcessing() const { return processing_ && processing_->IsProcessing(); }

std::string TfrmServiceMain::NextPollGroup() const {
  try {
    return processing_ ? processing_->NextPollGroup() : std::string();
  } catch (...) {
    return std::string();
  }
}

common::TDateTime TfrmServiceMain::NextPollTime() const {
  try {
    return processing_ ? processing_->NextPollTime() : 0;
  } catch (...) {
    return 0;
  }
}

void TfrmServiceMain::RunProcessGroup(int index) {
  if (processing_) processing_->RunProcessGroup(index);
}

void TfrmServiceMain::StopProcessGroup() {
  if (processing_) processing_->StopProcessGroup();
}

std::uint64_t TfrmServiceMain::Recompute(int index, common::TDateTime from, common::TDateTime to,
                                         std::string& error) {
  if (!processing_) {
    error = "processing is not running";
    return 0;
  }
  return processing_->Recompute(index, from, to, error);
}

std::vector<common::TGroupStatus> TfrmServiceMain::GroupStatus() const {
  return processing_ ? processing_->GroupStatus() : std::vector<common::TGroupStatus>();
}

bool TfrmServiceMain::CatchUpEnabledGroups() {
  const std::vector<int> indexes = EnabledGroupIndexes();
  // All requests go in before this returns, so a "demand done" notice of the first one is
  // handled after the last request and sees the list still busy.
  for (int index : indexes) {
    if (processing_) processing_->RunProcessGroup(index, true);
  }
  return !indexes.empty();
}

std::vector<std::string> TfrmServiceMain::ConfigurationProblems() const {
  return config_ ? config_->LoadProblems() : std::vector<std::string>();
}

std::vector<int> TfrmServiceMain::EnabledGroupIndexes() const {
  std::vector<int> indexes;
  if (!config_) return indexes;
  common::MutexLock lock(config_->GroupListLock());
  if (const config::TPostProcGroups* groups = config_->LockedGroups()) {
    for (int i = 0; i < groups->Count(); ++i) {
      if (groups->Item(i).Enabled) indexes.push_back(i);
    }
  }
  return indexes;
}

void TfrmServiceMain::ShowNextGroup(const std::string& groupText, common::TDateTime dueTime) {
  {
    common::MutexLock lock(labelMu_);
    lblPollGroup_ = groupText;
    lblPollTime_ = common::FormatDateTimeText(dueTime);
    shownSinceStop_ = true;
  }
  PostPollGroupChanged();
}

}  // namespace vnpp::host
