// vnppctl's connection to the service: its bus proxy, and how bus errors become exit codes.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "automation/BusNames.h"

namespace vnpp::ctl {

using automation::kInterface;
using automation::kStatusInterface;

// Exit codes.
enum : int {
  kExitOk = 0,
  kExitFailed = 1,      // the service refused or failed the request, or no such group
  kExitUsage = 2,       // wrong command line
  kExitNotRunning = 3,  // no bus, or VNPPSvc is not on it
  kExitDenied = 4,      // the bus policy refuses the request
};

// Thrown for a failure with its exit code; the message is printed as it is.
struct TExit {
  int code;
  std::string message;
};

class TClient {
 public:
  // Connects to the system bus (system) or the session bus and finds the service's
  // connection; TExit when there is none.
  explicit TClient(bool system);

  // The unique name of the service's connection.
  const std::string& Owner() const { return owner_; }

  std::string BusName() const { return system_ ? "system" : "session"; }
  sdbus::IProxy& Proxy() { return *proxy_; }
  sdbus::IConnection& Connection() { return *connection_; }

  // Turns a bus error into the message and exit code for the user.
  [[noreturn]] void Fail(const sdbus::Error& e) const;

  template <typename T>
  T Get(const char* property) {
    try {
      return proxy_->getProperty(property).onInterface(kInterface).get<T>();
    } catch (const sdbus::Error& e) {
      Fail(e);
    }
  }

  std::vector<automation::TGroupStruct> Groups() {
    std::vector<automation::TGroupStruct> rows;
    try {
      proxy_->callMethod("Groups").onInterface(kStatusInterface).storeResultsTo(rows);
    } catch (const sdbus::Error& e) {
      Fail(e);
    }
    return rows;
  }

  // The recheck counters by list position; none from a service that does not offer them.
  std::vector<automation::TGroupRecheckStruct> GroupsRecheck() {
    std::vector<automation::TGroupRecheckStruct> rows;
    try {
      proxy_->callMethod("GroupsRecheck").onInterface(kStatusInterface).storeResultsTo(rows);
    } catch (const sdbus::Error&) {
      rows.clear();
    }
    return rows;
  }

  // The incomplete windows by list position; none from a service that does not offer them.
  std::vector<automation::TGroupIncompleteStruct> GroupsIncomplete() {
    std::vector<automation::TGroupIncompleteStruct> rows;
    try {
      proxy_->callMethod("GroupsIncomplete").onInterface(kStatusInterface).storeResultsTo(rows);
    } catch (const sdbus::Error&) {
      rows.clear();
    }
    return rows;
  }

  // The load's warnings and error; none from a service that does not offer them.
  std::vector<std::string> ConfigurationProblems() {
    std::vector<std::string> problems;
    try {
      proxy_->callMethod("ConfigurationProblems")
          .onInterface(kStatusInterface)
          .storeResultsTo(problems);
    } catch (const sdbus::Error&) {
      problems.clear();
    }
    return problems;
  }

  template <typename... Args>
  void Call(const char* method, std::optional<std::chrono::microseconds> timeout,
            const Args&... args) {
    // The invoker keeps a reference to the name: it must outlive the invoker.
    const std::string name(method);
    try {
      auto invoker = proxy_->callMethod(name);
      invoker.onInterface(kInterface);
      if (timeout) invoker.withTimeout(*timeout);
      if constexpr (sizeof...(Args) > 0) invoker.withArguments(args...);
    } catch (const sdbus::Error& e) {
      // The invoker sends the call when it goes out of scope, inside the try.
      Fail(e);
    }
  }

 private:
  bool system_;
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IProxy> proxy_;
  std::string owner_;
};

}  // namespace vnpp::ctl
