#include "database/Registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "common/Text.h"

namespace vnpp::database {
namespace {

using common::Trim;

std::string NormalizeKey(const std::string& path) {
  size_t begin = 0, end = path.size();
  while (begin < end && path[begin] == '\\') ++begin;
  while (end > begin && path[end - 1] == '\\') --end;
  return common::LowerAscii(path.substr(begin, end - begin));
}

// The 8-bit byte of a UTF-16 code unit: units up to 0xFF are that byte; the characters of
// Windows-1252 at 0x80 to 0x9F (an export made on a Western Windows machine turns those
// bytes of an 8-bit value into them) give their byte; every other unit, a half of a
// surrogate pair included, gives '?'.
char ByteOfUnit(std::uint16_t unit) {
  if (unit <= 0xFF) return static_cast<char>(unit);
  static constexpr std::uint16_t kWindows1252[32] = {
      0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
  for (std::size_t i = 0; i < 32; ++i) {
    if (kWindows1252[i] == unit) return static_cast<char>(0x80 + i);
  }
  return '?';
}

// Files exported by the 5.00 editor are UTF-16LE with a byte order mark. The values are
// 8-bit texts (the stored credential is raw bytes), so each code unit becomes one byte.
std::string ToEightBit(const std::string& raw) {
  if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
      static_cast<unsigned char>(raw[1]) == 0xFE) {
    std::string out;
    out.reserve(raw.size() / 2);
    for (size_t i = 2; i + 1 < raw.size(); i += 2) {
      out += ByteOfUnit(static_cast<std::uint16_t>(static_cast<unsigned char>(raw[i]) |
                                                   (static_cast<unsigned char>(raw[i + 1]) << 8)));
    }
    return out;
  }
  if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) return raw.substr(3);
  return raw;
}

// Reads a quoted text starting at s[i] == '"' with \\ and \" escapes; i ends after the
// closing quote. False when the quote is not closed.
bool ReadQuoted(const std::string& s, size_t& i, std::string& out) {
  ++i;
  while (i < s.size()) {
    const char c = s[i++];
    if (c == '"') return true;
    if (c == '\\' && i < s.size()) {
      out += s[i++];
    } else {
      out += c;
    }
  }
  return false;
}

bool ParseHexBytes(const std::string& list, std::string& out) {
  std::stringstream ss(list);
  std::string item;
  while (std::getline(ss, item, ',')) {
    item = Trim(item);
    if (item.empty()) continue;
    char* end = nullptr;
    const long value = std::strtol(item.c_str(), &end, 16);
    if (*end != '\0' || value < 0 || value > 255) return false;
    out += static_cast<char>(value);
  }
  return true;
}

// Parses the data after "=". False for a form this reader does not know or a deletion.
bool ParseData(const std::string& data, std::string& out) {
  if (!data.empty() && data[0] == '"') {
    size_t i = 0;
    return ReadQuoted(data, i, out);
  }
  const std::string lower = common::LowerAscii(data);
  if (lower.rfind("hex:", 0) == 0) return ParseHexBytes(data.substr(4), out);
  if (lower.rfind("hex(", 0) == 0) {
    const size_t colon = data.find("):");
    return colon != std::string::npos && ParseHexBytes(data.substr(colon + 2), out);
  }
  if (lower.rfind("dword:", 0) == 0) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(data.c_str() + 6, &end, 16);
    if (*end != '\0') return false;
    out = std::to_string(value);
    return true;
  }
  return false;
}

}  // namespace

std::string TRegistryFile::DefaultPath() {
  const char* env = std::getenv(kRegistryPathVariable);
  return env && *env ? env : kDefaultRegistryPath;
}

TRegistryFile TRegistryFile::Load(const std::string& path) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return TRegistryFile();
  std::string raw;
  std::string failure;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    failure = "is not a regular file";
  } else {
    char buffer[65536];
    while (raw.size() <= kMaxRegistryFileSize) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) failure = "cannot be read";
      if (n <= 0) break;
      raw.append(buffer, static_cast<std::size_t>(n));
    }
    if (raw.size() > kMaxRegistryFileSize) {
      failure = "is larger than " + std::to_string(kMaxRegistryFileSize) + " bytes";
    }
  }
  ::close(fd);
  if (!failure.empty()) throw ERegistryError("The registry file " + path + " " + failure + ".");
  return Parse(raw);
}

TRegistryFile TRegistryFile::Parse(const std::string& raw) {
  std::stringstream ss(ToEightBit(raw));
  std::vector<std::string> lines;
  std::string line;
  bool hexValue = false;  // lines.back() holds a hex value: "\" at its end continues it
  while (std::getline(ss, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Long hex values go on over several lines, each but the last ending in "\".
    if (hexValue && !lines.back().empty() && lines.back().back() == '\\') {
      lines.back().pop_back();
      lines.back() += Trim(line);
    } else {
      hexValue = common::LowerAscii(line).find("=hex") != std::string::npos;
      lines.push_back(std::move(line));
    }
  }

  TRegistryFile file;
  size_t first = 0;
  while (first < lines.size() && Trim(lines[first]).empty()) ++first;
  const std::string header = first < lines.size() ? Trim(lines[first]) : "";
  if (header != "Windows Registry Editor Version 5.00" && header != "REGEDIT4") {
    throw ERegistryError("Not a registry file: the first line is \"" + header + "\"");
  }

  std::map<std::string, std::string>* current = nullptr;
  for (size_t n = first + 1; n < lines.size(); ++n) {
    const std::string text = Trim(lines[n]);
    if (text.empty() || text[0] == ';') continue;
    if (text[0] == '[') {
      const size_t close = text.rfind(']');
      const std::string path =
          text.substr(1, close == std::string::npos ? std::string::npos : close - 1);
      current = path.empty() || path[0] == '-' ? nullptr : &file.keys_[NormalizeKey(path)];
      continue;
    }
    if (!current) continue;
    std::string name;
    size_t i = 0;
    if (text[0] == '@') {
      i = 1;
    } else if (text[0] != '"' || !ReadQuoted(text, i, name)) {
      continue;
    }
    while (i < text.size() && text[i] == ' ') ++i;
    if (i >= text.size() || text[i] != '=') continue;
    const std::string data = Trim(text.substr(i + 1));
    std::string value;
    if (data == "-") {
      current->erase(common::LowerAscii(name));
    } else if (ParseData(data, value)) {
      (*current)[common::LowerAscii(name)] = value;
    }
  }
  return file;
}

bool TRegistryFile::HasKey(const std::string& keyPath) const {
  return keys_.count(NormalizeKey(keyPath)) != 0;
}

std::optional<std::string> TRegistryFile::ReadValue(const std::string& keyPath,
                                                    const std::string& name) const {
  const auto key = keys_.find(NormalizeKey(keyPath));
  if (key == keys_.end()) return std::nullopt;
  const auto value = key->second.find(common::LowerAscii(name));
  if (value == key->second.end()) return std::nullopt;
  return value->second;
}

}  // namespace vnpp::database
