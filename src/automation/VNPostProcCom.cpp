#include "automation/VNPostProcCom.h"

#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "automation/BusNames.h"
#include "automation/VNPostProcComImpl.h"
#include "common/Clock.h"
#include "common/Error.h"
#include "common/Mutex.h"
#include "common/Regional.h"
#include "common/Text.h"

namespace vnpp::automation {
namespace {

// Broadcasts waiting to be sent: for the main thread, or for the connection to write what it
// holds (a bus that does not take our messages as fast as they come). Beyond this many, or
// this many bytes of text, new ones are dropped and counted rather than growing without
// bound; the connection itself is handed more only once it has written its backlog.
constexpr std::size_t kMaxQueuedSignals = 65536;
constexpr std::size_t kMaxQueuedSignalBytes = 16 * 1024 * 1024;
// Signals handed to the connection per look at its backlog.
constexpr std::size_t kSignalsPerFlush = 64;
// Incoming messages handled per Dispatch, so that a flood of calls cannot starve the
// loop's timer and posted work; the rest is handled on the next round.
constexpr int kMaxMessagesPerDispatch = 64;
// How long Close waits for the connection to take the last signals.
constexpr std::chrono::milliseconds kCloseFlushTime{2000};

}  // namespace

TBusKind ChooseBus(bool serviceMode) {
  const char* env = std::getenv("VNPPSVC_BUS");
  if (env == nullptr || *env == '\0') return serviceMode ? TBusKind::System : TBusKind::Session;
  if (common::EqualsNoCase(env, "session")) return TBusKind::Session;
  if (common::EqualsNoCase(env, "system")) return TBusKind::System;
  throw common::EPostProcError(
      std::string("VNPPSVC_BUS must be \"session\" or \"system\", not \"") + env + "\"");
}

const char* BusKindName(TBusKind bus) { return bus == TBusKind::System ? "system" : "session"; }

std::string IsAliveText(common::TDateTime t) {
  const common::TDateTimeParts p = common::DecodeDateTime(t);
  const char d = common::Regional().DateSeparator;
  const char c = common::Regional().TimeSeparator;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d%c%02d%c%02d %02d%c%02d%c%02d", p.Year, d, p.Month, d, p.Day,
                p.Hour, c, p.Minute, c, p.Second);
  return buf;
}

void TVNPostProcCOM::TImpl::Open(TBusKind bus) {
  const std::string where = std::string(" on the ") + BusKindName(bus) + " bus";
  try {
    connection_ = bus == TBusKind::System ? sdbus::createSystemBusConnection()
                                          : sdbus::createSessionBusConnection();
  } catch (const sdbus::Error& e) {
    throw common::EPostProcError("Unable to connect" + where + ": " + e.getMessage());
  }
  try {
    object_ = sdbus::createObject(*connection_, kObjectPath);
    Register();
    object_->finishRegistration();
  } catch (const sdbus::Error& e) {
    throw common::EPostProcError("Unable to register " + std::string(kObjectPath) + where + ": " +
                                 e.getMessage());
  }
  try {
    // The object is in place before the name: a client that waits for the name finds it.
    connection_->requestName(kBusName);
  } catch (const sdbus::Error& e) {
    const bool taken = e.getName() == "org.freedesktop.DBus.Error.FileExists";
    throw common::EPostProcError("Unable to own " + std::string(kBusName) + where + ": " +
                                 (taken ? "another process owns the name" : e.getMessage()));
  }
  worker_ = std::thread([this] { WorkerMain(); });
}

void TVNPostProcCOM::TImpl::Post(void (TImpl::*member)()) {
  std::weak_ptr<TImpl> weak = weak_from_this();
  post_([weak, member] {
    if (std::shared_ptr<TImpl> self = weak.lock()) ((*self).*member)();
  });
}

void TVNPostProcCOM::TImpl::Enqueue(TSignal signal) {
  bool wake = false;
  {
    common::MutexLock lock(signalMu_);
    if (!acceptSignals_) return;
    const std::size_t bytes = SignalBytes(signal);
    if (signals_.size() >= kMaxQueuedSignals || queuedBytes_ + bytes > kMaxQueuedSignalBytes) {
      ++dropped_;
      return;
    }
    queuedBytes_ += bytes;
    signals_.push_back(std::move(signal));
    wake = !flushPosted_;
    flushPosted_ = true;
  }
  // Outside the lock: the loop's Post takes a lock of its own.
  if (wake) Post(&TImpl::FlushPosted);
}

bool TVNPostProcCOM::TImpl::Backlogged() const {
  if (!connection_ || broken_) return false;
  try {
    return (connection_->getEventLoopPollData().events & POLLOUT) != 0;
  } catch (...) {
    return false;  // Dispatch finds out what is wrong with the connection
  }
}

void TVNPostProcCOM::TImpl::FlushSignals(bool all) {
  std::vector<TSignal> batch;
  for (;;) {
    // Looked at unlocked: the connection is the main thread's.
    const bool backlogged = !all && Backlogged();
    {
      common::MutexLock lock(signalMu_);
      // What the connection has not written stays in our bounded queue; Prepare sends it on
      // once the connection has caught up (so no flush need be posted meanwhile).
      flushPosted_ = backlogged && !signals_.empty();
      if (signals_.empty() || backlogged) return;
      batch.clear();
      while (!signals_.empty() && batch.size() < kSignalsPerFlush) {
        queuedBytes_ -= SignalBytes(signals_.front());
        batch.push_back(std::move(signals_.front()));
        signals_.pop_front();
      }
    }
    // Sent unlocked and in queue order; sending only queues the message on the connection
    // when the bus is slow, so this never waits for a client.
    for (const TSignal& signal : batch) Emit(signal);
  }
}

bool TVNPostProcCOM::TImpl::SignalsWaiting() {
  common::MutexLock lock(signalMu_);
  return !signals_.empty();
}

void TVNPostProcCOM::TImpl::Emit(const TSignal& s) {
  if (!object_ || broken_) {
    ++dropped_;
    return;
  }
  try {
    switch (s.kind) {
      case TSignal::Kind::ItemChange:
        object_->emitSignal("OnItemChange")
            .onInterface(kEventsInterface)
            .withArguments(s.appId, s.item, s.value);
        break;
      case TSignal::Kind::AppShutdown:
        object_->emitSignal("OnAppShutdown").onInterface(kEventsInterface).withArguments(s.appId);
        break;
      case TSignal::Kind::GroupRunFinished:
        object_->emitSignal("GroupRunFinished")
            .onInterface(kStatusInterface)
            .withArguments(s.index, s.windows, s.failedEntries);
        break;
      case TSignal::Kind::RecomputeFinished:
        object_->emitSignal("RecomputeFinished")
            .onInterface(kOperatorInterface)
            .withArguments(s.requestId, s.windows, s.rowsWritten, s.rowsDeleted, s.failedEntries);
        break;
    }
  } catch (...) {
    // A signal the connection refuses (its queue is full) is lost; the others go on.
    ++dropped_;
  }
}

void TVNPostProcCOM::TImpl::QueueControl(TJobKind kind, sdbus::Result<>&& result) {
  if (closed_) {
    result.returnError(sdbus::Error(kErrorClosing, "VNPPSvc is closing"));
    return;
  }
  const std::uint64_t id = ++nextJobId_;
  replies_.emplace(id, std::move(result));
  {
    std::lock_guard<std::mutex> lock(jobMu_);
    jobs_.push_back({kind, id});
  }
  jobCv_.notify_one();
}

void TVNPostProcCOM::TImpl::WorkerMain() {
  // The control thread: StartProcessing and StopProcessing wait for the processing thread,
  // so they run here, one after the other in the order the calls arrived.
  while (true) {
    TJob job{};
    {
      std::unique_lock<std::mutex> lock(jobMu_);
      jobCv_.wait(lock, [this] { return stopWorker_ || !jobs_.empty(); });
      if (stopWorker_) return;
      job = jobs_.front();
      jobs_.pop_front();
    }
    std::string failure = Act([kind = job.kind](IServiceControl& c) {
      if (kind == TJobKind::Start) {
        c.StartProcessing();
      } else {
        c.StopProcessing();
      }
    });
    {
      std::lock_guard<std::mutex> lock(jobMu_);
      done_.push_back({job.id, std::move(failure)});
    }
    Post(&TImpl::SendReplies);
  }
}

void TVNPostProcCOM::TImpl::SendReplies() {
  std::deque<TDone> done;
  {
    std::lock_guard<std::mutex> lock(jobMu_);
    done.swap(done_);
  }
  for (const TDone& d : done) {
    auto it = replies_.find(d.id);
    if (it == replies_.end()) continue;
    try {
      if (broken_) {
      } else if (d.failure.empty()) {
        it->second.returnResults();
      } else {
        it->second.returnError(sdbus::Error(kErrorFailed, d.failure));
      }
    } catch (...) {
      // The caller has gone; nothing to tell.
    }
    replies_.erase(it);
  }
}

common::TPollData TVNPostProcCOM::TImpl::Prepare() {
  if (!connection_ || broken_) return {};
  sdbus::IConnection::PollData data = connection_->getEventLoopPollData();
  if ((data.events & POLLOUT) == 0 && SignalsWaiting()) {
    // The connection has written its backlog: the signals held back go out now.
    FlushSignals();
    data = connection_->getEventLoopPollData();
  }
  return {data.fd, data.events, data.getPollTimeout()};
}

void TVNPostProcCOM::TImpl::Dispatch(short /*revents*/) {
  if (!connection_ || broken_) return;
  try {
    for (int i = 0; i < kMaxMessagesPerDispatch && connection_->processPendingRequest(); ++i) {
    }
  } catch (const sdbus::Error& e) {
    // The bus has gone (its daemon ended or dropped us): the program runs on without
    // broadcasts, as when there was no bus at start.
    broken_ = true;
    std::fprintf(stderr, "VNPPSvc: the %s connection failed: %s\n", kBusName,
                 e.getMessage().c_str());
  }
}

void TVNPostProcCOM::TImpl::FlushConnection() {
  // Writes what the connection still holds, for a bounded time.
  const auto deadline = std::chrono::steady_clock::now() + kCloseFlushTime;
  try {
    while (!broken_ && std::chrono::steady_clock::now() < deadline) {
      const sdbus::IConnection::PollData data = connection_->getEventLoopPollData();
      if ((data.events & POLLOUT) == 0) return;
      pollfd fd{data.fd, POLLOUT, 0};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (::poll(&fd, 1, static_cast<int>(left.count()) + 1) <= 0) return;
      connection_->processPendingRequest();
    }
  } catch (...) {
    // Closing anyway.
  }
}

void TVNPostProcCOM::TImpl::Close() {
  if (closed_) return;
  closed_ = true;
  {
    std::lock_guard<std::mutex> lock(jobMu_);
    stopWorker_ = true;
  }
  jobCv_.notify_all();
  // A StartProcess or StopProcess in progress finishes before this returns.
  if (worker_.joinable()) worker_.join();
  SendReplies();
  for (auto& [id, result] : replies_) {
    try {
      if (!broken_) result.returnError(sdbus::Error(kErrorClosing, "VNPPSvc is closing"));
    } catch (...) {
    }
  }
  replies_.clear();
  {
    common::MutexLock lock(signalMu_);
    acceptSignals_ = false;
  }
  FlushSignals(true);
  if (connection_) FlushConnection();
  object_.reset();
  connection_.reset();
}

TVNPostProcCOM::TVNPostProcCOM(TBusKind bus, TPoster post)
    : impl_(std::make_shared<TImpl>(std::move(post))) {
  impl_->Open(bus);
}

TVNPostProcCOM::~TVNPostProcCOM() { Close(); }

void TVNPostProcCOM::SetControl(IServiceControl* control) { impl_->control_.store(control); }

void TVNPostProcCOM::Close() { impl_->Close(); }

std::string TVNPostProcCOM::UniqueName() const { return impl_->UniqueName(); }

void TVNPostProcCOM::SetItemChange(const std::string& appId, const std::string& item,
                                   const std::string& data) {
  impl_->Enqueue(ItemChangeSignal(appId, item, data));
}

void TVNPostProcCOM::AppShutdown(const std::string& appId) {
  impl_->Enqueue(AppShutdownSignal(appId));
}

void TVNPostProcCOM::GroupRunFinished(int index, std::int64_t windows, std::int64_t failedEntries) {
  TSignal signal;
  signal.kind = TSignal::Kind::GroupRunFinished;
  signal.index = index;
  signal.windows = windows;
  signal.failedEntries = failedEntries;
  impl_->Enqueue(std::move(signal));
}

void TVNPostProcCOM::RecomputeFinished(std::uint64_t requestId, std::int64_t windowsChecked,
                                       std::int64_t rowsWritten, std::int64_t rowsDeleted,
                                       std::int64_t failedEntries) {
  TSignal signal;
  signal.kind = TSignal::Kind::RecomputeFinished;
  signal.requestId = requestId;
  signal.windows = windowsChecked;
  signal.rowsWritten = rowsWritten;
  signal.rowsDeleted = rowsDeleted;
  signal.failedEntries = failedEntries;
  impl_->Enqueue(std::move(signal));
}

common::TPollData TVNPostProcCOM::Prepare() { return impl_->Prepare(); }

void TVNPostProcCOM::Dispatch(short revents) { impl_->Dispatch(revents); }

std::uint64_t TVNPostProcCOM::DroppedSignals() const { return impl_->Dropped(); }

}  // namespace vnpp::automation
