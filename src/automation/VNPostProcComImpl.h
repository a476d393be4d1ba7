// The bus object behind TVNPostProcCOM: its connection, the broadcast queue, the control
// thread and the registration of its interfaces (VNPostProcComInterfaces.cpp). Private to
// the automation library.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "automation/BusNames.h"
#include "automation/VNPostProcCom.h"
#include "common/Mutex.h"

namespace vnpp::automation {

// A broadcast waiting for the main thread.
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

inline TSignal ItemChangeSignal(const std::string& appId, const std::string& item,
                                const std::string& value) {
  TSignal s;
  s.appId = appId;
  s.item = item;
  s.value = value;
  return s;
}

inline std::size_t SignalBytes(const TSignal& s) {
  return s.appId.size() + s.item.size() + s.value.size();
}

inline TSignal AppShutdownSignal(const std::string& appId) {
  TSignal s;
  s.kind = TSignal::Kind::AppShutdown;
  s.appId = appId;
  return s;
}

// A StartProcess or StopProcess for the control thread.
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
  // Hands queued signals to the connection in order while it has written what it holds
  // (all: regardless, as before a method's reply and at the close). Main thread.
  void FlushSignals(bool all = false) EXCLUDES(signalMu_);
  void FlushPosted() EXCLUDES(signalMu_) { FlushSignals(); }
  common::TPollData Prepare();
  void Dispatch(short revents);
  std::uint64_t Dropped() const { return dropped_.load(); }
  std::string UniqueName() const { return connection_ ? connection_->getUniqueName() : ""; }
  std::atomic<IServiceControl*> control_{nullptr};

 private:
  // The members, properties and signals of each interface; method handlers run on the main
  // thread, inside Dispatch.
  void Register();
  void RegisterControl();
  void RegisterEvents();
  void RegisterStatus();
  void RegisterOperator();
  void Emit(const TSignal& signal);
  // The connection holds messages it could not write yet.
  bool Backlogged() const;
  bool SignalsWaiting() EXCLUDES(signalMu_);
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

}  // namespace vnpp::automation
