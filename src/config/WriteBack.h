// Whether the service can write its progress back into the configuration file.
#pragma once

#include <string>

namespace vnpp::config {

// Empty when the account of this process can replace the file at path (a symbolic link is
// followed) the way progress writes do: a new file beside it, given the old one's owner and
// group, renamed over it; also when there is no file. Otherwise one warning naming the file,
// its owner and group, the account of this process and the command that fixes it.
std::string WriteBackProblem(const std::string& path);

}  // namespace vnpp::config
