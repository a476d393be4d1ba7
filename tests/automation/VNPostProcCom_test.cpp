// The automation object on a private session bus, driven by the real main loop on a thread
// that plays the main thread, with clients on their own connections.
#include "automation/VNPostProcCom.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "automation/BusNames.h"
#include "automation/EmbeddedFiles.h"
#include "common/Clock.h"
#include "common/Error.h"
#include "common/Regional.h"
#include "host/MainLoop.h"
#include "support/BusClient.h"
#include "support/PrivateBus.h"

namespace vnpp::automation {
namespace {

using testing::TClient;
using testing::TItem;
using testing::TPrivateBus;
using testing::TScopedEnv;
using namespace std::chrono_literals;

// What the object acts on, with switches for failures and a stop that waits until released.
class TFakeControl final : public IServiceControl {
 public:
  int GetLogDetail() const override { return Check(), logDetail.load(); }
  void SetLogDetail(int level) override {
    Check();
    logDetail.store(level);
  }
  std::string NextPollGroup() const override { return Check(), "3"; }
  common::TDateTime NextPollTime() const override { return Check(), 45366.5; }
  bool IsProcessing() const override { return Check(), processing.load(); }
  void RunProcessGroup(int index) override {
    Check();
    std::lock_guard<std::mutex> lock(mu_);
    runs.push_back(index);
  }
  void StopProcessGroup() override {
    Check();
    ++cancels;
  }
  std::vector<TGroupStatus> GroupStatus() const override {
    Check();
    return {{0, "Hourly", true, "AVG", 45366.5, 45365.25, 45366.25, 0},
            {1, "Daily", false, "SUM", 0, 0, 0, 3}};
  }
  void StartProcessing() override {
    Check();
    std::unique_lock<std::mutex> lock(mu_);
    controlThread = std::this_thread::get_id();
    calls.push_back("start");
    processing.store(true);
  }
  void StopProcessing() override {
    Check();
    std::unique_lock<std::mutex> lock(mu_);
    controlThread = std::this_thread::get_id();
    calls.push_back("stop");
    stopping = true;
    cv_.notify_all();
    cv_.wait_for(lock, 20s, [this] { return !holdStop; });
    processing.store(false);
  }

  void HoldStop() {
    std::lock_guard<std::mutex> lock(mu_);
    holdStop = true;
  }
  void ReleaseStop() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      holdStop = false;
    }
    cv_.notify_all();
  }
  bool WaitStopping() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, 10s, [this] { return stopping; });
  }
  std::vector<int> Runs() {
    std::lock_guard<std::mutex> lock(mu_);
    return runs;
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return calls;
  }
  std::thread::id ControlThread() {
    std::lock_guard<std::mutex> lock(mu_);
    return controlThread;
  }

  std::atomic<bool> failing{false};
  std::atomic<int> logDetail{1};
  std::atomic<bool> processing{true};
  std::atomic<int> cancels{0};

 private:
  void Check() const {
    if (failing.load()) throw std::runtime_error("main object failure");
  }
  std::mutex mu_;
  std::condition_variable cv_;
  bool holdStop = false;
  bool stopping = false;
  std::vector<int> runs;
  std::vector<std::string> calls;
  std::thread::id controlThread;
};

class VNPostProcComTest : public ::testing::Test {
 protected:
  void SetUp() override { VNPP_NEED_BUS(bus_); }
  void TearDown() override {
    StopMainThread();
    if (com_) com_->Close();
    common::SetRegionalSettings(common::TRegionalSettings{});
  }

  // The object on the bus, served by a thread that runs the main loop.
  void StartObject() {
    com_ = std::make_unique<TVNPostProcCOM>(
        TBusKind::Session, [this](std::function<void()> f) { loop_.Post(std::move(f)); });
    com_->SetControl(&control_);
    loop_.AddPollSource(com_.get());
    mainThread_ = std::thread([this] { loop_.Run(); });
    mainThreadId_ = mainThread_.get_id();
  }
  void StopMainThread() {
    if (!mainThread_.joinable()) return;
    loop_.Quit();
    mainThread_.join();
  }

  TPrivateBus bus_;
  TScopedEnv address_{"DBUS_SESSION_BUS_ADDRESS", bus_.Address().c_str()};
  TFakeControl control_;
  host::TMainLoop loop_;
  std::unique_ptr<TVNPostProcCOM> com_;
  std::thread mainThread_;
  std::thread::id mainThreadId_;
};

// --- The interface as described -----------------------------------------------------------

// A little reader for introspection XML: elements with their attributes, nested.
struct TNode {
  std::string tag;
  std::map<std::string, std::string> attrs;
  std::vector<TNode> children;
};

TNode ParseXml(const std::string& text) {
  TNode root;
  std::vector<TNode*> stack{&root};
  size_t pos = 0;
  while ((pos = text.find('<', pos)) != std::string::npos) {
    if (text.compare(pos, 4, "<!--") == 0) {
      pos = text.find("-->", pos) + 3;
      continue;
    }
    const size_t end = text.find('>', pos);
    std::string tag = text.substr(pos + 1, end - pos - 1);
    pos = end + 1;
    if (tag[0] == '!' || tag[0] == '?') continue;
    if (tag[0] == '/') {
      stack.pop_back();
      continue;
    }
    const bool selfClosing = tag.back() == '/';
    if (selfClosing) tag.pop_back();
    TNode node;
    size_t i = tag.find_first_of(" \t\r\n");
    node.tag = tag.substr(0, i);
    while (i != std::string::npos && (i = tag.find('=', i)) != std::string::npos) {
      size_t k = i;
      while (k > 0 && tag[k - 1] != ' ' && tag[k - 1] != '\n' && tag[k - 1] != '\t') --k;
      const std::string name = tag.substr(k, i - k);
      const size_t q1 = tag.find('"', i), q2 = tag.find('"', q1 + 1);
      node.attrs[name] = tag.substr(q1 + 1, q2 - q1 - 1);
      i = q2 + 1;
    }
    stack.back()->children.push_back(node);
    if (!selfClosing) stack.push_back(&stack.back()->children.back());
  }
  return root;
}

// Each member of an interface as one line: kind, name, arguments, access and the standard
// annotations (those of this program are documentation only and not on the bus).
std::set<std::string> Members(const TNode& root, const std::string& interface) {
  std::set<std::string> out;
  for (const TNode& node : root.children) {
    if (node.tag != "node") continue;
    for (const TNode& in : node.children) {
      if (in.tag != "interface" || in.attrs.at("name") != interface) continue;
      for (const TNode& m : in.children) {
        if (m.tag == "annotation") continue;
        std::string line = m.tag + " " + m.attrs.at("name");
        if (m.attrs.count("type") != 0) line += " " + m.attrs.at("type");
        if (m.attrs.count("access") != 0) line += " " + m.attrs.at("access");
        for (const TNode& a : m.children) {
          if (a.tag == "arg") {
            const std::string dir = a.attrs.count("direction") != 0 ? a.attrs.at("direction")
                                    : m.tag == "method"             ? "in"
                                                                    : "";
            line += " (" + dir + " " + a.attrs.at("type") + " " + a.attrs.at("name") + ")";
          } else if (a.tag == "annotation" &&
                     a.attrs.at("name").rfind("org.freedesktop.", 0) == 0) {
            line += " [" + a.attrs.at("name") + "=" + a.attrs.at("value") + "]";
          }
        }
        out.insert(line);
      }
    }
  }
  return out;
}

TEST_F(VNPostProcComTest, RegisteredMembersAreExactlyThoseOfTheInterfaceXml) {
  StartObject();
  TClient client;
  std::string live;
  client.Proxy()
      .callMethod("Introspect")
      .onInterface("org.freedesktop.DBus.Introspectable")
      .storeResultsTo(live);
  const TNode described = ParseXml(kInterfaceXml);
  const TNode registered = ParseXml(live);
  for (const char* interface :
       {kInterface, kEventsInterface, kStatusInterface, kOperatorInterface}) {
    SCOPED_TRACE(interface);
    const std::set<std::string> want = Members(described, interface);
    EXPECT_FALSE(want.empty());
    EXPECT_EQ(Members(registered, interface), want);
  }
}

TEST(VNPostProcComXml, EveryFamilyMemberHasItsDispatchIdOnce) {
  const TNode root = ParseXml(kInterfaceXml);
  std::map<std::string, std::string> ids;
  for (const TNode& in : root.children.at(0).children) {
    if (in.tag != "interface" || in.attrs.at("name") != kInterface) continue;
    for (const TNode& m : in.children) {
      for (const TNode& a : m.children) {
        if (a.tag == "annotation" && a.attrs.at("name") == "VNPPSvc.DispatchId") {
          ids[a.attrs.at("value")] = m.attrs.at("name");
        }
      }
    }
  }
  const std::map<std::string, std::string> want = {
      {"1", "SetItemChange"},    {"2", "IsAlive"},      {"3", "ResetParams"},
      {"4", "AppShutdown"},      {"5", "LogDetail"},    {"6", "NextPollGroup"},
      {"7", "NextPollTime"},     {"8", "StartProcess"}, {"9", "StopProcess"},
      {"10", "RunProcessGroup"}, {"11", "Status"},      {"12", "StopProcessGroup"}};
  EXPECT_EQ(ids, want);
}

// --- Members ---------------------------------------------------------------------------------

TEST_F(VNPostProcComTest, ReadsAndControlMembersReachTheMainObject) {
  StartObject();
  TClient client;
  EXPECT_EQ(client.Get<std::int32_t>("LogDetail"), 1);
  client.Proxy().setProperty("LogDetail").onInterface(kInterface).toValue(std::int32_t{2});
  EXPECT_EQ(control_.logDetail.load(), 2);
  EXPECT_EQ(client.Get<std::int32_t>("LogDetail"), 2);
  EXPECT_EQ(client.Get<std::string>("NextPollGroup"), "3");
  EXPECT_DOUBLE_EQ(client.Get<double>("NextPollTime"), 45366.5);
  EXPECT_EQ(client.Get<std::int32_t>("Status"), 1);
  control_.processing.store(false);
  EXPECT_EQ(client.Get<std::int32_t>("Status"), 0);

  // The index goes through unchecked: the main object ignores one outside its list.
  for (std::int32_t index : {0, -1, 7}) {
    client.Proxy().callMethod("RunProcessGroup").onInterface(kInterface).withArguments(index);
  }
  EXPECT_EQ(control_.Runs(), (std::vector<int>{0, -1, 7}));
  client.Call("StopProcessGroup");
  EXPECT_EQ(control_.cancels.load(), 1);
  client.Call("ResetParams");
  EXPECT_EQ(control_.Calls(), std::vector<std::string>{}) << "ResetParams changes nothing";

  std::vector<sdbus::Struct<std::int32_t, std::string, bool, std::string, double, double, double,
                            std::int64_t>>
      rows;
  client.Proxy().callMethod("Groups").onInterface(kStatusInterface).storeResultsTo(rows);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], (sdbus::Struct<std::int32_t, std::string, bool, std::string, double, double,
                                    double, std::int64_t>{0, "Hourly", true, "AVG", 45366.5,
                                                          45365.25, 45366.25, 0}));
  EXPECT_EQ(rows[1].get<1>(), "Daily");
  EXPECT_EQ(rows[1].get<7>(), 3);
}

// The reads never fail towards the client: a failure of the main object, or no main object
// at all, gives the empty values. A control member that fails is the caller's D-Bus error,
// with the reason.
TEST_F(VNPostProcComTest, FailedControlCallsAreBusErrorsAndFailedReadsEmptyValues) {
  StartObject();
  TClient client;
  for (const char* situation : {"failing", "none"}) {
    SCOPED_TRACE(situation);
    const bool failing = std::string(situation) == "failing";
    if (failing) {
      control_.failing.store(true);
    } else {
      control_.failing.store(false);
      com_->SetControl(nullptr);
    }
    EXPECT_EQ(client.Get<std::int32_t>("LogDetail"), 0);
    EXPECT_EQ(client.Get<std::string>("NextPollGroup"), "");
    EXPECT_EQ(client.Get<double>("NextPollTime"), 0);
    EXPECT_EQ(client.Get<std::int32_t>("Status"), 0);
    std::vector<sdbus::Struct<std::int32_t, std::string, bool, std::string, double, double, double,
                              std::int64_t>>
        rows;
    client.Proxy().callMethod("Groups").onInterface(kStatusInterface).storeResultsTo(rows);
    EXPECT_TRUE(rows.empty());

    const std::function<void()> calls[] = {
        [&] {
          client.Proxy().callMethod("RunProcessGroup").onInterface(kInterface).withArguments(0);
        },
        [&] { client.Call("StopProcessGroup"); },
        [&] { client.Call("StartProcess"); },
        [&] { client.Call("StopProcess"); },
        [&] {
          client.Proxy().setProperty("LogDetail").onInterface(kInterface).toValue(std::int32_t{2});
        },
    };
    for (const auto& call : calls) {
      try {
        call();
        ADD_FAILURE() << "a failed control call reported success";
      } catch (const sdbus::Error& e) {
        EXPECT_EQ(e.getName(), kErrorFailed);
        EXPECT_NE(e.getMessage().find(failing ? "main object failure" : "no main object"),
                  std::string::npos)
            << e.getMessage();
      }
    }
  }
  EXPECT_TRUE(control_.Runs().empty());
  EXPECT_EQ(control_.logDetail.load(), 1);
}

// SetItemChange relays at most kMaxItemChangeBytes; a larger call is refused and reaches no
// client.
TEST_F(VNPostProcComTest, SetItemChangeRefusesPayloadsAboveTheLimit) {
  StartObject();
  TClient client;
  auto relay = [&](size_t dataBytes) {
    client.Proxy()
        .callMethod("SetItemChange")
        .onInterface(kInterface)
        .withArguments(std::string("{A}"), std::string("BIG"), std::string(dataBytes, 'x'));
  };
  const size_t fits = kMaxItemChangeBytes - 6;  // "{A}" and "BIG"
  EXPECT_NO_THROW(relay(fits));
  try {
    relay(fits + 1);
    ADD_FAILURE() << "a payload above the limit was accepted";
  } catch (const sdbus::Error& e) {
    EXPECT_EQ(e.getName(), kErrorTooLarge);
    EXPECT_NE(e.getMessage().find("65536"), std::string::npos) << e.getMessage();
  }
  EXPECT_THROW(relay(1024 * 1024), sdbus::Error);
  client.Call("ResetParams");  // everything sent before its reply has arrived
  ASSERT_TRUE(client.PumpUntil([&] { return !client.items.empty(); }));
  client.PumpUntil([] { return false; }, 200ms);
  ASSERT_EQ(client.items.size(), 1u);
  EXPECT_EQ(std::get<2>(client.items[0]).size(), fits);
}

TEST_F(VNPostProcComTest, IsAliveGivesTheLocalTimeWithTheRegionalSeparators) {
  common::FakeClock clock(common::EncodeDateTime(2024, 3, 5, 7, 8, 9, 900));
  common::ScopedClockOverride over(clock);
  common::SetRegionalSettings({'-', '.', ','});
  StartObject();
  TClient client;
  std::string text;
  client.Proxy().callMethod("IsAlive").onInterface(kInterface).storeResultsTo(text);
  EXPECT_EQ(text, "2024-03-05 07.08.09");
  StopMainThread();
}

// --- Broadcasts ------------------------------------------------------------------------------

// Whatever a client or the program passes to SetItemChange reaches every client, the caller
// included, with the same texts, in the order the broadcasts were made.
TEST_F(VNPostProcComTest, BroadcastsReachEveryClientInOrder) {
  StartObject();
  TClient a, b;
  // From other threads: the processing thread's messages and a finished run.
  std::thread([&] {
    com_->SetItemChange("{HOST}", "MESSAGE", "first");
    com_->GroupRunFinished(2, 24, 1);
  }).join();
  a.Proxy()
      .callMethod("SetItemChange")
      .onInterface(kInterface)
      .withArguments(std::string("{CLIENT}"), std::string("LEVEL"), std::string("4.5 m"));
  b.Proxy().callMethod("AppShutdown").onInterface(kInterface).withArguments(std::string("{B}"));
  const std::vector<TItem> want = {{"{HOST}", "MESSAGE", "first"}, {"{CLIENT}", "LEVEL", "4.5 m"}};
  for (TClient* c : {&a, &b}) {
    ASSERT_TRUE(c->PumpUntil([&] { return c->items.size() == 2 && c->shutdowns.size() == 1; }));
    EXPECT_EQ(c->items, want);
    EXPECT_EQ(c->shutdowns, std::vector<std::string>{"{B}"});
    ASSERT_TRUE(c->PumpUntil([&] { return c->runs.size() == 1; }));
    EXPECT_EQ(c->runs[0], std::make_tuple(2, std::int64_t{24}, std::int64_t{1}));
  }
}

// A bus that takes nothing (its daemon stopped, as for a bus stalled by a client that does
// not read): the object holds back what the connection has not written, up to its bound,
// and drops and counts the rest instead of piling it up in the connection.
TEST_F(VNPostProcComTest, StalledBusHoldsBackABoundedQueueAndCountsWhatItDrops) {
  StartObject();
  ASSERT_EQ(::kill(bus_.Pid(), SIGSTOP), 0);
  const std::string data(60000, 'x');
  for (int i = 0; i < 1000; ++i) com_->SetItemChange("{HOST}", "MESSAGE", data);  // 60 MB
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (com_->DroppedSignals() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(bus_.Pid(), SIGCONT);
  EXPECT_GT(com_->DroppedSignals(), 0u);
}

// StartProcess and StopProcess wait for processing on the object's control thread: while a
// stop takes its time, other clients' calls are answered and broadcasts go out, and the
// stop's caller gets its reply once the stop is done.
TEST_F(VNPostProcComTest, SlowStopHoldsUpNeitherOtherCallsNorBroadcasts) {
  StartObject();
  control_.HoldStop();
  std::atomic<bool> stopReturned{false};
  std::thread stopper([&] {
    TClient caller;
    caller.Call("StopProcess");
    stopReturned.store(true);
  });
  ASSERT_TRUE(control_.WaitStopping());

  TClient other;
  std::string alive;
  other.Proxy().callMethod("IsAlive").onInterface(kInterface).storeResultsTo(alive);
  EXPECT_FALSE(alive.empty());
  EXPECT_EQ(other.Get<std::string>("NextPollGroup"), "3");
  com_->SetItemChange("{HOST}", "MESSAGE", "while stopping");
  EXPECT_TRUE(other.PumpUntil([&] { return !other.items.empty(); }));
  EXPECT_FALSE(stopReturned.load());

  control_.ReleaseStop();
  stopper.join();
  EXPECT_TRUE(stopReturned.load());
  other.Call("StartProcess");  // returns once processing has started
  EXPECT_EQ(control_.Calls(), (std::vector<std::string>{"stop", "start"}));
  EXPECT_NE(control_.ControlThread(), mainThreadId_);
  EXPECT_EQ(other.Get<std::int32_t>("Status"), 1);
}

// At close the broadcasts still queued are sent (the program's OnAppShutdown is queued just
// before the main loop ends), a control call in progress is answered when it is done, and
// one not yet begun is refused.
TEST_F(VNPostProcComTest, CloseSendsWhatIsQueuedAndRefusesControlCallsNotBegun) {
  StartObject();
  TClient watcher;
  control_.HoldStop();
  auto stop = std::async(std::launch::async, [] {
    TClient caller;
    caller.Call("StopProcess");
    return std::string("done");
  });
  ASSERT_TRUE(control_.WaitStopping());
  auto start = std::async(std::launch::async, [] {
    TClient caller;
    try {
      caller.Call("StartProcess");
      return std::string("done");
    } catch (const sdbus::Error& e) {
      return e.getName();
    }
  });
  // The start has arrived and waits behind the stop once the object answers a later call.
  std::string alive;
  TClient().Proxy().callMethod("IsAlive").onInterface(kInterface).storeResultsTo(alive);
  std::this_thread::sleep_for(100ms);
  StopMainThread();
  com_->AppShutdown("{HOST}");
  std::thread release([&] {
    std::this_thread::sleep_for(100ms);
    control_.ReleaseStop();
  });
  com_->Close();
  release.join();
  EXPECT_EQ(stop.get(), "done");
  EXPECT_EQ(start.get(), kErrorClosing);
  EXPECT_EQ(control_.Calls(), std::vector<std::string>{"stop"});
  ASSERT_TRUE(watcher.PumpUntil([&] { return !watcher.shutdowns.empty(); }));
  EXPECT_EQ(watcher.shutdowns, std::vector<std::string>{"{HOST}"});
  com_->SetItemChange("{HOST}", "MESSAGE", "after close");  // dropped, no failure
}

// --- Start-up failures -------------------------------------------------------------------

TEST_F(VNPostProcComTest, TakenNameOrMissingBusIsOneClearFailure) {
  StartObject();
  try {
    TVNPostProcCOM second(TBusKind::Session, [](std::function<void()>) {});
    ADD_FAILURE() << "a second object took the name";
  } catch (const common::EPostProcError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Unable to own VNPPSvc.VNPostProcCom on the session bus: another process owns "
              "the name");
  }
  TClient client;  // the first object serves on
  EXPECT_EQ(client.Get<std::string>("NextPollGroup"), "3");

  TScopedEnv noBus("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
  try {
    TVNPostProcCOM none(TBusKind::Session, [](std::function<void()>) {});
    ADD_FAILURE() << "connected without a bus";
  } catch (const common::EPostProcError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Unable to connect on the session bus: ", 0), 0u)
        << e.what();
  }
}

TEST(ChooseBus, RunModeUnlessVnppsvcBusSaysOtherwise) {
  struct Case {
    const char* env;
    bool service;
    std::optional<TBusKind> want;  // none: refused
  };
  const Case cases[] = {
      {nullptr, true, TBusKind::System},   {nullptr, false, TBusKind::Session},
      {"", true, TBusKind::System},        {"session", true, TBusKind::Session},
      {"SYSTEM", false, TBusKind::System}, {"System", true, TBusKind::System},
      {"user", false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.env ? c.env : "(unset)") + (c.service ? " service" : " desktop"));
    TScopedEnv env("VNPPSVC_BUS", c.env);
    if (c.want) {
      EXPECT_EQ(ChooseBus(c.service), *c.want);
    } else {
      EXPECT_THROW(ChooseBus(c.service), common::EPostProcError);
    }
  }
}

}  // namespace
}  // namespace vnpp::automation
