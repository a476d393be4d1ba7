// The automation object of the real VNPPSvc on a private bus, with in-process clients and
// with vnppctl; the system bus policy on a bus with the system bus's default policy.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "automation/BusNames.h"
#include "common/Clock.h"
#include "common/DateTime.h"
#include "common/EventSink.h"
#include "database/Odbc.h"
#include "support/BusClient.h"
#include "support/ChildProcess.h"
#include "support/PrivateBus.h"
#include "support/TestDatabases.h"

namespace vnpp::integration {
namespace {

using automation::kInterface;
using automation::kStatusInterface;
using automation::testing::TClient;
using automation::testing::TPrivateBus;
using automation::testing::TScopedEnv;
using namespace std::chrono_literals;

using TGroupRow = sdbus::Struct<std::int32_t, std::string, bool, std::string, double, double,
                                double, std::int64_t>;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The host's MESSAGE texts a client has received, in order.
std::vector<std::string> Messages(const TClient& client) {
  std::vector<std::string> out;
  for (const auto& [appId, item, value] : client.items) {
    if (appId == common::kHostAppId && item == common::kItemMessage) out.push_back(value);
  }
  return out;
}

size_t CountMessages(const TClient& client, const std::string& prefix) {
  size_t n = 0;
  for (const std::string& m : Messages(client)) n += m.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

// A program home with a configuration and a SQLite database of readings, and the program
// running there on a bus of its own.
class AutomationProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VNPP_NEED_BUS(bus_);
    char pattern[] = "/tmp/vnpp-auto.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    home_ = pattern;
    std::filesystem::create_directory(home_ + "/LogFiles");
    database::testing::ApplySchema("Driver=SQLite3;Database=" + DbFile(), "sqlite");
  }
  void TearDown() override {
    Stop();
    if (!home_.empty()) std::filesystem::remove_all(home_);
  }

  std::string DbFile() const { return home_ + "/data.db"; }
  std::string LogFile() const { return home_ + "/LogFiles/VNPostProc.log"; }

  // groups: the text of the group sections; GroupNames lists them.
  void WriteConfig(const std::string& groupNames, const std::string& groups, int logDetail = 1) {
    std::ofstream(home_ + "/VNPostProc.VFG", std::ios::binary)
        << "[PostProcess]\r\nLogMessage=1\r\nLogDetail=" << logDetail
        << "\r\nGroupNames=" << groupNames << "\r\n"
        << groups << "[Database Settings]\r\nODBC Data Source=Driver=SQLite3;Database=" << DbFile()
        << ";NoCreat=1;JournalMode=WAL;SyncPragma=NORMAL\r\n";
  }

  // Readings of station.WL every 15 minutes over the last hours.
  void AddReadings(const std::string& station, int hours) {
    database::TConnection c;
    c.Open("Driver=SQLite3;Database=" + DbFile(), "", "");
    auto stmt = c.Prepare(
        "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) VALUES (:S, :N, :T, "
        ":V)");
    const common::TDateTime now = common::Now();
    c.ExecuteDirect("BEGIN");
    for (int i = 0; i < hours * 4; ++i) {
      stmt->BindText("S", station);
      stmt->BindText("N", "WL");
      stmt->BindDateTime("T", now - (hours * 4 - i) * (15.0 / 1440.0));
      stmt->BindDouble("V", i);
      stmt->Execute();
    }
    c.ExecuteDirect("COMMIT");
  }

  std::map<std::string, std::string> Env() const {
    return {{"VNPPSVC_HOME", home_},
            {"VNPPSVC_INSTANCE", "vnpp-auto-" + std::to_string(::getpid())},
            {"VNPPSVC_UNIT_DIR", home_},
            {"VNPPSVC_BUS", "session"},
            {"DBUS_SESSION_BUS_ADDRESS", bus_.Address()}};
  }

  // Starts the program and waits until its object answers.
  void Start() {
    child_ = Spawn(Env());
    ASSERT_GT(child_.pid, 0);
    for (int i = 0; i < 500; ++i) {
      try {
        TClient probe;
        std::string alive;
        probe.Proxy().callMethod("IsAlive").onInterface(kInterface).storeResultsTo(alive);
        return;
      } catch (const sdbus::Error&) {
        std::this_thread::sleep_for(20ms);
      }
    }
    FAIL() << "the automation object did not appear";
  }

  // SIGTERM and the exit code.
  int Stop() {
    if (child_.pid <= 0) return -1;
    ::kill(child_.pid, SIGTERM);
    int status = 0;
    ::waitpid(child_.pid, &status, 0);
    child_.pid = -1;
    output_ = ReadAll(child_.out.Get());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  Finished Ctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {VNPPCTL_EXE, "--session"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunToEnd(argv, Env());
  }

  TPrivateBus bus_;
  TScopedEnv address_{"DBUS_SESSION_BUS_ADDRESS", bus_.Address().c_str()};
  std::string home_;
  Child child_;
  std::string output_;
};

constexpr const char* kLevelsAndSpare =
    "[Levels]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\nStartFrom=LAST 6 HOURS\r\n"
    // Half an hour after the period: no scheduled run comes between the test's own runs.
    "BaseTime=00:30:00\r\n"
    "POLLNumber=2\r\nPOLL1=ST1.WL\r\nPOLL2=ST2.WL\r\n"
    "[Spare]\r\nFuncName=MAX\r\nEnabled=0\r\n";

TEST_F(AutomationProcessTest, EveryMemberWorksAgainstTheRealProgram) {
  AddReadings("ST1", 8);
  WriteConfig("Levels,Spare", kLevelsAndSpare);
  // Subscribed before the program starts: it receives every broadcast.
  TClient a, b;
  Start();
  ASSERT_TRUE(a.PumpUntil([&] {
    return std::find(a.items.begin(), a.items.end(),
                     automation::testing::TItem{common::kHostAppId, "POLLGROUP", ""}) !=
           a.items.end();
  }));

  // The next group is its number, not its name; its time is the one the status shows.
  EXPECT_EQ(a.Get<std::string>("NextPollGroup"), "1");
  std::vector<TGroupRow> rows;
  a.Proxy().callMethod("Groups").onInterface(kStatusInterface).storeResultsTo(rows);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].get<1>(), "Levels");
  EXPECT_EQ(rows[1].get<1>(), "Spare");
  EXPECT_GT(a.Get<double>("NextPollTime"), common::Now());
  EXPECT_DOUBLE_EQ(a.Get<double>("NextPollTime"), rows[0].get<4>());
  EXPECT_EQ(a.Get<std::int32_t>("Status"), 1);
  std::string alive;
  a.Proxy().callMethod("IsAlive").onInterface(kInterface).storeResultsTo(alive);
  EXPECT_TRUE(std::regex_match(alive, std::regex(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)"))) << alive;
  EXPECT_NO_THROW(a.Call("ResetParams"));

  // LogDetail 2 from a client: the next run logs each window and its end...
  a.Proxy().setProperty("LogDetail").onInterface(kInterface).toValue(std::int32_t{2});
  EXPECT_EQ(b.Get<std::int32_t>("LogDetail"), 2);
  a.Proxy().callMethod("RunProcessGroup").onInterface(kInterface).withArguments(std::int32_t{0});
  ASSERT_TRUE(a.PumpUntil([&] { return CountMessages(a, "PollGroup AVG: Finished.") == 1; }, 20s));
  EXPECT_GE(CountMessages(a, "Data for \"ST1.WL\""), 5u);
  ASSERT_TRUE(a.PumpUntil([&] { return a.runs.size() == 1; }));
  EXPECT_EQ(std::get<0>(a.runs[0]), 0);
  EXPECT_EQ(std::get<2>(a.runs[0]), 0);

  // ... until the configuration is read again by StartProcess.
  a.Call("StartProcess");
  EXPECT_EQ(a.Get<std::int32_t>("Status"), 1);
  // The new thread reads the configuration after the call has returned.
  ASSERT_TRUE(a.PumpUntil([&] { return CountMessages(a, "Startup parameters loaded.") == 2; }));
  EXPECT_EQ(a.Get<std::int32_t>("LogDetail"), 1);
  // Out of range: nothing (and no failure); then Levels (no end line now) and Spare.
  for (std::int32_t index : {-1, 2, 0, 1}) {
    for (int i = 0; i < 100 && b.Get<std::string>("NextPollGroup").empty(); ++i) {
      std::this_thread::sleep_for(20ms);  // run requests are taken once the groups are loaded
    }
    EXPECT_NO_THROW(
        a.Proxy().callMethod("RunProcessGroup").onInterface(kInterface).withArguments(index));
  }
  ASSERT_TRUE(a.PumpUntil(
      [&] { return CountMessages(a, "PollGroup 2: MAX - Retrieve data...") == 1; }, 20s));
  EXPECT_EQ(CountMessages(a, "PollGroup 1: AVG - Retrieve data..."), 2u);
  EXPECT_EQ(CountMessages(a, "PollGroup AVG: Finished."), 1u);
  EXPECT_EQ(CountMessages(a, "PollGroup MAX: Finished."), 0u);

  // Status follows StopProcess and StartProcess; while stopped nothing is scheduled.
  a.Call("StopProcess");
  EXPECT_EQ(a.Get<std::int32_t>("Status"), 0);
  EXPECT_EQ(a.Get<std::string>("NextPollGroup"), "");
  EXPECT_EQ(a.Get<double>("NextPollTime"), 0);
  a.Call("StartProcess");
  EXPECT_EQ(a.Get<std::int32_t>("Status"), 1);

  // A client's item reaches every client, itself included.
  b.Proxy()
      .callMethod("SetItemChange")
      .onInterface(kInterface)
      .withArguments(std::string("{B}"), std::string("LEVEL"), std::string("4.5"));
  for (TClient* c : {&a, &b}) {
    EXPECT_TRUE(c->PumpUntil([&] {
      return std::find(c->items.begin(), c->items.end(),
                       automation::testing::TItem{"{B}", "LEVEL", "4.5"}) != c->items.end();
    }));
  }

  // The close: OnAppShutdown to every client, and every logged message was broadcast.
  EXPECT_EQ(Stop(), 0) << output_;
  EXPECT_EQ(output_, "");
  for (TClient* c : {&a, &b}) {
    ASSERT_TRUE(c->PumpUntil([&] { return !c->shutdowns.empty(); }));
    EXPECT_EQ(c->shutdowns, std::vector<std::string>{common::kHostAppId});
  }
  std::vector<std::string> logged;
  std::istringstream lines(ReadText(LogFile()));
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    logged.push_back(line.substr(23));  // after "mm/dd/yyyy hh:nn:ss    "
  }
  ASSERT_FALSE(logged.empty());
  EXPECT_EQ(logged.back(), "Post processing service stopped.");
  // The file lines are the broadcasts in order, but for those logged before the configuration
  // switched file logging on.
  const std::vector<std::string> sent = Messages(a);
  size_t k = 0;
  for (const std::string& m : sent) {
    if (k < logged.size() && m == logged[k]) ++k;
  }
  EXPECT_EQ(k, logged.size()) << "a logged message was not broadcast in order";
  EXPECT_EQ(sent.front(), "Post processing service started.");
}

TEST_F(AutomationProcessTest, VnppctlShowsAndControlsTheService) {
  AddReadings("ST1", 8);
  WriteConfig("Levels,Spare", kLevelsAndSpare);
  EXPECT_EQ(Ctl({"status"}).code, 3) << "not running yet";
  Start();
  Finished status = Ctl({"status"});
  for (int i = 0; i < 100 && status.output.find("Levels") == std::string::npos; ++i) {
    std::this_thread::sleep_for(20ms);
    status = Ctl({"status"});
  }
  EXPECT_EQ(status.code, 0);
  EXPECT_NE(status.output.find("processing running"), std::string::npos) << status.output;
  // Groups by the number the log gives them ("PollGroup 1: ..."), not their list position.
  EXPECT_NE(status.output.find("Next group: 1 (Levels) at "), std::string::npos) << status.output;
  EXPECT_TRUE(std::regex_search(status.output, std::regex(R"(\n1 +Levels +yes +AVG )")))
      << status.output;
  EXPECT_TRUE(std::regex_search(status.output, std::regex(R"(\n2 +Spare +no +MAX )")))
      << status.output;

  Child follow = Spawn({VNPPCTL_EXE, "--session", "follow"}, Env());
  TOutputWatch followed(follow.out.Get());
  // Subscribed once a broadcast of the host's AppID comes out of it.
  bool subscribed = false;
  for (int i = 0; i < 100 && !subscribed; ++i) {
    TClient()
        .Proxy()
        .callMethod("SetItemChange")
        .onInterface(kInterface)
        .withArguments(std::string(common::kHostAppId), std::string(common::kItemMessage),
                       std::string("follower subscribed"));
    subscribed = followed.WaitFor("follower subscribed", 1, 200ms);
  }
  ASSERT_TRUE(subscribed) << followed.ReadToEnd();

  struct Case {
    std::vector<std::string> args;
    int code;
    std::string output;  // a part of it
  };
  const Case cases[] = {
      {{"alive"}, 0, "/"},
      {{"log-detail", "2"}, 0, ""},
      {{"log-detail"}, 0, "2\n"},
      {{"run", "levels"}, 0, ""},  // the section name in any case
      {{"run", "Nope"}, 1, "no group with the section name \"Nope\""},
      {{"run", "2"}, 0, ""},  // Spare, the last group
      {{"run", "3"}, 1, "no group 3 (there are 2, from 1)"},
      {{"run", "0"}, 1, "no group 0"},
      {{"cancel"}, 0, ""},
      {{"stop"}, 0, "Processing stopped."},
      {{"run", "1"}, 1, "processing is stopped"},
      {{"start"}, 0, "Processing started."},
      {{"log-detail"}, 0, "1\n"},  // the configuration's level again
      {{"log-detail", "x"}, 2, "whole number"},
      {{"bogus"}, 2, "unknown command bogus"},
      {{"status", "extra"}, 2, "wrong arguments"},
      {{"--help"}, 0, "EXIT STATUS"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    const Finished done = Ctl(c.args);
    EXPECT_EQ(done.code, c.code) << done.output;
    EXPECT_NE(done.output.find(c.output), std::string::npos) << done.output;
    // A cancelled run reports no end: the requested one finishes first.
    if (c.args.size() == 2 && c.args[0] == "run" && c.code == 0) {
      const std::string finished = c.args[1] == "2" ? "Group 2 finished: " : "Group 1 finished: ";
      EXPECT_TRUE(followed.WaitFor(finished, followed.Count(finished) + 1));
    }
  }
  const char* const parts[] = {"    PollGroup 1: AVG - Retrieve data...",
                               "    Post processing service stopped.",
                               "    Post processing service started.",
                               "    Next group: 1 at ",
                               "Group 1 finished: ",
                               "Group 2 finished: "};
  // The last messages reach the follower with the next ticks of the message timer.
  for (const char* part : parts) followed.WaitFor(part);
  ::kill(follow.pid, SIGINT);
  int followStatus = 0;
  ::waitpid(follow.pid, &followStatus, 0);
  const std::string followedText = followed.ReadToEnd();
  EXPECT_TRUE(WIFEXITED(followStatus) && WEXITSTATUS(followStatus) == 0) << followedText;
  for (const char* part : parts) {
    EXPECT_NE(followedText.find(part), std::string::npos) << part << "\n" << followedText;
  }

  // No such bus.
  const Finished noBus = RunToEnd({VNPPCTL_EXE, "--system", "status"},
                                  {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus"}});
  EXPECT_EQ(noBus.code, 3) << noBus.output;
  EXPECT_NE(noBus.output.find("cannot connect to the system bus"), std::string::npos);
}

// A corrected reading: "vnppctl recompute" over a range brings the rows of the windows inside
// it in line with the data and reports the counts; refused requests write nothing.
TEST_F(AutomationProcessTest, VnppctlRecomputeBringsTheRowsInLineWithCorrectedReadings) {
  AddReadings("ST1", 8);
  WriteConfig("Levels,Spare", kLevelsAndSpare);
  TClient a;
  Start();
  for (int i = 0; i < 100 && a.Get<std::string>("NextPollGroup").empty(); ++i) {
    std::this_thread::sleep_for(20ms);  // run requests are taken once the groups are loaded
  }
  a.Proxy().callMethod("RunProcessGroup").onInterface(kInterface).withArguments(std::int32_t{0});
  ASSERT_TRUE(a.PumpUntil([&] { return a.runs.size() == 1; }, 20s));

  database::TConnection c;
  c.Open("Driver=SQLite3;Database=" + DbFile(), "", "");
  auto rows = [&] {
    std::map<common::TDateTime, double> out;
    auto q = c.Prepare(
        "SELECT TIME_TAG, PP_VALUE FROM VN_PPDATA1 WHERE STATION_ID = :S ORDER BY TIME_TAG");
    q->BindText("S", "ST1");
    q->Execute();
    while (q->Fetch()) out[q->GetDateTime("TIME_TAG")] = q->GetDouble("PP_VALUE");
    return out;
  };
  const std::map<common::TDateTime, double> before = rows();
  ASSERT_GE(before.size(), 4u);

  // Two whole hours that ended at least an hour ago; their readings go up by 100.
  const common::TDateTimeParts now = common::DecodeDateTime(common::Now());
  const common::TDateTime from =
      common::EncodeDateTime(now.Year, now.Month, now.Day, now.Hour) - 3.0 / 24;
  const common::TDateTime to = from + 2.0 / 24;
  auto text = [](common::TDateTime t) {
    const common::TDateTimeParts p = common::DecodeDateTime(t + 0.5 / common::kSecondsPerDay);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", p.Year, p.Month, p.Day, p.Hour,
                  p.Minute, p.Second);
    return std::string(buf);
  };
  auto update = c.Prepare(
      "UPDATE VN_DATA1 SET ED_VALUE = ED_VALUE + 100 WHERE STATION_ID = :S AND TIME_TAG >= :F "
      "AND TIME_TAG < :T");
  update->BindText("S", "ST1");
  update->BindDateTime("F", from);
  update->BindDateTime("T", to);
  update->Execute();

  struct Refused {
    std::vector<std::string> args;
    int code;
    std::string output;
  };
  const Refused refused[] = {
      {{"recompute", "1", text(to), text(from)}, 1, "cannot recompute: the range is empty"},
      {{"recompute", "1", text(common::Now() + 1), text(common::Now() + 2)},
       1,
       "cannot recompute: the range begins in the future"},
      {{"recompute", "Nope", text(from), text(to)}, 1, "no group with the section name"},
      {{"recompute", "1", "yesterday", text(to)}, 2, "YYYY-MM-DD[ HH:MM[:SS]]"},
      {{"recompute", "1", text(from), "2026-02-29"}, 2, "\"2026-02-29\" is not a valid date"},
      {{"recompute", "1", text(from)}, 2, "wrong arguments"},
  };
  for (const Refused& r : refused) {
    SCOPED_TRACE(r.args[1] + " " + r.args[2]);
    const Finished done = Ctl(r.args);
    EXPECT_EQ(done.code, r.code) << done.output;
    EXPECT_NE(done.output.find(r.output), std::string::npos) << done.output;
  }
  // An index the service does not know is its refusal, not vnppctl's.
  try {
    std::uint64_t id = 0;
    a.Proxy()
        .callMethod("Recompute")
        .onInterface(automation::kOperatorInterface)
        .withArguments(std::int32_t{7}, from, to)
        .storeResultsTo(id);
    ADD_FAILURE() << "an unknown index was taken as request " << id;
  } catch (const sdbus::Error& e) {
    EXPECT_EQ(e.getName(), automation::kErrorRefused);
    EXPECT_NE(e.getMessage().find("no group at list position 7"), std::string::npos);
  }
  EXPECT_EQ(rows(), before) << "a refused request wrote";

  const Finished done = Ctl({"recompute", "levels", text(from), text(to)});
  EXPECT_EQ(done.code, 0) << done.output;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      done.output, m,
      std::regex(R"(windows checked (\d+), rows written (\d+), rows deleted 0, failed entries 0)")))
      << done.output;
  const std::map<common::TDateTime, double> after = rows();
  ASSERT_EQ(after.size(), before.size());
  long changed = 0;
  for (const auto& [tag, value] : before) {
    if (after.at(tag) == value) continue;
    ++changed;
    EXPECT_DOUBLE_EQ(after.at(tag), value + 100) << common::FormatDateTimeText(tag);
  }
  // The windows inside the range, and only those (at least the two hours' rows).
  EXPECT_GE(changed, 2);
  EXPECT_EQ(std::to_string(changed), m[2].str());
  EXPECT_GE(std::stol(m[1].str()), changed);

  // The counters of the checks on the bus and in the status.
  std::vector<sdbus::Struct<std::int32_t, std::int64_t, std::int64_t>> recheck;
  a.Proxy().callMethod("GroupsRecheck").onInterface(kStatusInterface).storeResultsTo(recheck);
  ASSERT_EQ(recheck.size(), 2u);
  EXPECT_EQ(recheck[0].get<1>(), std::stol(m[1].str()));
  EXPECT_EQ(recheck[0].get<2>(), changed);
  // A group without a completeness rule has no incomplete windows.
  std::vector<sdbus::Struct<std::int32_t, std::int64_t>> incomplete;
  a.Proxy().callMethod("GroupsIncomplete").onInterface(kStatusInterface).storeResultsTo(incomplete);
  ASSERT_EQ(incomplete.size(), 2u);
  EXPECT_EQ(incomplete[0].get<1>(), 0);
  const std::string status = Ctl({"status"}).output;
  EXPECT_NE(status.find(" CHANGED  INCOMPLETE\n"), std::string::npos) << status;
  EXPECT_TRUE(std::regex_search(status, std::regex("\n1 +Levels .* " + m[1].str() + " +" +
                                                   std::to_string(changed) + " +0\n")))
      << status;
}

// vnppctl talks only to a running service: no verb starts it by bus activation, while a
// plain client's call still does (that is what the activation file is for).
// What the load of the configuration warned about reaches "vnppctl status" too.
TEST_F(AutomationProcessTest, VnppctlStatusShowsTheConfigurationsWarnings) {
  WriteConfig("Levels,Lost", kLevelsAndSpare);
  Start();
  const Finished done = Ctl({"status"});
  EXPECT_EQ(done.code, 0) << done.output;
  EXPECT_NE(done.output.find("Warning: the group \"Lost\" in GroupNames has no section [Lost]"),
            std::string::npos)
      << done.output;
  // The same for scripts: JSON that a parser takes, with every group and the warning.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"status", "--json"}, {"-o", "json", "status"}}) {
    const Finished json = Ctl(args);
    EXPECT_EQ(json.code, 0) << json.output;
    const std::string file = home_ + "/status.json";
    std::ofstream(file) << json.output;
    const std::string check =
        "python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); "
        "assert d[\"processing\"] == \"running\"; "
        "assert [g[\"section\"] for g in d[\"groups\"]] == [\"Levels\", \"Lost\"]; "
        "assert d[\"groups\"][0][\"next_due\"][10] == \"T\"; "
        "assert any(\"[Lost]\" in p for p in d[\"problems\"])' " +
        file;
    EXPECT_EQ(std::system(check.c_str()), 0) << json.output;
  }
  Stop();
  std::filesystem::remove(home_ + "/VNPostProc.VFG");
  Start();
  const Finished missing = Ctl({"status"});
  EXPECT_NE(missing.output.find("Warning: the configuration file " + home_ +
                                "/VNPostProc.VFG does not exist"),
            std::string::npos)
      << missing.output;
}

TEST(VnppctlActivation, NoVerbStartsTheServiceAndNotRunningIsExitThree) {
  char pattern[] = "/tmp/vnpp-activation.XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string marker = dir + "/activated";
  std::ofstream(dir + "/VNPPSvc.VNPostProcCom.service")
      << "[D-BUS Service]\nName=VNPPSvc.VNPostProcCom\nExec=/bin/sh -c 'echo x >> " << marker
      << "; exit 1'\n";  // fails at once: the bus need not wait for the name
  {
    TPrivateBus bus(std::string(), dir);
    VNPP_NEED_BUS(bus);
    const std::map<std::string, std::string> env = {{"DBUS_SESSION_BUS_ADDRESS", bus.Address()},
                                                    {"VNPPSVC_BUS", "session"}};
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"status"},
                                               {"alive"},
                                               {"log-detail"},
                                               {"follow"},
                                               {"log-detail", "2"},
                                               {"run", "1"},
                                               {"cancel"},
                                               {"recompute", "1", "2024-01-01", "2024-01-02"},
                                               {"stop"},
                                               {"start"}}) {
      SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
      std::vector<std::string> argv = {VNPPCTL_EXE};
      argv.insert(argv.end(), args.begin(), args.end());
      const Finished done = RunToEnd(argv, env);
      EXPECT_EQ(done.code, 3) << done.output;
      EXPECT_NE(done.output.find("not running"), std::string::npos) << done.output;
      EXPECT_FALSE(std::filesystem::exists(marker)) << "vnppctl started the service";
    }
    // The same bus activates for a plain client: the check above is not vacuous.
    RunToEnd({"dbus-send", "--bus=" + bus.Address(), "--print-reply", "--reply-timeout=10000",
              "--dest=VNPPSvc.VNPostProcCom", "/VNPPSvc/VNPostProcCom",
              "VNPPSvc.IVNPostProcCom.IsAlive"});
    EXPECT_TRUE(std::filesystem::exists(marker));
  }
  std::filesystem::remove_all(dir);
}

// A client that subscribes to the broadcasts and never reads them holds up neither the
// processing nor the other clients.
TEST_F(AutomationProcessTest, ClientThatNeverReadsStallsNothing) {
  // Five entries of minute windows over the last twelve hours: thousands of messages.
  WriteConfig("Minutes",
              "[Minutes]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=6\r\n"
              "Interval=00:01:00\r\nStartFrom=LAST 12 HOURS\r\nPOLLNumber=5\r\n"
              "POLL1=A.WL\r\nPOLL2=B.WL\r\nPOLL3=C.WL\r\nPOLL4=D.WL\r\nPOLL5=E.WL\r\n",
              2);
  Start();
  auto stuck = sdbus::createSessionBusConnection();
  stuck->addMatch(
      "type='signal',sender='VNPPSvc.VNPostProcCom'", [](sdbus::Message&) {}, sdbus::floating_slot);
  TClient reader;
  for (int i = 0; i < 100 && reader.Get<std::string>("NextPollGroup").empty(); ++i) {
    std::this_thread::sleep_for(20ms);
  }
  reader.Proxy()
      .callMethod("RunProcessGroup")
      .onInterface(kInterface)
      .withArguments(std::int32_t{0});
  // Meanwhile the program answers.
  TClient other;
  std::string alive;
  other.Proxy().callMethod("IsAlive").onInterface(kInterface).storeResultsTo(alive);
  EXPECT_FALSE(alive.empty());
  // The minute group may also run on schedule around the requested run: wait for the report
  // of the run that took the whole backlog.
  auto bigRun = [&] {
    for (const auto& run : reader.runs) {
      if (std::get<1>(run) >= 5 * 719) return true;
    }
    return false;
  };
  ASSERT_TRUE(reader.PumpUntil(bigRun, 90s));
  // The run's report may come before its log lines (they go through the log's queue): wait
  // for the lines themselves, of which the bus carries at most 1000 in 30 s.
  EXPECT_TRUE(reader.PumpUntil([&] { return CountMessages(reader, "Data for ") >= 1000u; }, 30s))
      << CountMessages(reader, "Data for ") << " \"Data for\" lines";
  EXPECT_EQ(Stop(), 0) << output_;
}

// A client that never reads while another relays large items: the bus keeps every signal
// the stuck client has not read on the service's account, and at its limit stops reading
// from the service, so that no client gets an answer any more. Large relays are refused.
TEST_F(AutomationProcessTest, LargeRelaysCannotStallTheServiceBehindAClientThatNeverReads) {
  WriteConfig("Levels,Spare", kLevelsAndSpare);
  Start();
  auto stuck = sdbus::createSessionBusConnection();
  stuck->addMatch(
      "type='signal',sender='VNPPSvc.VNPostProcCom'", [](sdbus::Message&) {}, sdbus::floating_slot);
  TClient relay;
  const std::string megabyte(1024 * 1024, 'x');
  // The bus's default limit is 127 MB: more than enough relays to reach it.
  int refused = 0;
  for (int i = 0; i < 160; ++i) {
    try {
      relay.Proxy()
          .callMethod("SetItemChange")
          .onInterface(kInterface)
          .withTimeout(5s)
          .withArguments(std::string("{R}"), std::string("BLOB"), megabyte);
    } catch (const sdbus::Error& e) {
      if (e.getName() != automation::kErrorTooLarge) {
        ADD_FAILURE() << "relay " << i << ": " << e.getName() << ": " << e.getMessage();
        break;
      }
      ++refused;
    }
  }
  EXPECT_EQ(refused, 160);
  TClient other;
  std::string alive;
  EXPECT_NO_THROW(other.Proxy()
                      .callMethod("IsAlive")
                      .onInterface(kInterface)
                      .withTimeout(5s)
                      .storeResultsTo(alive));
  EXPECT_FALSE(alive.empty());
  EXPECT_EQ(Stop(), 0) << output_;
}

// --- The system bus policy ---------------------------------------------------------------

// Runs vnppctl on the system-like bus as root, or as "nobody".
Finished SystemCtl(const std::string& address, bool asNobody,
                   const std::vector<std::string>& args) {
  std::vector<std::string> argv;
  if (asNobody)
    argv = {"runuser", "-u", "nobody", "--", "env", "DBUS_SYSTEM_BUS_ADDRESS=" + address};
  argv.push_back(VNPPCTL_EXE);
  argv.push_back("--system");
  argv.insert(argv.end(), args.begin(), args.end());
  return RunToEnd(argv, {{"DBUS_SYSTEM_BUS_ADDRESS", address}});
}

TEST(AutomationPolicy, PolicyIsAcceptedAndKeepsTheControlMembersToRootAndTheGroup) {
  {
    TPrivateBus session;
    VNPP_NEED_BUS(session);
  }
  const std::string policy =
      automation::testing::SourceDir() + "/etc/dbus/VNPPSvc.VNPostProcCom.conf";
  const std::string text = ReadText(policy);
  ASSERT_NE(text.find("group=\"vnppsvc\""), std::string::npos);
  const bool canSwitchUser = ::geteuid() == 0 && ::access("/usr/sbin/runuser", X_OK) == 0;

  // The policy as shipped, and a copy naming nobody's group "nogroup" in place of "vnppsvc".
  char pattern[] = "/tmp/vnpp-policy.XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  std::string memberText = text;
  memberText.replace(memberText.find("group=\"vnppsvc\""), 15, "group=\"nogroup\"");
  std::ofstream(dir + "/member.conf") << memberText;

  for (const bool nobodyIsMember : {false, true}) {
    SCOPED_TRACE(nobodyIsMember ? "nobody in the group" : "policy as shipped");
    TPrivateBus bus(nobodyIsMember ? dir + "/member.conf" : policy);
    ASSERT_TRUE(bus.Running()) << "dbus-daemon refused the policy: " << bus.Error() << "\n"
                               << ReadText(bus.Dir() + "/daemon.log");
    if (!canSwitchUser) {
      std::filesystem::remove_all(dir);
      GTEST_SKIP() << "the policy is accepted; checking it needs root and runuser";
    }
    // Only root owns the name.
    const Finished own =
        RunToEnd({"runuser", "-u", "nobody", "--", "dbus-send", "--bus=" + bus.Address(),
                  "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                  "org.freedesktop.DBus.RequestName", "string:VNPPSvc.VNPostProcCom", "uint32:0"});
    EXPECT_NE(own.code, 0) << own.output;
    EXPECT_NE(own.output.find("AccessDenied"), std::string::npos) << own.output;

    char home[] = "/tmp/vnpp-policy-home.XXXXXX";
    ASSERT_NE(::mkdtemp(home), nullptr);
    std::filesystem::create_directory(std::string(home) + "/LogFiles");
    Child service =
        Spawn({VNPPSVC_EXE}, {{"VNPPSVC_HOME", home},
                              {"VNPPSVC_INSTANCE", "vnpp-policy-" + std::to_string(::getpid())},
                              {"VNPPSVC_UNIT_DIR", home},
                              {"VNPPSVC_BUS", "system"},
                              {"DBUS_SYSTEM_BUS_ADDRESS", bus.Address()}});
    ASSERT_GT(service.pid, 0);
    Finished ready;
    for (int i = 0; i < 250 && (ready = SystemCtl(bus.Address(), false, {"alive"})).code != 0;
         ++i) {
      std::this_thread::sleep_for(20ms);
    }
    ASSERT_EQ(ready.code, 0) << ready.output;

    const int control = nobodyIsMember ? 0 : 4;
    const int refused = nobodyIsMember ? 1 : 4;  // a member: there is no group 1
    struct Case {
      std::vector<std::string> args;
      int nobody;
    };
    const Case cases[] = {
        {{"status"}, 0},
        {{"alive"}, 0},
        {{"log-detail"}, 0},
        {{"log-detail", "3"}, control},
        {{"cancel"}, control},
        {{"run", "0"}, control},
        {{"stop"}, control},
        {{"start"}, control},
        {{"recompute", "1", "2024-01-01", "2024-01-02"}, refused},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
      const Finished done = SystemCtl(bus.Address(), true, c.args);
      EXPECT_EQ(done.code, c.nobody) << done.output;
      if (c.nobody == 4) {
        EXPECT_NE(done.output.find("access denied"), std::string::npos);
      }
    }
    EXPECT_EQ(SystemCtl(bus.Address(), false, {"log-detail", "3"}).code, 0);  // root
    EXPECT_EQ(SystemCtl(bus.Address(), false, {"stop"}).code, 0);
    ::kill(service.pid, SIGTERM);
    int status = 0;
    ::waitpid(service.pid, &status, 0);
    EXPECT_EQ(ReadAll(service.out.Get()), "");
    std::filesystem::remove_all(home);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vnpp::integration
