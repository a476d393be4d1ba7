// vnppctl: the operators' command-line client of the VNPPSvc automation object.
// One thread; it drives its own bus connection (calls wait for their reply, "follow" polls
// the connection and a signalfd for Ctrl-C).
#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "automation/BusNames.h"
#include "common/Clock.h"
#include "common/DateTime.h"
#include "common/EventSink.h"
#include "common/Regional.h"
#include "common/Text.h"

namespace {

using namespace vnpp;
using automation::kBusName;
using automation::kEventsInterface;
using automation::kInterface;
using automation::kObjectPath;
using automation::kOperatorInterface;
using automation::kStatusInterface;

// Exit codes.
enum : int {
  kExitOk = 0,
  kExitFailed = 1,      // the service refused or failed the request, or no such group
  kExitUsage = 2,       // wrong command line
  kExitNotRunning = 3,  // no bus, or VNPPSvc is not on it
  kExitDenied = 4,      // the bus policy refuses the request
};

// StartProcess and StopProcess wait for the processing thread.
constexpr std::chrono::minutes kControlTimeout{5};

const char kHelp[] = R"(NAME
    vnppctl - control and watch the VNPPSvc post-processing service

SYNOPSIS
    vnppctl [--session | --system] COMMAND [ARGUMENT...]

DESCRIPTION
    vnppctl talks to the automation object VNPPSvc.VNPostProcCom of a running VNPPSvc over
    D-Bus. The service runs on the system bus; a desktop instance on the session bus.

COMMANDS
    status
        Whether processing runs, the next group and its due time, and every configured
        group: its number (the one the log shows in "PollGroup N: ...", counted from 1 in the
        order of GroupNames), section name, whether it is enabled, its function, when it is due next, the oldest progress of its entries (the backlog) and
        how far that lags behind now, when its last completed run ended, how many
        entries failed in it, and the windows checked again over stored rows (RecheckWindows,
        recompute) and the rows those checks changed since processing started.
    alive
        The service's local date and time (its heartbeat).
    log-detail [N]
        Shows the log detail level, or sets it to N (0: no group-run messages, 1: the
        start of each run, 2 or more: each window and the end of each run as well). The
        level lasts until processing is next started.
    start
        Starts processing: a running processing thread is stopped first, and the new one
        reads the configuration afresh. Waits until that is done.
    stop
        Stops processing and waits until the processing thread has ended.
    run GROUP | SECTION-NAME
        Runs a group at once, by its number (from 1, as "status" and the log show it) or
        by its section name (letter case ignored).
    recompute GROUP | SECTION-NAME FROM TO
        After a correction of readings: computes every window of every entry of the group
        that lies inside [FROM, TO) again and writes only the rows that changed; the
        entries' progress stays as it is. FROM and TO are local times written
        YYYY-MM-DD[ HH:MM[:SS]] (quote them when they hold a time). Waits until the
        service reports the end, then prints the windows checked, rows written, rows
        deleted and failed entries. An empty range, a range that begins in the future, an
        unknown group or stopped processing is refused and writes nothing.
    cancel
        Drops pending immediate runs and abandons the one in progress.
    follow
        Prints every log message and every change of the next group as the service
        announces them, and the end of group runs ("Group N finished", N as in the log),
        until Ctrl-C.

OPTIONS
    --session    use the session bus (a desktop instance)
    --system     use the system bus (the service); the default unless VNPPSVC_BUS is
                 "session"
    -h, --help   this text

PERMISSIONS
    On the system bus everyone may use status, alive, log-detail (reading) and follow;
    start, stop, run, recompute, cancel and setting the log detail level are for root and
    the members of the group "vnppsvc".

EXIT STATUS
    0  done ("status" also when processing is stopped)
    1  the service refused or failed the request, there is no such group, or entries
       failed in a recompute
    2  wrong command line
    3  no bus, or VNPPSvc is not running on it (vnppctl never starts the service: it
       talks only to a running process)
    4  access denied by the bus policy
)";

// Thrown for a failure with its exit code; the message is printed as it is.
struct TExit {
  int code;
  std::string message;
};

bool IsInteger(const std::string& text, long long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = v;
  return true;
}

std::string TimeText(common::TDateTime t) {
  return t == 0 ? std::string("-") : common::FormatDateTimeText(t);
}

// "3d 4h", "2h 5m", "40s": how long ago t was.
std::string LagText(common::TDateTime t, common::TDateTime now) {
  if (t == 0) return "-";
  long long s = static_cast<long long>((now - t) * common::kSecondsPerDay + 0.5);
  if (s < 0) return "ahead";
  const long long d = s / 86400, h = s % 86400 / 3600, m = s % 3600 / 60;
  s %= 60;
  std::ostringstream out;
  if (d > 0) {
    out << d << "d " << h << "h";
  } else if (h > 0) {
    out << h << "h " << m << "m";
  } else if (m > 0) {
    out << m << "m " << s << "s";
  } else {
    out << s << "s";
  }
  return out.str();
}

class TClient {
 public:
  explicit TClient(bool system) : system_(system) {
    try {
      connection_ =
          system ? sdbus::createSystemBusConnection() : sdbus::createSessionBusConnection();
    } catch (const sdbus::Error& e) {
      throw TExit{kExitNotRunning,
                  "vnppctl: cannot connect to the " + BusName() + " bus: " + e.getMessage()};
    }
    // Every call goes to the unique name of the process that owns the well-known name now.
    // A call to a well-known name without an owner would start the service by bus
    // activation; a call to a unique name never does, and fails once that process has gone.
    std::string owner;
    try {
      auto bus = sdbus::createProxy(*connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus");
      bus->callMethod("GetNameOwner")
          .onInterface("org.freedesktop.DBus")
          .withArguments(std::string(kBusName))
          .storeResultsTo(owner);
    } catch (const sdbus::Error& e) {
      Fail(e);
    }
    proxy_ = sdbus::createProxy(*connection_, owner, kObjectPath);
    owner_ = owner;
  }

  // The unique name of the service's connection.
  const std::string& Owner() const { return owner_; }

  std::string BusName() const { return system_ ? "system" : "session"; }
  sdbus::IProxy& Proxy() { return *proxy_; }
  sdbus::IConnection& Connection() { return *connection_; }

  // Turns a bus error into the message and exit code for the user.
  [[noreturn]] void Fail(const sdbus::Error& e) const {
    const std::string& name = e.getName();
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        name == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
        name.rfind("org.freedesktop.DBus.Error.Spawn.", 0) == 0) {
      std::string hint = system_ ? " (a desktop instance runs on the session bus: --session)"
                                 : " (the service runs on the system bus: --system)";
      if (system_) hint += "; systemctl start VNPostProcessor starts it";
      throw TExit{kExitNotRunning,
                  "vnppctl: VNPPSvc is not running on the " + BusName() + " bus" + hint};
    }
    if (name == "org.freedesktop.DBus.Error.AccessDenied") {
      throw TExit{kExitDenied, std::string("vnppctl: access denied: this command is for root "
                                           "and the members of the group \"") +
                                   automation::kControlGroup + "\""};
    }
    if (name == "org.freedesktop.DBus.Error.NoReply" ||
        name == "org.freedesktop.DBus.Error.Disconnected") {
      throw TExit{kExitNotRunning, "vnppctl: VNPPSvc did not answer: " + e.getMessage()};
    }
    if (name == automation::kErrorRefused) {
      throw TExit{kExitFailed, "vnppctl: " + e.getMessage()};
    }
    if (name == automation::kErrorClosing) {
      throw TExit{kExitFailed, "vnppctl: VNPPSvc is shutting down"};
    }
    throw TExit{kExitFailed, "vnppctl: " + name + ": " + e.getMessage()};
  }

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

int Status(TClient& client) {
  const std::int32_t status = client.Get<std::int32_t>("Status");
  const std::string next = client.Get<std::string>("NextPollGroup");
  const double nextTime = client.Get<double>("NextPollTime");
  const auto groups = client.Groups();
  std::cout << "VNPPSvc on the " << client.BusName() << " bus: processing "
            << (status == 1 ? "running" : "stopped") << "\n";
  std::cout << "Next group: " << (next.empty() ? std::string("-") : next);
  if (long long number = 0; IsInteger(next, &number)) {
    for (const auto& g : groups) {
      if (g.get<0>() + 1 == number) std::cout << " (" << g.get<1>() << ")";
    }
  }
  if (!next.empty()) std::cout << " at " << TimeText(nextTime);
  std::cout << "\n";
  for (const std::string& problem : client.ConfigurationProblems()) std::cout << problem << "\n";
  if (groups.empty()) {
    std::cout << "No groups (the configuration has none, or it is being read).\n";
    return kExitOk;
  }
  const common::TDateTime now = common::Now();
  // Groups are shown by their number as the log writes it ("PollGroup 3: ..."): the list
  // position on the bus plus one.
  std::vector<std::vector<std::string>> table = {{"GROUP", "SECTION", "ENABLED", "FUNCTION",
                                                  "NEXT DUE", "BACKLOG FROM", "LAG", "LAST RUN",
                                                  "FAILED"}};
  const auto recheck = client.GroupsRecheck();
  if (!recheck.empty()) {
    table[0].push_back("RECHECKED");
    table[0].push_back("CHANGED");
  }
  for (const auto& g : groups) {
    table.push_back({std::to_string(g.get<0>() + 1), g.get<1>(), g.get<2>() ? "yes" : "no",
                     g.get<3>(), TimeText(g.get<4>()), TimeText(g.get<5>()),
                     LagText(g.get<5>(), now), TimeText(g.get<6>()),
                     g.get<6>() == 0 ? std::string("-") : std::to_string(g.get<7>())});
    if (recheck.empty()) continue;
    std::string windows = "-", changed = "-";
    for (const auto& r : recheck) {
      if (r.get<0>() != g.get<0>()) continue;
      windows = std::to_string(r.get<1>());
      changed = std::to_string(r.get<2>());
    }
    table.back().push_back(windows);
    table.back().push_back(changed);
  }
  std::vector<size_t> width(table[0].size(), 0);
  for (const auto& row : table) {
    for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  }
  std::cout << "\n";
  for (const auto& row : table) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(width[i] - row[i].size() + 2, ' ');
    }
    std::cout << line << "\n";
  }
  return kExitOk;
}

// The list position on the bus of the group named by its number (from 1) or section name.
std::int32_t GroupIndex(TClient& client, const std::string& which) {
  const auto groups = client.Groups();
  long long index = 0;  // the list position on the bus
  if (long long number = 0; IsInteger(which, &number)) {
    if (!groups.empty() && (number < 1 || number > static_cast<long long>(groups.size()))) {
      throw TExit{kExitFailed, "vnppctl: no group " + which + " (there are " +
                                   std::to_string(groups.size()) + ", from 1)"};
    }
    index = number - 1;
  } else {
    auto it = std::find_if(groups.begin(), groups.end(), [&](const auto& g) {
      return common::EqualsNoCase(g.template get<1>(), which);
    });
    if (it == groups.end()) {
      throw TExit{kExitFailed, "vnppctl: no group with the section name \"" + which + "\""};
    }
    index = it->get<0>();
  }
  return static_cast<std::int32_t>(index);
}

int Run(TClient& client, const std::string& which) {
  const std::int32_t index = GroupIndex(client, which);
  if (client.Get<std::int32_t>("Status") != 1) {
    throw TExit{kExitFailed, "vnppctl: processing is stopped; start it first (vnppctl start)"};
  }
  client.Call("RunProcessGroup", std::nullopt, index);
  return kExitOk;
}

// Asks for the recompute and waits for its RecomputeFinished.
int Recompute(TClient& client, const std::string& which, common::TDateTime from,
              common::TDateTime to) {
  const std::int32_t index = GroupIndex(client, which);
  struct TReport {
    std::uint64_t id;
    std::int64_t windows, written, deleted, failed;
  };
  std::vector<TReport> reports;
  bool gone = false;
  // Subscribed before the call: the end of a short request may follow the reply at once.
  sdbus::IProxy& proxy = client.Proxy();
  proxy.uponSignal("RecomputeFinished")
      .onInterface(kOperatorInterface)
      .call([&](std::uint64_t id, std::int64_t windows, std::int64_t written, std::int64_t deleted,
                std::int64_t failed) {
        reports.push_back({id, windows, written, deleted, failed});
      });
  proxy.uponSignal("OnAppShutdown")
      .onInterface(kEventsInterface)
      .call([&](const std::string& appId) { gone = gone || appId == common::kHostAppId; });
  proxy.finishRegistration();
  // A service that ends without a word (killed) shows as its name losing its owner.
  auto bus =
      sdbus::createProxy(client.Connection(), "org.freedesktop.DBus", "/org/freedesktop/DBus");
  bus->uponSignal("NameOwnerChanged")
      .onInterface("org.freedesktop.DBus")
      .call([&](const std::string& name, const std::string&, const std::string& owner) {
        gone = gone || (name == client.Owner() && owner.empty());
      });
  bus->finishRegistration();

  std::uint64_t id = 0;
  try {
    proxy.callMethod("Recompute")
        .onInterface(kOperatorInterface)
        .withArguments(index, from, to)
        .storeResultsTo(id);
  } catch (const sdbus::Error& e) {
    client.Fail(e);
  }
  sdbus::IConnection& connection = client.Connection();
  while (true) {
    for (const TReport& r : reports) {
      if (r.id != id) continue;
      std::cout << "windows checked " << r.windows << ", rows written " << r.written
                << ", rows deleted " << r.deleted << ", failed entries " << r.failed << "\n";
      if (r.failed > 0) {
        throw TExit{kExitFailed, "vnppctl: " + std::to_string(r.failed) +
                                     " station/sensor entries failed; see the log"};
      }
      return kExitOk;
    }
    if (gone) {
      throw TExit{kExitNotRunning, "vnppctl: VNPPSvc ended before the recompute finished"};
    }
    const sdbus::IConnection::PollData data = connection.getEventLoopPollData();
    pollfd fd{data.fd, data.events, 0};
    if (::poll(&fd, 1, data.getPollTimeout()) < 0 && errno != EINTR) {
      throw TExit{kExitFailed, "vnppctl: poll failed"};
    }
    try {
      while (connection.processPendingRequest()) {
      }
    } catch (const sdbus::Error& e) {
      throw TExit{kExitNotRunning, "vnppctl: the bus connection failed: " + e.getMessage()};
    }
  }
}

// Prints the service's announcements until SIGINT or SIGTERM.
int Follow(TClient& client) {
  // Fails here, with the usual message, when the service is not there.
  client.Call("IsAlive", std::nullopt);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &set, nullptr);
  const int sfd = ::signalfd(-1, &set, SFD_CLOEXEC);
  if (sfd < 0) throw TExit{kExitFailed, "vnppctl: signalfd failed"};

  auto stamp = [] { return common::FormatDateTimeText(common::Now()) + "    "; };
  bool pollGroupChanged = false;
  sdbus::IProxy& proxy = client.Proxy();
  proxy.uponSignal("OnItemChange")
      .onInterface(kEventsInterface)
      .call([&](const std::string& appId, const std::string& item, const std::string& value) {
        if (appId != common::kHostAppId) return;
        if (item == common::kItemMessage) {
          std::cout << stamp() << value << std::endl;
        } else if (item == common::kItemPollGroup) {
          pollGroupChanged = true;  // read once the callback has returned
        }
      });
  proxy.uponSignal("OnAppShutdown")
      .onInterface(kEventsInterface)
      .call([&](const std::string& appId) {
        if (appId == common::kHostAppId)
          std::cout << stamp() << "VNPPSvc has shut down." << std::endl;
      });
  proxy.uponSignal("GroupRunFinished")
      .onInterface(kStatusInterface)
      .call([&](std::int32_t index, std::int64_t windows, std::int64_t failed) {
        std::cout << stamp() << "Group " << index + 1 << " finished: " << windows << " windows, "
                  << failed << " entries failed" << std::endl;
      });
  proxy.finishRegistration();

  sdbus::IConnection& connection = client.Connection();
  while (true) {
    const sdbus::IConnection::PollData data = connection.getEventLoopPollData();
    pollfd fds[2] = {{data.fd, data.events, 0}, {sfd, POLLIN, 0}};
    if (::poll(fds, 2, data.getPollTimeout()) < 0 && errno != EINTR) break;
    if ((fds[1].revents & POLLIN) != 0) break;
    try {
      while (connection.processPendingRequest()) {
      }
    } catch (const sdbus::Error& e) {
      throw TExit{kExitNotRunning, "vnppctl: the bus connection failed: " + e.getMessage()};
    }
    if (pollGroupChanged) {
      pollGroupChanged = false;
      try {
        const std::string group =
            proxy.getProperty("NextPollGroup").onInterface(kInterface).get<std::string>();
        const double due = proxy.getProperty("NextPollTime").onInterface(kInterface).get<double>();
        std::cout << stamp() << "Next group: " << group << " at " << TimeText(due) << std::endl;
      } catch (const sdbus::Error&) {
        std::cout << stamp() << "Next group changed." << std::endl;
      }
    }
  }
  ::close(sfd);
  return kExitOk;
}

int Execute(const std::vector<std::string>& args) {
  std::optional<bool> system;
  std::vector<std::string> words;
  for (const std::string& a : args) {
    if (a == "-h" || a == "--help") {
      std::cout << kHelp;
      return kExitOk;
    }
    if (a == "--session") {
      system = false;
    } else if (a == "--system") {
      system = true;
    } else if (long long n = 0; a.size() > 1 && a[0] == '-' && !IsInteger(a, &n)) {
      throw TExit{kExitUsage, "vnppctl: unknown option " + a + " (see vnppctl --help)"};
    } else {
      words.push_back(a);
    }
  }
  if (words.empty()) throw TExit{kExitUsage, "vnppctl: no command (see vnppctl --help)"};
  if (!system) {
    const char* env = std::getenv("VNPPSVC_BUS");
    system = !(env != nullptr && common::EqualsNoCase(env, "session"));
  }
  const std::string command = words[0];
  const std::vector<std::string> rest(words.begin() + 1, words.end());
  auto want = [&](size_t min, size_t max) {
    if (rest.size() < min || rest.size() > max) {
      throw TExit{kExitUsage, "vnppctl: wrong arguments for " + command + " (see vnppctl --help)"};
    }
  };
  static const char* const kCommands[] = {"status", "alive",  "log-detail", "start",    "stop",
                                          "run",    "cancel", "follow",     "recompute"};
  if (std::find(std::begin(kCommands), std::end(kCommands), command) == std::end(kCommands)) {
    throw TExit{kExitUsage, "vnppctl: unknown command " + command + " (see vnppctl --help)"};
  }
  long long level = 0;
  common::TDateTime from = 0, to = 0;
  if (command == "log-detail") {
    want(0, 1);
    if (rest.size() == 1 && !IsInteger(rest[0], &level)) {
      throw TExit{kExitUsage, "vnppctl: log-detail wants a whole number, not " + rest[0]};
    }
  } else if (command == "run") {
    want(1, 1);
  } else if (command == "recompute") {
    want(3, 3);
    for (const auto& [text, value] : {std::pair{&rest[1], &from}, {&rest[2], &to}}) {
      if (!common::ParseDateTimeArgument(*text, *value)) {
        throw TExit{kExitUsage, "vnppctl: \"" + *text +
                                    "\" is not a valid date and time: FROM and TO of recompute "
                                    "are local times written YYYY-MM-DD[ HH:MM[:SS]]"};
      }
    }
  } else {
    want(0, 0);
  }

  TClient client(*system);
  if (command == "status") return Status(client);
  if (command == "alive") {
    std::string text;
    try {
      client.Proxy().callMethod("IsAlive").onInterface(kInterface).storeResultsTo(text);
    } catch (const sdbus::Error& e) {
      client.Fail(e);
    }
    std::cout << text << "\n";
    return kExitOk;
  }
  if (command == "log-detail") {
    if (rest.empty()) {
      std::cout << client.Get<std::int32_t>("LogDetail") << "\n";
      return kExitOk;
    }
    try {
      client.Proxy()
          .setProperty("LogDetail")
          .onInterface(kInterface)
          .toValue(static_cast<std::int32_t>(level));
    } catch (const sdbus::Error& e) {
      client.Fail(e);
    }
    return kExitOk;
  }
  if (command == "start" || command == "stop") {
    client.Call(command == "start" ? "StartProcess" : "StopProcess", kControlTimeout);
    std::cout << "Processing " << (command == "start" ? "started" : "stopped") << ".\n";
    return kExitOk;
  }
  if (command == "run") return Run(client, rest[0]);
  if (command == "recompute") return Recompute(client, rest[0], from, to);
  if (command == "cancel") {
    client.Call("StopProcessGroup", std::nullopt);
    return kExitOk;
  }
  return Follow(client);
}

}  // namespace

int main(int argc, char** argv) {
  vnpp::common::LoadRegionalSettings();
  try {
    return Execute(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const TExit& e) {
    std::cerr << e.message << "\n";
    return e.code;
  } catch (const sdbus::Error& e) {
    std::cerr << "vnppctl: " << e.getName() << ": " << e.getMessage() << "\n";
    return kExitFailed;
  } catch (const std::exception& e) {
    std::cerr << "vnppctl: " << e.what() << "\n";
    return kExitFailed;
  }
}
