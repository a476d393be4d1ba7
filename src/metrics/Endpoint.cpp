#include "metrics/Endpoint.h"

#include <prometheus/exposer.h>

#include <exception>

#include "common/Error.h"
#include "metrics/Metrics.h"

namespace vnpp::metrics {

TMetricsEndpoint::TMetricsEndpoint(const std::string& address, TMetrics& metrics) {
  // Two threads: one scrape that stalls (a client that does not read) leaves one for
  // Prometheus.
  try {
    exposer_ = std::make_unique<prometheus::Exposer>(
        std::vector<std::string>{"listening_ports", address, "num_threads", "2"});
  } catch (const std::exception&) {
    // The server's own text says no more than this.
    throw common::EPostProcError("The metrics endpoint cannot listen on \"" + address +
                                 "\" (MetricsAddress): the address is not valid or in use.");
  }
  exposer_->RegisterCollectable(metrics.Collectable());
}

TMetricsEndpoint::~TMetricsEndpoint() = default;

int TMetricsEndpoint::Port() const {
  const std::vector<int> ports = exposer_->GetListeningPorts();
  return ports.empty() ? 0 : ports.front();
}

}  // namespace vnpp::metrics
