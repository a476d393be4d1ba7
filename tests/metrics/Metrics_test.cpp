#include "metrics/Metrics.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/Error.h"
#include "metrics/Endpoint.h"

namespace vnpp::metrics {
namespace {

common::TDateTime At(int y, int mo, int d, int h = 0, int mi = 0) {
  return common::EncodeDateTime(y, mo, d, h, mi, 0);
}

bool Has(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos;
}

processing::TGroupRunReport Report(const std::string& group, std::int64_t windows,
                                   std::int64_t rows, std::int64_t failed, std::int64_t dbErrors,
                                   double seconds = 0) {
  processing::TGroupRunReport r;
  r.SectionName = group;
  r.FuncName = "AVG";
  r.Windows = windows;
  r.Rows = rows;
  r.FailedEntries = failed;
  r.DatabaseErrors = dbErrors;
  r.Seconds = seconds;
  return r;
}

TEST(Metrics, ExposesRunsGroupsAndLogInTheTextFormat) {
  common::FakeClock clock(At(2024, 3, 15, 10, 30));
  common::ScopedClockOverride clockOverride(clock);
  TProcessingView view;
  view.Running = true;
  view.Groups = {
      {0, "Levels", true, "AVG", At(2024, 3, 15, 11, 5), At(2024, 3, 15, 9), 0, 0, 1.0 / 24},
      // Disabled: counters, but neither lag nor schedule.
      {1, "Old", false, "MAX", 0, At(2024, 1, 1), 0, 0, 0},
      // Enabled without entries: no progress to lag behind.
      {2, "Empty", true, "MIN", At(2024, 3, 15, 11, 5), 0, 0, 0, 1.0 / 24},
  };
  TMetrics metrics([&] { return view; });

  // Progress during two runs of Levels adds up; a stopped run's counts count too.
  metrics.RunProgress(Report("Levels", 2000, 1500, 0, 0));
  processing::TGroupRunReport rechecked = Report("Levels", 10, 8, 1, 2);
  rechecked.ChangedRows = 7;        // rows a check over stored rows changed
  rechecked.IncompleteWindows = 3;  // windows the completeness rule found incomplete
  metrics.RunProgress(rechecked);
  metrics.RunFinished(Report("Levels", 2010, 1508, 1, 2, 0.25));
  metrics.RunProgress(Report("Levels", 0, 0, 1, 1));
  metrics.RunFinished(Report("Levels", 0, 0, 1, 1, 2));
  metrics.LogMessage(3);
  metrics.LogMessage(3);
  metrics.LogMessage(4);
  metrics.LogMessage(6);

  std::string text = metrics.Text();
  const std::string levels = "{group=\"Levels\",function=\"AVG\"}";
  for (
      const char* line : {
          "vnppsvc_processing_running 1",
          "vnppsvc_log_messages_total{level=\"error\"} 2",
          "vnppsvc_log_messages_total{level=\"warning\"} 1",
          "vnppsvc_log_messages_total{level=\"info\"} 1",
          "vnppsvc_windows_computed_total{group=\"Levels\",function=\"AVG\"} 2010",
          "vnppsvc_rows_written_total{group=\"Levels\",function=\"AVG\"} 1508",
          "vnppsvc_entry_failures_total{group=\"Levels\",function=\"AVG\"} 2",
          "vnppsvc_database_errors_total{group=\"Levels\",function=\"AVG\"} 3",
          "vnppsvc_recheck_rows_changed_total{group=\"Levels\",function=\"AVG\"} 7",
          "vnppsvc_windows_incomplete_total{group=\"Levels\",function=\"AVG\"} 3",
          "vnppsvc_windows_incomplete_total{group=\"Old\",function=\"MAX\"} 0",
          "vnppsvc_windows_computed_total{group=\"Old\",function=\"MAX\"} 0",
          "vnppsvc_group_lag_seconds{group=\"Levels\",function=\"AVG\"} 5400",
          "vnppsvc_group_period_seconds{group=\"Levels\",function=\"AVG\"} 3600",
          "vnppsvc_group_consecutive_failed_runs{group=\"Levels\",function=\"AVG\"} 2",
          // 0.25 s and 2 s: the first from 0.5 s on, the second from 5 s on.
          "vnppsvc_group_run_duration_seconds_bucket{group=\"Levels\",function=\"AVG\",le=\"0.1\"} "
          "0",
          "vnppsvc_group_run_duration_seconds_bucket{group=\"Levels\",function=\"AVG\",le=\"0.5\"} "
          "1",
          "vnppsvc_group_run_duration_seconds_bucket{group=\"Levels\",function=\"AVG\",le=\"1\"} 1",
          "vnppsvc_group_run_duration_seconds_bucket{group=\"Levels\",function=\"AVG\",le=\"5\"} 2",
          "vnppsvc_group_run_duration_seconds_bucket{group=\"Levels\",function=\"AVG\",le=\"+Inf\"}"
          " 2",
          "vnppsvc_group_run_duration_seconds_count{group=\"Levels\",function=\"AVG\"} 2",
          "vnppsvc_group_run_duration_seconds_sum{group=\"Levels\",function=\"AVG\"} 2.25",
      }) {
    EXPECT_TRUE(Has(text, line)) << line << "\n" << text;
  }
  EXPECT_TRUE(Has(text, "vnppsvc_build_info{version=\"" VNPP_VERSION "\"} 1")) << text;
  EXPECT_TRUE(
      Has(text, "vnppsvc_group_next_run_timestamp_seconds" + levels + " " +
                    std::to_string(static_cast<long long>(UnixSeconds(At(2024, 3, 15, 11, 5))))));
  for (const char* absent :
       {"vnppsvc_group_lag_seconds{group=\"Old\"", "vnppsvc_group_lag_seconds{group=\"Empty\"",
        "vnppsvc_group_next_run_timestamp_seconds{group=\"Old\"",
        "vnppsvc_group_last_success_timestamp_seconds{"}) {
    EXPECT_EQ(text.find(absent), std::string::npos) << absent;
  }

  // A clean run ends the failures in a row and is the last success, at its end.
  processing::TGroupRunReport clean = Report("Levels", 1, 1, 0, 0, 0.2);
  clean.End = At(2024, 3, 15, 11, 6);
  metrics.RunFinished(clean);
  clock.Set(At(2024, 3, 15, 12, 0));
  text = metrics.Text();
  EXPECT_TRUE(Has(text, "vnppsvc_group_consecutive_failed_runs" + levels + " 0"));
  EXPECT_TRUE(
      Has(text, "vnppsvc_group_last_success_timestamp_seconds" + levels + " " +
                    std::to_string(static_cast<long long>(UnixSeconds(At(2024, 3, 15, 11, 6))))));
  EXPECT_TRUE(Has(text, "vnppsvc_group_lag_seconds" + levels + " 10800"));
  // The local date-time maps to Unix time as the C library's local time does.
  std::tm tm{};
  tm.tm_year = 124;
  tm.tm_mon = 2;
  tm.tm_mday = 15;
  tm.tm_hour = 11;
  tm.tm_min = 6;
  tm.tm_isdst = -1;
  EXPECT_EQ(UnixSeconds(At(2024, 3, 15, 11, 6)), static_cast<double>(std::mktime(&tm)));
}

// The dashboard and the alert rules name only series the service exports.
TEST(Metrics, DashboardAndRulesNameOnlyExportedSeries) {
  TProcessingView view;
  view.Groups = {{0, "Levels", true, "AVG", 45366.5, 45366.4, 0, 0, 1.0 / 24}};
  TMetrics metrics([&] { return view; });
  processing::TGroupRunReport clean = Report("Levels", 1, 1, 0, 0, 0.2);
  metrics.RunFinished(clean);  // so that every family has a series
  std::set<std::string> exported;
  std::istringstream text(metrics.Text());
  for (std::string line; std::getline(text, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, std::regex("# TYPE (vnppsvc_\\w+) (\\w+)"))) continue;
    exported.insert(m[1]);
    if (m[2] == "histogram") {
      for (const char* suffix : {"_bucket", "_sum", "_count"}) exported.insert(m[1].str() + suffix);
    }
  }
  ASSERT_GE(exported.size(), 14u);
  const char* source = std::getenv("VNPP_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  for (const char* file :
       {"/etc/grafana/vnppsvc-dashboard.json", "/etc/prometheus/vnppsvc-rules.yml"}) {
    std::ifstream in(std::string(source) + file);
    ASSERT_TRUE(in) << file;
    const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::regex name("vnppsvc_[a-z_]+");
    int names = 0;
    for (auto it = std::sregex_iterator(body.begin(), body.end(), name);
         it != std::sregex_iterator(); ++it, ++names) {
      EXPECT_EQ(exported.count(it->str()), 1u) << file << " names " << it->str();
    }
    EXPECT_GT(names, 3) << file;
  }
}

// A client of the endpoint on loopback.
class TClient {
 public:
  explicit TClient(int port, int receiveBuffer = 0) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    if (receiveBuffer > 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~TClient() { ::close(fd_); }
  bool Send(const std::string& request) {
    return connected_ && ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) ==
                             static_cast<ssize_t>(request.size());
  }
  // True once the answer has begun to arrive (nothing is taken from the socket).
  bool AnswerStarted(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1;
  }
  std::string ReadAll() {
    std::string out;
    char buf[65536];
    for (ssize_t n; (n = ::recv(fd_, buf, sizeof buf, 0)) > 0;) out.append(buf, buf + n);
    return out;
  }

 private:
  int fd_;
  bool connected_ = false;
};

std::string Scrape(int port) {
  TClient c(port);
  c.Send("GET /metrics HTTP/1.0\r\n\r\n");
  return c.ReadAll();
}

TEST(MetricsEndpoint, ServesScrapesAndRefusesAnAddressItCannotListenOn) {
  TMetrics metrics([] { return TProcessingView{}; });
  TMetricsEndpoint endpoint("127.0.0.1:0", metrics);
  ASSERT_GT(endpoint.Port(), 0);
  metrics.LogMessage(3);
  const std::string answer = Scrape(endpoint.Port());
  EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
  EXPECT_NE(answer.find("\nvnppsvc_log_messages_total{level=\"error\"} 1\n"), std::string::npos);

  // Connections that send nothing or half a request do not keep scrapes from being answered.
  std::vector<std::unique_ptr<TClient>> idle;
  for (int i = 0; i < 3; ++i) idle.push_back(std::make_unique<TClient>(endpoint.Port()));
  ASSERT_TRUE(idle.back()->Send("GET /metr"));
  TClient scrape(endpoint.Port());
  ASSERT_TRUE(scrape.Send("GET /metrics HTTP/1.0\r\n\r\n"));
  EXPECT_TRUE(scrape.AnswerStarted(2000));

  const std::string taken = "127.0.0.1:" + std::to_string(endpoint.Port());
  for (const std::string& address : {taken, std::string("not an address")}) {
    try {
      TMetricsEndpoint second(address, metrics);
      ADD_FAILURE() << "listening on " << address;
    } catch (const common::EPostProcError& e) {
      EXPECT_NE(std::string(e.what()).find("\"" + address + "\""), std::string::npos) << e.what();
    }
  }
}

// Scrapers that never read their answer hold every thread of the endpoint while the answer
// is being sent; the processing thread's and the log's recording must go on regardless.
TEST(MetricsEndpoint, StalledScrapersNeverHoldUpRecording) {
  TProcessingView view;
  for (int i = 0; i < 3000; ++i) {  // an answer of some megabytes, more than socket buffers
    view.Groups.push_back({i, "Group " + std::to_string(i), true, "AVG", 0, 0, 0, 0, 1.0 / 24});
  }
  TMetrics metrics([&] { return view; });
  TMetricsEndpoint endpoint("127.0.0.1:0", metrics);
  std::vector<std::unique_ptr<TClient>> stalled;
  for (int i = 0; i < TMetricsEndpoint::kThreads + 2; ++i) {  // more than its threads
    stalled.push_back(std::make_unique<TClient>(endpoint.Port(), 4096));
    ASSERT_TRUE(stalled.back()->Send("GET /metrics HTTP/1.0\r\n\r\n"));
  }
  // The first two are being answered: the collection is over, the sending is stuck.
  ASSERT_TRUE(stalled[0]->AnswerStarted(30000));
  ASSERT_TRUE(stalled[1]->AnswerStarted(30000));

  auto recording = std::async(std::launch::async, [&] {
    for (int i = 0; i < 100000; ++i) {
      metrics.RunProgress(Report("Group " + std::to_string(i % 3000), 1, 1, 0, 0));
      if (i % 100 == 0) metrics.RunFinished(Report("Group 7", 0, 0, 0, 0, 0.01));
      metrics.LogMessage(6);
    }
  });
  // Not a speed limit: a recording call that waited for a stalled scraper would never end.
  ASSERT_EQ(recording.wait_for(std::chrono::seconds(60)), std::future_status::ready);

  stalled.clear();  // the scrapers go away; the endpoint serves again
  const std::string answer = Scrape(endpoint.Port());
  EXPECT_NE(answer.find("\nvnppsvc_log_messages_total{level=\"info\"} 100000\n"),
            std::string::npos);
}

}  // namespace
}  // namespace vnpp::metrics
