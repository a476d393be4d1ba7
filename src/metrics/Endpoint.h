// The HTTP endpoint that serves the metrics at /metrics for Prometheus to scrape.
// Thread safety: constructed and destroyed on one thread; scrapes are served on the
// endpoint's own threads.
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace prometheus {
class Exposer;
}

namespace vnpp::metrics {

class TMetrics;

class TMetricsEndpoint {
 public:
  // Listens on address ("127.0.0.1:9479", "[::1]:9479"; port 0 takes a free port) and
  // serves metrics. metrics must outlive this object. Throws common::EPostProcError naming
  // the address when it cannot listen there.
  TMetricsEndpoint(const std::string& address, TMetrics& metrics);
  // Stops listening and waits for the scrapes being served.
  ~TMetricsEndpoint();
  TMetricsEndpoint(const TMetricsEndpoint&) = delete;
  TMetricsEndpoint& operator=(const TMetricsEndpoint&) = delete;

  // The port it listens on.
  int Port() const;

  // Connections served at once, and how long one may take to send its request or to take
  // its answer before it is dropped.
  static constexpr int kThreads = 8;
  static constexpr std::chrono::milliseconds kRequestTimeout{5000};

 private:
  std::unique_ptr<prometheus::Exposer> exposer_;
};

}  // namespace vnpp::metrics
