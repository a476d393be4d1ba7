// The configuration file: sections of key=value lines, read once into memory and written
// back whole.
//
// Section and key names match without regard to ASCII letter case and without the blanks
// around them. A value is the text after "=" without surrounding blanks, at most 2047
// characters. Line ends are CR LF, LF or CR alone. Lines starting with ";" are comments. A
// UTF-8 byte-order mark at the start of the file (as Windows editors write it) is skipped,
// and kept by writes. A file whose byte-order mark announces UTF-16 or UTF-32 is refused
// (Load throws naming the encoding): it is neither read nor written.
// Keys before the first section, lines without "=", a repeated section and a repeated key
// are ignored (the first one counts); writes keep them.
//
// Only a regular file of at most 64 MiB is read. Every write succeeds or fails as a whole and
// leaves the file whole, whatever moment the process is killed at: the new content goes to
// "<file>.tmp" beside the real file (a symbolic link is followed to its target, and the link
// stays a link), is flushed to disk and renamed over the real file, which keeps its owner and
// mode. A write therefore needs a writable directory beside the real file and the right to
// give the new file the old one's owner; a file owned by someone else fails to be written
// rather than change hands. Every byte of the file outside the values written stays as it was.
//
// Thread safety: none; one thread uses an accessor at a time.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/DateTime.h"
#include "common/Profile.h"
#include "common/Text.h"
#include "common/UniqueFd.h"

namespace vnpp::config {

using common::TDateTime;

// Maximum length of a value; a longer one is cut.
inline constexpr std::size_t kMaxValueLength = 2047;
// Largest file that is read.
inline constexpr std::size_t kMaxFileSize = 64u * 1024 * 1024;

// One key to set in a batch write.
struct TIniValue {
  std::string Section;
  std::string Key;
  std::string Value;
};

// The integer values of the file (common::TryStrToInt).
using common::TryStrToInt;

// Time of day "hh[:mm[:ss[.zzz]]]" with blanks around the numbers and "AM" or "PM" before
// or after (then the hour is 1 to 12). The regional time and decimal separators are accepted
// beside ":" and ".". False for anything else, also for an empty text.
bool TryStrToTime(const std::string& text, TDateTime& out);

class TIniFile : public common::IProfile {
 public:
  // Does not touch the file; call Load.
  explicit TIniFile(std::string path);
  ~TIniFile() override;
  TIniFile(const TIniFile&) = delete;
  TIniFile& operator=(const TIniFile&) = delete;

  // Reads and parses the whole file. A missing file reads as a file without keys. Throws
  // EPostProcError "Unable to read <file>: <reason>" when the file exists but cannot be read,
  // is no regular file (a directory, a FIFO, a device), is larger than kMaxFileSize or is
  // encoded in UTF-16 or UTF-32 (by its byte-order mark); the
  // accessor then answers every read with its default and refuses writes, so that it never
  // replaces a file it could not read. Never blocks on a FIFO.
  void Load();

  const std::string& FileName() const { return path_; }
  // The file existed when it was last read or written.
  bool Exists() const { return disk_.exists; }
  // The section is in the file (names compared as for keys).
  bool HasSection(const std::string& section) const;

  // Text value or def when the key is absent.
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const override;
  // Integer value (TryStrToInt); def when absent, empty or no number.
  std::int32_t ReadInteger(const std::string& section, const std::string& key,
                           std::int32_t def) const;
  // An integer, 0 = false, any other number = true; def when absent or no number.
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;
  // The low 8 bits of an integer; def when absent or no number.
  std::uint8_t ReadByte(const std::string& section, const std::string& key, std::uint8_t def) const;
  // Time of day (TryStrToTime); def when absent. Throws EConvertError
  // "'<value>' is not a valid time" when the value is empty or unreadable.
  TDateTime ReadTime(const std::string& section, const std::string& key, TDateTime def) const;
  // Date-time in the program's own text form; def when absent, empty or unreadable.
  TDateTime ReadDateTime(const std::string& section, const std::string& key,
                         TDateTime def = 0) const;

  // Sets one key, adding the key (after the section's last key) or the section (at the end)
  // when missing: WriteStrings with one value.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  // Writes t as DateTimeText(t).
  void WriteDateTime(const std::string& section, const std::string& key, TDateTime t);

  // Sets every key of values in one write of the file, in order (a key named twice gets its
  // last value). A missing key is added after its section's last key, a missing section at
  // the end of the file. A value is one line: it is cut at its first CR or LF. Nothing is
  // written when no value changes. Throws EPostProcError "Unable to write to <file>:
  // <reason>" on failure; the file and what reads return then hold none of the values.
  //
  // The keys are applied to the file as it is at the moment of the write, so that an edit
  // made meanwhile by someone else (an operator's editor, lines appended) keeps every byte:
  // the file is read again when its inode, size, modification time or content differ from
  // what was last read or written, and again when it changes while the new file is being
  // written (a file that keeps changing fails the write after 100 attempts).
  // Lines that a writer holding a replaced file (one of the last 8) still appends to it are
  // added at the end of the file by the next write. When an edit changed the value of one of the
  // keys written, the warning report receives one line naming the key and both values.
  // When the file that was read or written last is missing (moved aside, or being replaced by
  // hand), nothing is written and nothing fails: the values are kept (reads do not return
  // them) and written with those of the first write that finds a file at the path again. The
  // warning report receives one line each time the file is found missing.
  void WriteStrings(const std::vector<TIniValue>& values);

  // Where the warnings of WriteStrings go; none until set.
  void SetWarningReport(std::function<void(const std::string&)> report) {
    warningReport_ = std::move(report);
  }

  // The text form of a date-time value: "mm/dd/yyyy hh:nn:ss[.zzz]" with the regional
  // separators, as ReadDateTime reads it.
  static std::string DateTimeText(TDateTime t);

 private:
  // The value is read from content_ when asked for (Value): a copy per key would double what
  // a file of many entries holds in memory.
  struct KeyEntry {
    std::size_t valueOffset = 0;  // bytes of the stored value in content_
    std::size_t valueLength = 0;
  };
  struct Section {
    std::size_t anchor = 0;  // end of the section's last key line (or its header line)
    std::unordered_map<std::string, KeyEntry> keys;  // by upper-case name
  };
  // What the file on disk was when this accessor last read or wrote it.
  struct DiskState {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    std::int64_t mtimeNs = 0;
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
  };

  // WriteStrings on a file at the path, or on none that was there before.
  void WriteValues(const std::vector<TIniValue>& values);
  // The path names nothing (a symbolic link to nothing included).
  bool PathMissing() const;
  // Keeps values for the file that is missing (a key's later value replaces its earlier one).
  void Hold(const std::vector<TIniValue>& values);
  const KeyEntry* Find(const std::string& section, const std::string& key) const;
  // The entry's value as read: its text in content_, at most kMaxValueLength bytes.
  std::string Value(const KeyEntry& entry) const {
    return content_.substr(entry.valueOffset, std::min(entry.valueLength, kMaxValueLength));
  }
  void Parse();
  // Reads the file into content_, disk_ and the parsed sections. Returns the reason of a
  // failure, which leaves them unchanged, or an empty text.
  std::string ReadFromDisk();
  // What was appended to the files that the last writes replaced after they were replaced,
  // and not taken before.
  std::string LateAppends();
  // Adds bytes at the end of content_ and parses it again.
  void AppendToContent(const std::string& bytes);
  // The file at path_ is the one of state and holds bytes.
  bool PathHolds(const DiskState& state, const std::string& bytes) const;
  // Every value of values as now parsed (nullopt for an absent key).
  std::vector<std::optional<std::string>> CurrentValues(const std::vector<TIniValue>& values) const;
  // Every value of values as this accessor last loaded or wrote it (nullopt: neither); a
  // file read again because someone else changed it leaves these as they were.
  std::vector<std::optional<std::string>> OwnValues(const std::vector<TIniValue>& values) const;
  // Records values as written, or (Load) every value of the file as loaded.
  void RememberOwn(const std::vector<TIniValue>& values);
  void RememberLoaded();
  // The file's content with values set. sameLength tells whether only values of unchanged
  // length and without surrounding blanks were replaced (then the parse still holds).
  std::string ApplyValues(const std::vector<TIniValue>& values, bool& sameLength);
  // Replaces the file at target (path_ with symbolic links followed) by content. Returns 0
  // or the errno of the failure, which leaves the file as it was.
  int ReplaceFile(const std::string& target, const std::string& content,
                  const std::function<int()>& beforeRename);
  [[noreturn]] void FailWrite(const std::string& reason) const;

  std::string path_;
  std::string content_;  // the file's bytes as last read or written
  // By NameKey(section) + "\n" + NameKey(key): the values as loaded or last written here, so
  // that an edit is told from the accessor's own values at every later write of its key.
  // Kept by section, then key: a key's name alone is short enough to need no allocation.
  std::unordered_map<std::string, std::unordered_map<std::string, std::string>> own_;
  std::unordered_map<std::string, Section> sections_;  // by upper-case name
  std::string eol_ = "\n";  // line end for added lines: the file's first one
  bool readable_ = true;
  std::string loadError_;  // why Load failed, when !readable_
  DiskState disk_;
  common::UniqueFd readFd_;  // the file content_ was read from (or last written), kept open
  // The files the last writes replaced, newest last, and their bytes taken up so far.
  struct ReplacedFile {
    common::UniqueFd fd;
    std::size_t size = 0;
  };
  static constexpr std::size_t kWatchedFiles = 8;
  std::vector<ReplacedFile> replaced_;
  std::function<void(const std::string&)> warningReport_;
  // Values written while the file was missing, in order, and their index by section and key.
  std::vector<TIniValue> held_;
  std::unordered_map<std::string, std::size_t> heldIndex_;
};

}  // namespace vnpp::config
