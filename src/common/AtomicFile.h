// Files written whole: a crash or a kill at any moment leaves the old file (or none) or the
// new one, never a part of it. Also the path helpers their writers share.
// Thread safety: the functions keep no state; two writers of one path must not overlap.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>
#include <string_view>

namespace vnpp::common {

// How the written file takes its final name.
enum class TFinalName {
  Replace,     // renamed over the file at path, if there is one
  CreateOnly,  // linked under path; fails with EEXIST when path exists, which stays untouched
};

// Writes text to "<path>.tmp" (a leftover of an earlier crash is removed first), lets prepare
// set the new file's owner and mode (it returns 0 or an errno), flushes it to disk, gives it
// the name path and flushes the directory. Returns 0, or the errno of the step that failed;
// the temporary file never stays behind. On success *written receives the new file's status.
// beforeRename runs last before the new file takes the name; an errno it returns ends the
// write there, with path untouched.
int WriteFileWhole(const std::string& path, std::string_view text, TFinalName finalName,
                   const std::function<int(int fd)>& prepare = {}, struct stat* written = nullptr,
                   const std::function<int()>& beforeRename = {});

// Removes path and flushes the directory. Returns 0 or the errno of the unlink.
int RemoveFileDurably(const std::string& path);

// Flushes the directory's entries to disk. A failure loses nothing already written, so it is
// not reported.
void SyncDirectory(const std::string& dir);

// The directory part of path ("." for a bare name).
std::string DirectoryOf(const std::string& path);

// Whether path names a directory (symbolic links followed).
bool IsDirectory(const std::string& path);

}  // namespace vnpp::common
