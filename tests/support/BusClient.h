// A client of the automation object on its own connection, for tests.
#pragma once

#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "automation/BusNames.h"

namespace vnpp::automation::testing {

using namespace std::chrono_literals;

using TItem = std::tuple<std::string, std::string, std::string>;

// A client on its own connection, used by one thread. It receives every signal of the
// object while it pumps its connection.
class TClient {
 public:
  explicit TClient(bool system = false)
      : connection_(system ? sdbus::createSystemBusConnection()
                           : sdbus::createSessionBusConnection()),
        proxy_(sdbus::createProxy(*connection_, kBusName, kObjectPath)) {
    proxy_->uponSignal("OnItemChange")
        .onInterface(kEventsInterface)
        .call([this](const std::string& a, const std::string& i, const std::string& v) {
          items.emplace_back(a, i, v);
        });
    proxy_->uponSignal("OnAppShutdown")
        .onInterface(kEventsInterface)
        .call([this](const std::string& a) { shutdowns.push_back(a); });
    proxy_->uponSignal("GroupRunFinished")
        .onInterface(kStatusInterface)
        .call([this](std::int32_t index, std::int64_t windows, std::int64_t failed) {
          runs.emplace_back(index, windows, failed);
        });
    proxy_->finishRegistration();
  }

  sdbus::IProxy& Proxy() { return *proxy_; }

  // Handles incoming messages until pred holds or timeout has passed.
  template <typename Pred>
  bool PumpUntil(Pred pred, std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
      while (connection_->processPendingRequest()) {
      }
      if (pred()) return true;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      const auto data = connection_->getEventLoopPollData();
      pollfd fd{data.fd, data.events, 0};
      const int wait = data.getPollTimeout();
      ::poll(&fd, 1, wait < 0 ? static_cast<int>(left.count()) : std::min<int>(wait, left.count()));
    }
    return true;
  }

  template <typename T>
  T Get(const std::string& property) {
    return proxy_->getProperty(property).onInterface(kInterface).get<T>();
  }
  void Call(const std::string& method) { proxy_->callMethod(method).onInterface(kInterface); }

  std::vector<TItem> items;
  std::vector<std::string> shutdowns;
  std::vector<std::tuple<std::int32_t, std::int64_t, std::int64_t>> runs;

 private:
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IProxy> proxy_;
};

}  // namespace vnpp::automation::testing
