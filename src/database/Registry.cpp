#include "database/Registry.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace vnpp::database {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string NormalizeKey(const std::string& path) {
  size_t begin = 0, end = path.size();
  while (begin < end && path[begin] == '\\') ++begin;
  while (end > begin && path[end - 1] == '\\') --end;
  return Lower(path.substr(begin, end - begin));
}

std::string Trim(const std::string& s) {
  size_t begin = 0, end = s.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(s[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(s[end - 1]))) --end;
  return s.substr(begin, end - begin);
}

void AppendUtf8(std::uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Files exported by the 5.00 editor are UTF-16LE with a byte order mark.
std::string ToUtf8(const std::string& raw) {
  if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
      static_cast<unsigned char>(raw[1]) == 0xFE) {
    std::string out;
    for (size_t i = 2; i + 1 < raw.size(); i += 2) {
      std::uint32_t unit =
          static_cast<unsigned char>(raw[i]) |
          (static_cast<std::uint32_t>(static_cast<unsigned char>(raw[i + 1])) << 8);
      if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < raw.size()) {
        const std::uint32_t low =
            static_cast<unsigned char>(raw[i + 2]) |
            (static_cast<std::uint32_t>(static_cast<unsigned char>(raw[i + 3])) << 8);
        if (low >= 0xDC00 && low < 0xE000) {
          unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          i += 2;
        }
      }
      AppendUtf8(unit, out);
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
  const std::string lower = Lower(data);
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
  std::ifstream in(path, std::ios::binary);
  if (!in) return TRegistryFile();
  std::stringstream buffer;
  buffer << in.rdbuf();
  return Parse(buffer.str());
}

TRegistryFile TRegistryFile::Parse(const std::string& raw) {
  std::stringstream ss(ToUtf8(raw));
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(ss, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Long hex values go on over several lines, each but the last ending in "\".
    if (!lines.empty() && !lines.back().empty() && lines.back().back() == '\\' &&
        Lower(lines.back()).find("=hex") != std::string::npos) {
      lines.back().pop_back();
      lines.back() += Trim(line);
    } else {
      lines.push_back(line);
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
      current->erase(Lower(name));
    } else if (ParseData(data, value)) {
      (*current)[Lower(name)] = value;
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
  const auto value = key->second.find(Lower(name));
  if (value == key->second.end()) return std::nullopt;
  return value->second;
}

}  // namespace vnpp::database
