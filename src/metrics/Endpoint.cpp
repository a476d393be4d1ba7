#include "metrics/Endpoint.h"

#include <prometheus/exposer.h>

#include <exception>
#include <string>
#include <vector>

#include "common/Error.h"
#include "metrics/Metrics.h"

namespace vnpp::metrics {

TMetricsEndpoint::TMetricsEndpoint(const std::string& address, TMetrics& metrics) {
  // Each connection holds a thread until its request is read and answered; one that sends
  // nothing, trickles, or does not read its answer is dropped after the request time-out, and
  // the other threads go on serving scrapes meanwhile.
  try {
    exposer_ = std::make_unique<prometheus::Exposer>(std::vector<std::string>{
        "listening_ports", address, "num_threads", std::to_string(kThreads), "request_timeout_ms",
        std::to_string(kRequestTimeout.count())});
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
