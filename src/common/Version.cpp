#include "common/Version.h"

#ifndef VNPP_VERSION
#define VNPP_VERSION "unknown"
#endif

namespace vnpp::common {

const char* Version() { return VNPP_VERSION; }

std::string VersionText(const char* program) {
  return std::string(program) + " " + Version() + " (commit " + BuildCommit() + ")\n";
}

}  // namespace vnpp::common
