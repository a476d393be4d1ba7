// What the reading and the writing half of TIniFile share; for src/config/IniFile*.cpp only.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace vnpp::config::ini {

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The name as the lookup key: without surrounding blanks, in upper case.
std::string NameKey(const std::string& text, std::size_t begin, std::size_t end);
inline std::string NameKey(const std::string& name) { return NameKey(name, 0, name.size()); }

inline std::int64_t MtimeNs(const struct stat& st) {
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

std::string ErrnoText(int err);

// The bytes of the open file fd from its start into out. Returns the reason of a failure or
// an empty text.
std::string ReadWhole(int fd, std::string& out);

}  // namespace vnpp::config::ini
