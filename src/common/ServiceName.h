// The service's name: its systemd unit, its syslog and journal identifier, its instance lock.
#pragma once

namespace vnpp::common {

inline constexpr const char* kServiceName = "VNPostProcessor";

}  // namespace vnpp::common
