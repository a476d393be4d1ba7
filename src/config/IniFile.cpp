#include "config/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "common/Error.h"
#include "common/PScan.h"
#include "common/Regional.h"
#include "common/Text.h"
#include "config/IniFileShared.h"

namespace vnpp::config {
namespace ini {

std::string NameKey(const std::string& text, std::size_t begin, std::size_t end) {
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  std::string key(text, begin, end - begin);
  for (char& c : key) c = common::UpperAscii(c);
  return key;
}

std::string ErrnoText(int err) { return std::strerror(err); }

std::string ReadWhole(int fd, std::string& out) {
  out.clear();
  char buf[65536];
  for (;;) {
    const ssize_t n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(out.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ErrnoText(errno);
    if (n == 0) return {};
    out.append(buf, static_cast<std::size_t>(n));
    if (out.size() > kMaxFileSize) {
      return "larger than " + std::to_string(kMaxFileSize / (1024 * 1024)) + " MiB";
    }
  }
}

}  // namespace ini

namespace {

using common::UpperAscii;
using ini::ErrnoText;
using ini::IsBlank;
using ini::MtimeNs;
using ini::NameKey;
using ini::ReadWhole;

// Why a file whose byte-order mark announces 16- or 32-bit characters is not read: its
// sections and keys would not be found, and a write-back would mix encodings in one file.
std::string UnreadableEncoding(const std::string& content) {
  static const struct {
    std::string_view mark;
    const char* name;
  } kMarks[] = {{std::string_view("\xFF\xFE\0\0", 4), "UTF-32 little-endian"},
                {std::string_view("\0\0\xFE\xFF", 4), "UTF-32 big-endian"},
                {"\xFF\xFE", "UTF-16 little-endian"},
                {"\xFE\xFF", "UTF-16 big-endian"}};
  for (const auto& m : kMarks) {
    if (std::string_view(content).substr(0, m.mark.size()) == m.mark) {
      return std::string("it is encoded as ") + m.name + "; save it as UTF-8 or ANSI text";
    }
  }
  return {};
}

void SkipBlanks(const std::string& text, std::size_t& i) {
  while (i < text.size() && IsBlank(text[i])) ++i;
}

// Unsigned decimal; the value saturates so that range checks still see it too large.
bool ReadDecimal(const std::string& text, std::size_t& i, int& value) {
  const std::size_t start = i;
  value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    if (value < 100000) value = value * 10 + (text[i] - '0');
    ++i;
  }
  return i > start;
}

// "AM" or "PM" at text[i]; sets pm.
bool ReadAmPm(const std::string& text, std::size_t& i, bool& pm) {
  if (i + 1 >= text.size() || UpperAscii(text[i + 1]) != 'M') return false;
  const char c = UpperAscii(text[i]);
  if (c != 'A' && c != 'P') return false;
  pm = c == 'P';
  i += 2;
  return true;
}

}  // namespace

bool TryStrToTime(const std::string& text, TDateTime& out) {
  const common::TRegionalSettings& regional = common::Regional();
  auto isTimeSep = [&](std::size_t i) {
    return i < text.size() && (text[i] == ':' || text[i] == regional.TimeSeparator);
  };
  auto isDecimalSep = [&](std::size_t i) {
    return i < text.size() && (text[i] == '.' || text[i] == regional.DecimalSeparator);
  };

  std::size_t i = 0;
  bool hasAmPm = false;
  bool pm = false;
  SkipBlanks(text, i);
  if (ReadAmPm(text, i, pm)) {
    hasAmPm = true;
    SkipBlanks(text, i);
  }
  int hour = 0, minute = 0, second = 0, msec = 0;
  if (!ReadDecimal(text, i, hour)) return false;
  SkipBlanks(text, i);
  if (isTimeSep(i)) {
    ++i;
    SkipBlanks(text, i);
    if (!ReadDecimal(text, i, minute)) return false;
    SkipBlanks(text, i);
    if (isTimeSep(i)) {
      ++i;
      SkipBlanks(text, i);
      if (!ReadDecimal(text, i, second)) return false;
      SkipBlanks(text, i);
      if (isDecimalSep(i)) {
        ++i;
        SkipBlanks(text, i);
        if (!ReadDecimal(text, i, msec)) return false;
        SkipBlanks(text, i);
      }
    }
  }
  if (!hasAmPm && ReadAmPm(text, i, pm)) {
    hasAmPm = true;
    SkipBlanks(text, i);
  }
  if (i != text.size()) return false;
  if (hasAmPm) {
    if (hour < 1 || hour > 12) return false;
    hour = hour % 12 + (pm ? 12 : 0);
  }
  return common::TryEncodeTime(hour, minute, second, msec, out);
}

TIniFile::TIniFile(std::string path) : path_(std::move(path)) {}

TIniFile::~TIniFile() = default;

void TIniFile::Load() {
  content_.clear();
  disk_ = DiskState{};
  readable_ = true;
  loadError_.clear();
  const std::string reason = ReadFromDisk();
  if (reason.empty()) {
    RememberLoaded();
    return;
  }
  readable_ = false;
  loadError_ = reason;
  Parse();
  throw common::EPostProcError("Unable to read " + path_ + ": " + reason);
}

std::string TIniFile::ReadFromDisk() {
  // A quick look first, so that a device or FIFO is not even opened; the open file is
  // checked again below.
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0) {
    if (errno != ENOENT) return ErrnoText(errno);
    content_.clear();
    disk_ = DiskState{};
    Parse();
    return {};
  }
  if (S_ISDIR(st.st_mode)) return ErrnoText(EISDIR);
  if (!S_ISREG(st.st_mode)) return "not a regular file";

  // O_NONBLOCK: a FIFO put there meanwhile must not block the open.
  common::UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.Valid()) return ErrnoText(errno);
  std::string content;
  std::string reason;
  if (::fstat(fd.Get(), &st) != 0) {
    reason = ErrnoText(errno);
  } else if (S_ISDIR(st.st_mode)) {
    reason = ErrnoText(EISDIR);
  } else if (!S_ISREG(st.st_mode)) {
    reason = "not a regular file";
  } else {
    reason = ReadWhole(fd.Get(), content);
  }
  if (reason.empty()) reason = UnreadableEncoding(content);
  if (!reason.empty()) return reason;
  content_ = std::move(content);
  disk_ = DiskState{true,        st.st_dev,  st.st_ino, static_cast<off_t>(content_.size()),
                    MtimeNs(st), st.st_mode, st.st_uid, st.st_gid};
  readFd_ = std::move(fd);
  Parse();
  return {};
}

void TIniFile::Parse() {
  sections_.clear();
  eol_.clear();
  const std::string& text = content_;
  const std::size_t n = text.size();
  Section* current = nullptr;
  std::size_t pos = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
  while (pos < n) {
    std::size_t end = pos;
    while (end < n && text[end] != '\r' && text[end] != '\n') ++end;
    std::size_t next = end;
    if (next < n && text[next] == '\r') ++next;
    if (next < n && text[next] == '\n' && (next == end || text[end] == '\r')) ++next;
    if (eol_.empty() && next > end) eol_.assign(text, end, next - end);

    std::size_t b = pos;
    while (b < end && IsBlank(text[b])) ++b;
    if (b < end && text[b] == '[') {
      std::size_t close = b + 1;
      while (close < end && text[close] != ']') ++close;
      auto [it, added] = sections_.try_emplace(NameKey(text, b + 1, close));
      current = added ? &it->second : nullptr;  // a repeated section is ignored
      if (current != nullptr) current->anchor = end;
    } else if (b < end && text[b] != ';' && current != nullptr) {
      std::size_t eq = b;
      while (eq < end && text[eq] != '=') ++eq;
      if (eq < end) {
        current->anchor = end;
        std::size_t vs = eq + 1;
        while (vs < end && IsBlank(text[vs])) ++vs;
        std::size_t ve = end;
        while (ve > vs && IsBlank(text[ve - 1])) --ve;
        auto [it, added] = current->keys.try_emplace(NameKey(text, b, eq));
        if (added) {
          it->second.valueOffset = vs;
          it->second.valueLength = ve - vs;
        }
      }
    }
    pos = next;
  }
  if (eol_.empty()) eol_ = "\n";
}

bool TIniFile::HasSection(const std::string& section) const {
  return sections_.count(NameKey(section)) != 0;
}

const TIniFile::KeyEntry* TIniFile::Find(const std::string& section, const std::string& key) const {
  const auto s = sections_.find(NameKey(section));
  if (s == sections_.end()) return nullptr;
  const auto k = s->second.keys.find(NameKey(key));
  return k == s->second.keys.end() ? nullptr : &k->second;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
  const KeyEntry* e = Find(section, key);
  return e != nullptr ? Value(*e) : def;
}

std::int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                                   std::int32_t def) const {
  const KeyEntry* e = Find(section, key);
  std::int32_t value = 0;
  return (e != nullptr && TryStrToInt(Value(*e), value)) ? value : def;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  const KeyEntry* e = Find(section, key);
  std::int32_t value = 0;
  return (e != nullptr && TryStrToInt(Value(*e), value)) ? value != 0 : def;
}

std::uint8_t TIniFile::ReadByte(const std::string& section, const std::string& key,
                                std::uint8_t def) const {
  const KeyEntry* e = Find(section, key);
  std::int32_t value = 0;
  if (e == nullptr || !TryStrToInt(Value(*e), value)) return def;
  return static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) & 0xFFu);
}

TDateTime TIniFile::ReadTime(const std::string& section, const std::string& key,
                             TDateTime def) const {
  const KeyEntry* e = Find(section, key);
  if (e == nullptr) return def;
  TDateTime t = 0;
  const std::string value = Value(*e);
  if (!TryStrToTime(value, t)) {
    throw common::EConvertError("'" + value + "' is not a valid time");
  }
  return t;
}

TDateTime TIniFile::ReadDateTime(const std::string& section, const std::string& key,
                                 TDateTime def) const {
  const KeyEntry* e = Find(section, key);
  TDateTime t = 0;
  return (e != nullptr && common::TryParseDateTimeText(Value(*e), t)) ? t : def;
}

}  // namespace vnpp::config
