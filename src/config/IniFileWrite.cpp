// TIniFile's writing half: values applied to the file as it is at the moment of the write,
// and the file replaced whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <map>
#include <utility>

#include "common/AtomicFile.h"
#include "common/Error.h"
#include "common/PScan.h"
#include "config/IniFile.h"
#include "config/IniFileShared.h"

namespace vnpp::config {
namespace {

using ini::ErrnoText;
using ini::IsBlank;
using ini::MtimeNs;
using ini::NameKey;
using ini::ReadWhole;

// Symbolic links followed at most, as the kernel does.
constexpr int kMaxLinkHops = 40;

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

}  // namespace

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
  // A file that was there and is gone (moved aside, or being replaced by hand) is not made
  // anew: the file put back would replace it, and every value written to it meanwhile would be
  // lost. The values wait for the file instead.
  if ((disk_.exists || !held_.empty()) && PathMissing()) {
    if (held_.empty() && warningReport_) {
      warningReport_(common::FormatText(
          "Warning: %p is missing; the values written meanwhile are kept and go into "
          "it as soon as it is back.",
          {path_}));
    }
    Hold(values);
    return;
  }
  if (held_.empty()) {
    WriteValues(values);
    return;
  }
  std::vector<TIniValue> all = held_;
  all.insert(all.end(), values.begin(), values.end());
  WriteValues(all);
  held_.clear();
  heldIndex_.clear();
}

bool TIniFile::PathMissing() const {
  struct stat st {};
  return ::stat(path_.c_str(), &st) != 0 && errno == ENOENT;
}

void TIniFile::Hold(const std::vector<TIniValue>& values) {
  for (const TIniValue& v : values) {
    const auto [it, added] =
        heldIndex_.try_emplace(NameKey(v.Section) + "\n" + NameKey(v.Key), held_.size());
    if (added) {
      held_.push_back(v);
    } else {
      held_[it->second].Value = v.Value;
    }
  }
}

void TIniFile::WriteValues(const std::vector<TIniValue>& values) {
  // The values as this accessor last loaded or wrote them: a different one on disk is an
  // edit made under it, whichever earlier write read that edit in.
  const std::vector<std::optional<std::string>> seen = OwnValues(values);
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
    std::string updated = ApplyValues(values, sameLength);
    if (disk_.exists && updated == content_ && expectedBytes == content_) {
      RememberOwn(values);
      return;
    }

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
      RememberOwn(values);
      return;
    }
    // Offsets are unchanged: the values written are read from the new content.
    RememberOwn(values);
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
    current.push_back(entry != nullptr ? std::optional<std::string>(Value(*entry)) : std::nullopt);
  }
  return current;
}

std::vector<std::optional<std::string>> TIniFile::OwnValues(
    const std::vector<TIniValue>& values) const {
  std::vector<std::optional<std::string>> own;
  own.reserve(values.size());
  for (const TIniValue& v : values) {
    std::optional<std::string> value;
    if (const auto s = own_.find(NameKey(v.Section)); s != own_.end()) {
      if (const auto k = s->second.find(NameKey(v.Key)); k != s->second.end()) value = k->second;
    }
    own.push_back(std::move(value));
  }
  return own;
}

void TIniFile::RememberOwn(const std::vector<TIniValue>& values) {
  // As the file now holds them (read back as a read would).
  for (const TIniValue& v : values) {
    if (const KeyEntry* entry = Find(v.Section, v.Key)) {
      own_[NameKey(v.Section)][NameKey(v.Key)] = Value(*entry);
    }
  }
}

void TIniFile::RememberLoaded() {
  own_.clear();
  for (const auto& [sectionName, section] : sections_) {
    auto& own = own_[sectionName];
    own.reserve(section.keys.size());
    for (const auto& [keyName, entry] : section.keys) own[keyName] = Value(entry);
  }
}

std::string TIniFile::ApplyValues(const std::vector<TIniValue>& values, bool& sameLength) {
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
