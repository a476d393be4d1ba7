#include "config/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/Error.h"
#include "common/Regional.h"
#include "common/Text.h"
#include "config/PScan.h"

namespace vnpp::config {
namespace {

// A value inside one file-system block is written to disk with that block whole, so a power
// loss leaves it old or new; a value across two blocks could come back half written.
constexpr std::size_t kBlockSize = 4096;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

using common::UpperAscii;
using common::WriteAll;

// The name as the lookup key: without surrounding blanks, in upper case.
std::string NameKey(const std::string& text, std::size_t begin, std::size_t end) {
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  std::string key(text, begin, end - begin);
  for (char& c : key) c = UpperAscii(c);
  return key;
}

std::string NameKey(const std::string& name) { return NameKey(name, 0, name.size()); }

std::int64_t MtimeNs(const struct stat& st) {
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
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

bool TryStrToInt(const std::string& text, std::int32_t& out) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < text.size() && text[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= text.size()) return false;
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    int digit = -1;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    }
    if (digit < 0) return false;
    value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
    if (value > 0xFFFFFFFFull) return false;
  }
  std::int64_t result = 0;
  if (hex) {
    // Hexadecimal spells the 32 bits of the number.
    result = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
  } else {
    if (value > (negative ? 2147483648ull : 2147483647ull)) return false;
    result = static_cast<std::int64_t>(value);
  }
  out = static_cast<std::int32_t>(negative ? -result : result);
  return true;
}

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

TIniFile::~TIniFile() { CloseWriteHandle(); }

void TIniFile::Load() {
  CloseWriteHandle();
  content_.clear();
  disk_ = DiskState{};
  readable_ = true;
  try {
    ReadFromDisk();
  } catch (...) {
    readable_ = false;
    content_.clear();
    Parse();
    throw;
  }
}

void TIniFile::ReadFromDisk() {
  std::string content;
  DiskState state;
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) {
      throw common::EPostProcError("Unable to read " + path_ + ": " + std::strerror(errno));
    }
  } else {
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (ok) {
      state = DiskState{true,        st.st_dev,  st.st_ino, st.st_size,
                        MtimeNs(st), st.st_mode, st.st_uid, st.st_gid};
      char buf[65536];
      for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          ok = n == 0;
          break;
        }
        content.append(buf, static_cast<std::size_t>(n));
      }
    }
    const int err = errno;
    ::close(fd);
    if (!ok) throw common::EPostProcError("Unable to read " + path_ + ": " + std::strerror(err));
    state.size = static_cast<off_t>(content.size());
  }
  content_ = std::move(content);
  disk_ = state;
  Parse();
}

void TIniFile::Parse() {
  sections_.clear();
  eol_.clear();
  const std::string& text = content_;
  const std::size_t n = text.size();
  Section* current = nullptr;
  std::size_t pos = 0;
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
          it->second.value.assign(text, vs, std::min(ve - vs, kMaxValueLength));
          it->second.valueOffset = vs;
          it->second.valueLength = ve - vs;
        }
      }
    }
    pos = next;
  }
  if (eol_.empty()) eol_ = "\n";
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
  return e != nullptr ? e->value : def;
}

std::int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                                   std::int32_t def) const {
  const KeyEntry* e = Find(section, key);
  std::int32_t value = 0;
  return (e != nullptr && TryStrToInt(e->value, value)) ? value : def;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  const KeyEntry* e = Find(section, key);
  std::int32_t value = 0;
  return (e != nullptr && TryStrToInt(e->value, value)) ? value != 0 : def;
}

std::uint8_t TIniFile::ReadByte(const std::string& section, const std::string& key,
                                std::uint8_t def) const {
  const KeyEntry* e = Find(section, key);
  std::int32_t value = 0;
  if (e == nullptr || !TryStrToInt(e->value, value)) return def;
  return static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) & 0xFFu);
}

TDateTime TIniFile::ReadTime(const std::string& section, const std::string& key,
                             TDateTime def) const {
  const KeyEntry* e = Find(section, key);
  if (e == nullptr) return def;
  TDateTime t = 0;
  if (!TryStrToTime(e->value, t)) {
    throw common::EConvertError("'" + e->value + "' is not a valid time");
  }
  return t;
}

TDateTime TIniFile::ReadDateTime(const std::string& section, const std::string& key,
                                 TDateTime def) const {
  const KeyEntry* e = Find(section, key);
  TDateTime t = 0;
  return (e != nullptr && common::TryParseDateTimeText(e->value, t)) ? t : def;
}

void TIniFile::WriteDateTime(const std::string& section, const std::string& key, TDateTime t) {
  WriteString(section, key, common::FormatDateTimeText(t, true));
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  if (!readable_) FailWrite();
  const std::string v = value.substr(0, value.find_first_of("\r\n"));
  try {
    ReloadIfChangedOnDisk();
  } catch (const common::EPostProcError&) {
    FailWrite();
  }

  std::string updated;
  const auto s = sections_.find(NameKey(section));
  if (s != sections_.end()) {
    const auto k = s->second.keys.find(NameKey(key));
    if (k != s->second.keys.end()) {
      KeyEntry& e = k->second;
      if (content_.compare(e.valueOffset, e.valueLength, v) == 0) return;
      const bool oneBlock =
          v.empty() || e.valueOffset / kBlockSize == (e.valueOffset + v.size() - 1) / kBlockSize;
      if (e.valueLength == v.size() && disk_.exists && oneBlock) {
        WriteInPlace(e.valueOffset, v);
        content_.replace(e.valueOffset, v.size(), v);
        e.value = v.substr(0, kMaxValueLength);
        return;
      }
      updated = content_;
      updated.replace(e.valueOffset, e.valueLength, v);
    } else {
      updated = content_;
      updated.insert(s->second.anchor, eol_ + key + "=" + v);
    }
  } else {
    updated = content_;
    if (!updated.empty() && updated.back() != '\n' && updated.back() != '\r') updated += eol_;
    updated += "[" + section + "]" + eol_ + key + "=" + v + eol_;
  }
  ReplaceFile(updated);
  content_ = std::move(updated);
  Parse();
}

void TIniFile::ReloadIfChangedOnDisk() {
  struct stat st {};
  bool same = false;
  if (::stat(path_.c_str(), &st) == 0) {
    same = disk_.exists && st.st_dev == disk_.dev && st.st_ino == disk_.ino &&
           st.st_size == disk_.size && MtimeNs(st) == disk_.mtimeNs;
  } else if (errno == ENOENT) {
    same = !disk_.exists;
  } else {
    throw common::EPostProcError("Unable to stat " + path_);
  }
  if (same) return;
  // Someone else changed the file: take up their version before writing one key into it.
  CloseWriteHandle();
  ReadFromDisk();
}

void TIniFile::WriteInPlace(std::size_t offset, const std::string& bytes) {
  if (writeFd_ < 0) {
    writeFd_ = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat st {};
    if (writeFd_ < 0 || ::fstat(writeFd_, &st) != 0 || st.st_ino != disk_.ino ||
        st.st_dev != disk_.dev) {
      CloseWriteHandle();
      FailWrite();
    }
  }
  ssize_t n = 0;
  do {
    n = ::pwrite(writeFd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  struct stat st {};
  if (n != static_cast<ssize_t>(bytes.size()) || ::fstat(writeFd_, &st) != 0) FailWrite();
  disk_.mtimeNs = MtimeNs(st);
  disk_.size = st.st_size;
}

void TIniFile::ReplaceFile(const std::string& content) {
  const std::string tmp = path_ + ".tmp";
  ::unlink(tmp.c_str());  // a leftover of an earlier crash
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) FailWrite();
  bool ok = true;
  if (disk_.exists) {
    ok = ::fchmod(fd, disk_.mode & 07777) == 0;
    // Keeps the owner when the service runs with the rights to; otherwise it stays ours.
    if (ok && (disk_.uid != ::geteuid() || disk_.gid != ::getegid())) {
      [[maybe_unused]] const int ignored = ::fchown(fd, disk_.uid, disk_.gid);
    }
  }
  ok = ok && WriteAll(fd, content.data(), content.size()) && ::fsync(fd) == 0;
  struct stat st {};
  ok = ok && ::fstat(fd, &st) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::rename(tmp.c_str(), path_.c_str()) != 0) {
    ::unlink(tmp.c_str());
    FailWrite();
  }
  // The rename is on disk once the directory is; a failure here loses nothing already
  // written, so it is not reported.
  const std::size_t slash = path_.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : path_.substr(0, slash + 1);
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  CloseWriteHandle();
  disk_ = DiskState{true,        st.st_dev,  st.st_ino, st.st_size,
                    MtimeNs(st), st.st_mode, st.st_uid, st.st_gid};
}

void TIniFile::CloseWriteHandle() {
  if (writeFd_ >= 0) ::close(writeFd_);
  writeFd_ = -1;
}

void TIniFile::FailWrite() const {
  throw common::EPostProcError(FormatText("Unable to write to %p", {path_}));
}

}  // namespace vnpp::config
