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
#include "common/Clock.h"
#include "common/Error.h"
#include "common/Mutex.h"
#include "common/Regional.h"
#include "common/Text.h"

namespace vnpp::automation {
namespace {

// Broadcasts waiting for the main thread; beyond this many, or this many bytes of text (a
// main thread that no longer serves), new ones are dropped rather than growing without bound.
constexpr std::size_t kMaxQueuedSignals = 65536;
constexpr std::size_t kMaxQueuedSignalBytes = 64 * 1024 * 1024;
// Incoming messages handled per Dispatch, so that a flood of calls cannot starve the
// loop's timer and posted work; the rest is handled on the next round.
constexpr int kMaxMessagesPerDispatch = 64;
// How long Close waits for the connection to take the last signals.
constexpr std::chrono::milliseconds kCloseFlushTime{2000};

struct TSignal {
  enum class Kind {
    ItemChange,
    AppShutdown,
    GroupRunFinished,
    RecomputeFinished
  } kind = Kind::ItemChange;
  std::string appId, item, value;
  std::int32_t index = 0;
  std::uint64_t requestId = 0;
  std::int64_t windows = 0, rowsWritten = 0, rowsDeleted = 0, failedEntries = 0;
};

TSignal ItemChangeSignal(const std::string& appId, const std::string& item,
                         const std::string& value) {
  TSignal s;
  s.appId = appId;
  s.item = item;
  s.value = value;
  return s;
}

std::size_t SignalBytes(const TSignal& s) {
  return s.appId.size() + s.item.size() + s.value.size();
}

TSignal AppShutdownSignal(const std::string& appId) {
  TSignal s;
  s.kind = TSignal::Kind::AppShutdown;
  s.appId = appId;
  return s;
}

enum class TJobKind { Start, Stop };
struct TJob {
  TJobKind kind;
  std::uint64_t id;
};
// A finished job: "" or the reason of its failure, for the reply.
struct TDone {
  std::uint64_t id;
  std::string failure;
};

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

// Everything of the object that the bus library sees. Owned through a shared pointer, so
// that work posted to the main loop (which holds only a weak pointer) never runs on a
// destroyed object.
class TVNPostProcCOM::TImpl : public std::enable_shared_from_this<TImpl> {
 public:
  explicit TImpl(TPoster post) : post_(std::move(post)) {}
  ~TImpl() { Close(); }

  void Open(TBusKind bus);
  void Close();

  void Enqueue(TSignal signal) EXCLUDES(signalMu_);
  void FlushSignals() EXCLUDES(signalMu_);
  common::TPollData Prepare();
  void Dispatch(short revents);
  std::uint64_t Dropped() const { return dropped_.load(); }
  std::string UniqueName() const { return connection_ ? connection_->getUniqueName() : ""; }
  std::atomic<IServiceControl*> control_{nullptr};

 private:
  void Register();
  void Emit(const TSignal& signal);
  void QueueControl(TJobKind kind, sdbus::Result<>&& result);
  void WorkerMain();
  void SendReplies();
  void FlushConnection();
  template <typename T, typename Fn>
  T Read(Fn fn, T fallback) const;
  // Runs fn on the main object; returns "" or the reason of its failure.
  template <typename Fn>
  std::string Act(Fn fn) const;
  // Act for a method handler: a failure becomes the caller's D-Bus error.
  template <typename Fn>
  void ActOrThrow(Fn fn) const;
  void Post(void (TImpl::*member)());

  const TPoster post_;

  // Main thread only. Declared in this order so that the replies go before the object and
  // the object before its connection.
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IObject> object_;
  std::map<std::uint64_t, sdbus::Result<>> replies_;  // StartProcess/StopProcess in flight
  std::uint64_t nextJobId_ = 0;
  bool closed_ = false;
  bool broken_ = false;  // the connection failed; nothing more is sent

  // Broadcasts from any thread, oldest first.
  common::Mutex signalMu_;
  std::deque<TSignal> signals_ GUARDED_BY(signalMu_);
  std::size_t queuedBytes_ GUARDED_BY(signalMu_) = 0;  // the strings of signals_
  bool flushPosted_ GUARDED_BY(signalMu_) = false;
  bool acceptSignals_ GUARDED_BY(signalMu_) = true;
  std::atomic<std::uint64_t> dropped_{0};

  // The control thread and its work; jobMu_ guards jobs_, done_ and stopWorker_.
  std::mutex jobMu_;
  std::condition_variable jobCv_;
  std::deque<TJob> jobs_;
  std::deque<TDone> done_;
  bool stopWorker_ = false;
  std::thread worker_;
};

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

template <typename T, typename Fn>
T TVNPostProcCOM::TImpl::Read(Fn fn, T fallback) const {
  // The reads never fail towards the client: a failure gives the empty value.
  try {
    if (IServiceControl* control = control_.load()) return fn(*control);
  } catch (...) {
  }
  return fallback;
}

template <typename Fn>
std::string TVNPostProcCOM::TImpl::Act(Fn fn) const {
  // A control member that the main object fails is an error for its caller, with the reason
  // (unlike the readers, which give their empty value).
  IServiceControl* control = control_.load();
  if (control == nullptr) return "VNPPSvc has no main object (it is starting or closing)";
  try {
    fn(*control);
  } catch (const std::exception& e) {
    return e.what()[0] != '\0' ? e.what() : "the main object failed the request";
  } catch (...) {
    return "the main object failed the request";
  }
  return std::string();
}

template <typename Fn>
void TVNPostProcCOM::TImpl::ActOrThrow(Fn fn) const {
  const std::string failure = Act(fn);
  if (!failure.empty()) throw sdbus::Error(kErrorFailed, failure);
}

void TVNPostProcCOM::TImpl::Register() {
  // Method handlers run on the main thread, inside Dispatch.
  object_->registerMethod("SetItemChange")
      .onInterface(kInterface)
      .withInputParamNames("AppID", "Item", "Data")
      .implementedAs(
          [this](const std::string& appId, const std::string& item, const std::string& data) {
            if (appId.size() + item.size() + data.size() > kMaxItemChangeBytes) {
              throw sdbus::Error(kErrorTooLarge, "SetItemChange takes at most " +
                                                     std::to_string(kMaxItemChangeBytes) +
                                                     " bytes of AppID, Item and Data together");
            }
            try {
              Enqueue(ItemChangeSignal(appId, item, data));
              // Sent before the reply: the caller's own OnItemChange comes first.
              FlushSignals();
            } catch (const std::exception& e) {
              throw sdbus::Error(kErrorFailed, e.what());
            }
          });
  object_->registerMethod("IsAlive")
      .onInterface(kInterface)
      .withOutputParamNames("TimeString")
      .implementedAs([]() -> std::string {
        try {
          return IsAliveText(common::Now());
        } catch (const std::exception& e) {
          throw sdbus::Error(kErrorFailed, e.what());
        }
      });
  object_->registerMethod("ResetParams").onInterface(kInterface).implementedAs([] {
    // Nothing: the configuration is read again only by StartProcess.
  });
  object_->registerMethod("AppShutdown")
      .onInterface(kInterface)
      .withInputParamNames("AppID")
      .implementedAs([this](const std::string& appId) {
        try {
          Enqueue(AppShutdownSignal(appId));
          FlushSignals();
        } catch (const std::exception& e) {
          throw sdbus::Error(kErrorFailed, e.what());
        }
      });
  object_->registerProperty("LogDetail")
      .onInterface(kInterface)
      .withGetter([this] {
        return Read<std::int32_t>([](IServiceControl& c) { return c.GetLogDetail(); }, 0);
      })
      .withSetter([this](const std::int32_t& level) {
        ActOrThrow([level](IServiceControl& c) { c.SetLogDetail(level); });
      })
      .withUpdateBehavior(sdbus::Flags::EMITS_NO_SIGNAL);
  object_->registerProperty("NextPollGroup")
      .onInterface(kInterface)
      .withGetter([this] {
        return Read<std::string>([](IServiceControl& c) { return c.NextPollGroup(); }, "");
      })
      .withUpdateBehavior(sdbus::Flags::EMITS_NO_SIGNAL);
  object_->registerProperty("NextPollTime")
      .onInterface(kInterface)
      .withGetter(
          [this] { return Read<double>([](IServiceControl& c) { return c.NextPollTime(); }, 0.0); })
      .withUpdateBehavior(sdbus::Flags::EMITS_NO_SIGNAL);
  object_->registerMethod("StartProcess")
      .onInterface(kInterface)
      .implementedAs(
          [this](sdbus::Result<>&& result) { QueueControl(TJobKind::Start, std::move(result)); });
  object_->registerMethod("StopProcess")
      .onInterface(kInterface)
      .implementedAs(
          [this](sdbus::Result<>&& result) { QueueControl(TJobKind::Stop, std::move(result)); });
  object_->registerProperty("Status")
      .onInterface(kInterface)
      .withGetter([this] {
        return Read<std::int32_t>([](IServiceControl& c) { return c.IsProcessing() ? 1 : 0; }, 0);
      })
      .withUpdateBehavior(sdbus::Flags::EMITS_NO_SIGNAL);
  object_->registerMethod("RunProcessGroup")
      .onInterface(kInterface)
      .withInputParamNames("index")
      .implementedAs([this](const std::int32_t& index) {
        // An index outside the list is no failure: the main object ignores it.
        ActOrThrow([index](IServiceControl& c) { c.RunProcessGroup(index); });
      });
  object_->registerMethod("StopProcessGroup").onInterface(kInterface).implementedAs([this] {
    ActOrThrow([](IServiceControl& c) { c.StopProcessGroup(); });
  });

  object_->registerSignal("OnItemChange")
      .onInterface(kEventsInterface)
      .withParameters<std::string, std::string, std::string>("AppID", "Item", "Value");
  object_->registerSignal("OnAppShutdown")
      .onInterface(kEventsInterface)
      .withParameters<std::string>("AppID");

  object_->registerMethod("Groups")
      .onInterface(kStatusInterface)
      .withOutputParamNames("groups")
      .implementedAs([this] {
        const auto rows =
            Read<std::vector<TGroupStatus>>([](IServiceControl& c) { return c.GroupStatus(); }, {});
        std::vector<TGroupStruct> out;
        out.reserve(rows.size());
        for (const TGroupStatus& r : rows) {
          out.emplace_back(r.Index, r.SectionName, r.Enabled, r.FuncName, r.NextDue,
                           r.OldestLastUpdate, r.LastRunEnd, r.LastRunFailedEntries);
        }
        return out;
      });
  object_->registerMethod("ConfigurationProblems")
      .onInterface(kStatusInterface)
      .withOutputParamNames("problems")
      .implementedAs([this] {
        return Read<std::vector<std::string>>(
            [](IServiceControl& c) { return c.ConfigurationProblems(); }, {});
      });
  object_->registerMethod("GroupsRecheck")
      .onInterface(kStatusInterface)
      .withOutputParamNames("groups")
      .implementedAs([this] {
        const auto rows =
            Read<std::vector<TGroupStatus>>([](IServiceControl& c) { return c.GroupStatus(); }, {});
        std::vector<TGroupRecheckStruct> out;
        out.reserve(rows.size());
        for (const TGroupStatus& r : rows) {
          out.emplace_back(r.Index, r.RecheckedWindows, r.ChangedRows);
        }
        return out;
      });
  object_->registerSignal("GroupRunFinished")
      .onInterface(kStatusInterface)
      .withParameters<std::int32_t, std::int64_t, std::int64_t>("index", "windows",
                                                                "failedEntries");

  // Returns at once with the request's id; RecomputeFinished with that id follows its end.
  object_->registerMethod("Recompute")
      .onInterface(kOperatorInterface)
      .withInputParamNames("index", "from", "to")
      .withOutputParamNames("requestId")
      .implementedAs(
          [this](const std::int32_t& index, const double& from, const double& to) -> std::uint64_t {
            std::uint64_t id = 0;
            std::string refusal;
            ActOrThrow([&](IServiceControl& c) { id = c.Recompute(index, from, to, refusal); });
            if (id == 0) {
              throw sdbus::Error(
                  kErrorRefused,
                  "cannot recompute: " +
                      (refusal.empty() ? std::string("the request was refused") : refusal));
            }
            return id;
          });
  object_->registerSignal("RecomputeFinished")
      .onInterface(kOperatorInterface)
      .withParameters<std::uint64_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t>(
          "requestId", "windowsChecked", "rowsWritten", "rowsDeleted", "failedEntries");
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
  if (wake) Post(&TImpl::FlushSignals);
}

void TVNPostProcCOM::TImpl::FlushSignals() {
  std::deque<TSignal> batch;
  {
    common::MutexLock lock(signalMu_);
    batch.swap(signals_);
    queuedBytes_ = 0;
    flushPosted_ = false;
  }
  // Sent unlocked and in queue order; sending only queues the message on the connection
  // when the bus is slow, so this never waits for a client.
  for (const TSignal& signal : batch) Emit(signal);
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
  const sdbus::IConnection::PollData data = connection_->getEventLoopPollData();
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
  FlushSignals();
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
