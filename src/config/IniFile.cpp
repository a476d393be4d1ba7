#include "config/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <utility>

#include "common/AtomicFile.h"
#include "common/Error.h"
#include "common/PScan.h"
#include "common/Regional.h"
#include "common/Text.h"

namespace vnpp::config {
namespace {

// Symbolic links followed at most, as the kernel does.
constexpr int kMaxLinkHops = 40;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

using common::UpperAscii;

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

std::string ErrnoText(int err) { return std::strerror(err); }

// The bytes of the open file fd from its start into out. Returns the reason of a failure or
// an empty text.
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

// The file that path names once symbolic links at its last component are followed: the one
// to replace so that a link stays a link. A missing file, or a link to one, resolves to the
// name to create. Returns 0 or an errno.
int ResolveFile(const std::string& path, std::string& out) {
  std::string p = path;
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) {
      if (errno != ENOENT) return errno;
      out = p;
      return 0;
    }
    if (!S_ISLNK(st.st_mode)) {
      out = p;
      return 0;
    }
    char target[PATH_MAX];
    const ssize_t n = ::readlink(p.c_str(), target, sizeof target);
    if (n < 0) return errno;
    if (n == 0 || static_cast<std::size_t>(n) >= sizeof target) return ENAMETOOLONG;
    const std::string link(target, static_cast<std::size_t>(n));
    p = link[0] == '/' ? link : common::DirectoryOf(p) + "/" + link;
  }
  return ELOOP;
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
  if (reason.empty()) return;
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

std::string TIniFile::DateTimeText(TDateTime t) { return common::FormatDateTimeText(t, true); }

void TIniFile::WriteDateTime(const std::string& section, const std::string& key, TDateTime t) {
  WriteString(section, key, DateTimeText(t));
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  WriteStrings({TIniValue{section, key, value}});
}

void TIniFile::WriteStrings(const std::vector<TIniValue>& values) {
  if (values.empty()) return;
  if (!readable_) FailWrite(loadError_);
  // The values as this accessor last read or wrote them: a different one on disk is an edit
  // made under it.
  const std::vector<std::optional<std::string>> seen = CurrentValues(values);
  if (!PathHolds(disk_, content_)) {
    if (std::string reason = ReadFromDisk(); !reason.empty()) FailWrite(reason);
  } else if (struct stat st{}; disk_.exists && ::stat(path_.c_str(), &st) == 0) {
    // A change of owner or mode leaves the content alone; the new file takes the new ones.
    disk_.mode = st.st_mode;
    disk_.uid = st.st_uid;
    disk_.gid = st.st_gid;
  }
  // What the path holds; content_ is what the values are applied to. They differ when
  // lines reached a replaced file late.
  DiskState expected = disk_;
  std::string expectedBytes = content_;
  // Bytes appended to replaced files that the file at the path does not hold yet.
  std::string pending = LateAppends();
  AppendToContent(pending);
  // Each retry takes up an edit that came during the write. A file that keeps changing for
  // so many attempts fails the write rather than lose a byte of the edit.
  constexpr int kAttempts = 100;
  for (int attempt = 1;; ++attempt) {
    std::vector<std::string> warnings;
    const std::vector<std::optional<std::string>> onDisk = CurrentValues(values);
    for (std::size_t i = 0; i < values.size(); ++i) {
      const std::string value = values[i].Value.substr(0, values[i].Value.find_first_of("\r\n"));
      if (onDisk[i] != seen[i] && onDisk[i] && *onDisk[i] != value) {
        warnings.push_back(common::FormatText(
            "Warning: %p in [%p] of %p was changed to \"%p\" while the service ran; the service "
            "wrote \"%p\" over it. Edit progress keys while processing is stopped.",
            {values[i].Key, values[i].Section, path_, *onDisk[i], value}));
      }
    }
    bool sameLength = false;
    std::vector<KeyEntry*> replaced;
    std::string updated = ApplyValues(values, sameLength, replaced);
    if (disk_.exists && updated == content_ && expectedBytes == content_) return;

    std::string target;
    int err = ResolveFile(path_, target);
    if (err == 0) {
      err = ReplaceFile(target, updated,
                        [&] { return PathHolds(expected, expectedBytes) ? 0 : EAGAIN; });
    }
    if (err == EAGAIN && attempt < kAttempts) {
      // Changed while the new file was written: apply the values to the file as it is now.
      if (std::string reason = ReadFromDisk(); !reason.empty()) FailWrite(reason);
      expected = disk_;
      expectedBytes = content_;
      pending += LateAppends();
      AppendToContent(pending);
      continue;
    }
    if (err == EAGAIN) FailWrite("the file kept changing while it was written");
    if (err != 0) FailWrite(ErrnoText(err));
    for (const std::string& warning : warnings) {
      if (warningReport_) warningReport_(warning);
    }
    // A writer that opened the old file before the rename may still append to it; that file
    // is watched until the next write, which takes such lines up.
    if (readFd_.Valid()) {
      if (replaced_.size() == kWatchedFiles) replaced_.erase(replaced_.begin());
      replaced_.push_back(ReplacedFile{std::move(readFd_), expectedBytes.size()});
    }
    readFd_.Reset(::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    content_ = std::move(updated);
    expected = disk_;  // ReplaceFile's new file
    expectedBytes = content_;
    pending = LateAppends();
    if (!pending.empty()) {
      AppendToContent(pending);
      continue;
    }
    if (!sameLength) {
      Parse();
      return;
    }
    // Offsets are unchanged: only the values written need taking up.
    for (KeyEntry* entry : replaced) {
      entry->value.assign(content_, entry->valueOffset,
                          std::min(entry->valueLength, kMaxValueLength));
    }
    return;
  }
}

std::string TIniFile::LateAppends() {
  std::string late;
  for (ReplacedFile& file : replaced_) {
    struct stat st {};
    if (::fstat(file.fd.Get(), &st) != 0 || static_cast<std::size_t>(st.st_size) <= file.size) {
      continue;
    }
    std::string now;
    if (!ReadWhole(file.fd.Get(), now).empty() || now.size() <= file.size) continue;
    late.append(now, file.size, std::string::npos);
    file.size = now.size();
  }
  return late;
}

void TIniFile::AppendToContent(const std::string& bytes) {
  if (bytes.empty()) return;
  content_ += bytes;
  Parse();
}

std::vector<std::optional<std::string>> TIniFile::CurrentValues(
    const std::vector<TIniValue>& values) const {
  std::vector<std::optional<std::string>> current;
  current.reserve(values.size());
  for (const TIniValue& v : values) {
    const KeyEntry* entry = Find(v.Section, v.Key);
    current.push_back(entry != nullptr ? std::optional<std::string>(entry->value) : std::nullopt);
  }
  return current;
}

std::string TIniFile::ApplyValues(const std::vector<TIniValue>& values, bool& sameLength,
                                  std::vector<KeyEntry*>& replacedEntries) {
  // One replacement of a stored value, or lines inserted after a section's last key.
  struct Edit {
    std::size_t offset;
    std::size_t length;
    int kind;  // 0 = replacement, 1 = insertion; a replacement ends where an insertion starts
    std::string text;
  };
  struct AddedKey {
    std::string name;
    std::string value;
  };
  struct AddedKeys {
    std::string sectionName;  // as first written, for a new section
    std::vector<AddedKey> keys;
    std::unordered_map<std::string, std::size_t> index;  // upper-case key -> keys
  };
  auto addKey = [](AddedKeys& added, const std::string& key, std::string value) {
    const auto [it, isNew] = added.index.try_emplace(NameKey(key), added.keys.size());
    if (isNew) {
      added.keys.push_back(AddedKey{key, std::move(value)});
    } else {
      added.keys[it->second].value = std::move(value);
    }
  };

  // Value offset (which names the key: every key has its own line) -> stored length and new
  // value.
  std::map<std::size_t, std::pair<std::size_t, std::string>> replaced;
  std::map<std::size_t, AddedKeys> addedToSections;              // anchor -> keys
  std::vector<AddedKeys> newSections;                            // in order of first write
  std::unordered_map<std::string, std::size_t> newSectionIndex;  // upper-case name
  for (const TIniValue& v : values) {
    std::string value = v.Value.substr(0, v.Value.find_first_of("\r\n"));
    const std::string sectionKey = NameKey(v.Section);
    const auto s = sections_.find(sectionKey);
    if (s == sections_.end()) {
      const auto [it, isNew] = newSectionIndex.try_emplace(sectionKey, newSections.size());
      if (isNew) newSections.push_back(AddedKeys{v.Section, {}, {}});
      addKey(newSections[it->second], v.Key, std::move(value));
      continue;
    }
    const auto k = s->second.keys.find(NameKey(v.Key));
    if (k != s->second.keys.end()) {
      replaced[k->second.valueOffset] = {k->second.valueLength, std::move(value)};
      replacedEntries.push_back(&k->second);
    } else {
      addKey(addedToSections[s->second.anchor], v.Key, std::move(value));
    }
  }

  std::vector<Edit> edits;
  sameLength = addedToSections.empty() && newSections.empty();
  for (auto& [offset, replacement] : replaced) {
    auto& [length, value] = replacement;
    // A value with blanks around it reads back without them: the parse must be redone.
    if (value.size() != length ||
        (!value.empty() && (IsBlank(value.front()) || IsBlank(value.back())))) {
      sameLength = false;
    }
    edits.push_back(Edit{offset, length, 0, std::move(value)});
  }
  for (auto& [anchor, added] : addedToSections) {
    std::string text;
    for (const AddedKey& key : added.keys) text += eol_ + key.name + "=" + key.value;
    edits.push_back(Edit{anchor, 0, 1, std::move(text)});
  }
  std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) {
    return a.offset != b.offset ? a.offset < b.offset : a.kind < b.kind;
  });

  std::string updated;
  updated.reserve(content_.size() + 64);
  std::size_t pos = 0;
  for (const Edit& e : edits) {
    updated.append(content_, pos, e.offset - pos);
    updated += e.text;
    pos = e.offset + e.length;
  }
  updated.append(content_, pos, std::string::npos);
  for (const AddedKeys& section : newSections) {
    if (!updated.empty() && updated.back() != '\n' && updated.back() != '\r') updated += eol_;
    updated += "[" + section.sectionName + "]" + eol_;
    for (const AddedKey& key : section.keys) updated += key.name + "=" + key.value + eol_;
  }
  return updated;
}

bool TIniFile::PathHolds(const DiskState& state, const std::string& bytes) const {
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0) return errno == ENOENT && !state.exists;
  if (!state.exists || st.st_dev != state.dev || st.st_ino != state.ino ||
      st.st_size != state.size || MtimeNs(st) != state.mtimeNs || !S_ISREG(st.st_mode)) {
    return false;
  }
  // Same status: an edit within the clock's resolution that kept the size shows only in the
  // bytes.
  const common::UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  std::string now;
  return fd.Valid() && ReadWhole(fd.Get(), now).empty() && now == bytes;
}

int TIniFile::ReplaceFile(const std::string& target, const std::string& content,
                          const std::function<int()>& beforeRename) {
  struct stat st {};
  const int err = common::WriteFileWhole(
      target, content, common::TFinalName::Replace,
      [this](int fd) {
        if (!disk_.exists) return 0;
        struct stat now {};
        if (::fstat(fd, &now) != 0) return errno;
        // Owner first: changing it may clear set-id bits that fchmod then puts back.
        if ((now.st_uid != disk_.uid || now.st_gid != disk_.gid) &&
            ::fchown(fd, disk_.uid, disk_.gid) != 0) {
          return errno;
        }
        return ::fchmod(fd, disk_.mode & 07777) != 0 ? errno : 0;
      },
      &st, beforeRename);
  if (err != 0) return err;
  disk_ = DiskState{true,        st.st_dev,  st.st_ino, st.st_size,
                    MtimeNs(st), st.st_mode, st.st_uid, st.st_gid};
  return 0;
}

void TIniFile::FailWrite(const std::string& reason) const {
  throw common::EPostProcError(common::FormatText("Unable to write to %p: %p", {path_, reason}));
}

}  // namespace vnpp::config
