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
#include <string>
#include <vector>

#include "automation/BusNames.h"
#include "automation/vnppctl/Client.h"
#include "automation/vnppctl/Output.h"
#include "common/Clock.h"
#include "common/DateTime.h"
#include "common/EventSink.h"
#include "common/Regional.h"
#include "common/Text.h"
#include "common/Version.h"

namespace {

using namespace vnpp;
using namespace vnpp::ctl;
using automation::kBusName;
using automation::kEventsInterface;
using automation::kInterface;
using automation::kObjectPath;
using automation::kOperatorInterface;
using automation::kStatusInterface;

// StartProcess and StopProcess wait for the processing thread.
constexpr std::chrono::minutes kControlTimeout{5};

int Status(TClient& client, bool json) {
  TStatus st;
  st.BusName = client.BusName();
  st.Running = client.Get<std::int32_t>("Status") == 1;
  st.NextGroup = client.Get<std::string>("NextPollGroup");
  st.NextTime = client.Get<double>("NextPollTime");
  st.Groups = client.Groups();
  st.Problems = client.ConfigurationProblems();
  if (!st.Groups.empty()) st.Recheck = client.GroupsRecheck();
  if (!st.Groups.empty()) st.Incomplete = client.GroupsIncomplete();
  std::cout << (json ? StatusJson(st, common::Now()) : StatusText(st, common::Now()));
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

// A command's words after its name, with what the command reads from them.
struct TRequest {
  std::vector<std::string> Args;
  long long Level = 0;                 // log-detail N
  common::TDateTime From = 0, To = 0;  // recompute
  bool Json = false;                   // status --json, -o json
};

void ParseLevel(TRequest& r) {
  if (r.Args.size() == 1 && !IsInteger(r.Args[0], &r.Level)) {
    throw TExit{kExitUsage, "vnppctl: log-detail wants a whole number, not " + r.Args[0]};
  }
}

void ParseRange(TRequest& r) {
  for (const auto& [text, value] : {std::pair{&r.Args[1], &r.From}, {&r.Args[2], &r.To}}) {
    if (!common::ParseDateTimeArgument(*text, *value)) {
      throw TExit{kExitUsage, "vnppctl: \"" + *text +
                                  "\" is not a valid date and time: FROM and TO of recompute "
                                  "are local times written YYYY-MM-DD[ HH:MM[:SS]]"};
    }
  }
}

int Alive(TClient& client, const TRequest&) {
  std::string text;
  try {
    client.Proxy().callMethod("IsAlive").onInterface(kInterface).storeResultsTo(text);
  } catch (const sdbus::Error& e) {
    client.Fail(e);
  }
  std::cout << text << "\n";
  return kExitOk;
}

int LogDetail(TClient& client, const TRequest& r) {
  if (r.Args.empty()) {
    std::cout << client.Get<std::int32_t>("LogDetail") << "\n";
    return kExitOk;
  }
  try {
    client.Proxy()
        .setProperty("LogDetail")
        .onInterface(kInterface)
        .toValue(static_cast<std::int32_t>(r.Level));
  } catch (const sdbus::Error& e) {
    client.Fail(e);
  }
  return kExitOk;
}

int Start(TClient& client, const TRequest&) {
  client.Call("StartProcess", kControlTimeout);
  std::cout << "Processing started.\n";
  return kExitOk;
}

int Stop(TClient& client, const TRequest&) {
  client.Call("StopProcess", kControlTimeout);
  std::cout << "Processing stopped.\n";
  return kExitOk;
}

int Cancel(TClient& client, const TRequest&) {
  client.Call("StopProcessGroup", std::nullopt);
  return kExitOk;
}

struct TCommand {
  const char* Name;
  std::size_t MinArgs, MaxArgs;
  void (*Parse)(TRequest&);  // checks the arguments before the bus is used; may be null
  int (*Run)(TClient&, const TRequest&);
};

const TCommand kCommands[] = {
    {"status", 0, 0, nullptr, [](TClient& c, const TRequest& r) { return Status(c, r.Json); }},
    {"alive", 0, 0, nullptr, Alive},
    {"log-detail", 0, 1, ParseLevel, LogDetail},
    {"start", 0, 0, nullptr, Start},
    {"stop", 0, 0, nullptr, Stop},
    {"run", 1, 1, nullptr, [](TClient& c, const TRequest& r) { return Run(c, r.Args[0]); }},
    {"cancel", 0, 0, nullptr, Cancel},
    {"follow", 0, 0, nullptr, [](TClient& c, const TRequest&) { return Follow(c); }},
    {"recompute", 3, 3, ParseRange,
     [](TClient& c, const TRequest& r) { return Recompute(c, r.Args[0], r.From, r.To); }},
};

int Execute(const std::vector<std::string>& args) {
  std::optional<bool> system;
  std::vector<std::string> words;
  bool json = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--json" || a == "-ojson" || a == "--output=json") {
      json = true;
      continue;
    }
    if (a == "-o" || a == "--output") {
      if (i + 1 >= args.size() || (args[i + 1] != "json" && args[i + 1] != "table")) {
        throw TExit{kExitUsage, "vnppctl: " + a + " wants json or table (see vnppctl --help)"};
      }
      json = args[++i] == "json";
      continue;
    }
    if (a == "-h" || a == "--help") {
      std::cout << kHelp;
      return kExitOk;
    }
    if (a == "--version") {
      std::cout << common::VersionText("vnppctl");
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
  const std::string& name = words[0];
  const auto command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                    [&](const TCommand& c) { return name == c.Name; });
  if (command == std::end(kCommands)) {
    throw TExit{kExitUsage, "vnppctl: unknown command " + name + " (see vnppctl --help)"};
  }
  TRequest request{{words.begin() + 1, words.end()}};
  request.Json = json;
  if (json && name != "status") {
    throw TExit{kExitUsage, "vnppctl: --json is an option of status (see vnppctl --help)"};
  }
  if (request.Args.size() < command->MinArgs || request.Args.size() > command->MaxArgs) {
    throw TExit{kExitUsage, "vnppctl: wrong arguments for " + name + " (see vnppctl --help)"};
  }
  if (command->Parse != nullptr) command->Parse(request);
  TClient client(*system);
  return command->Run(client, request);
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
