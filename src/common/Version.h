// The version of the programs and the commit they were built from, for "--version".
#pragma once

#include <string>

namespace vnpp::common {

// "1.0".
const char* Version();
// The source commit of the build ("git describe --always --dirty"), "unknown" outside a clone.
const char* BuildCommit();
// "<program> <version> (commit <commit>)" and LF.
std::string VersionText(const char* program);

}  // namespace vnpp::common
