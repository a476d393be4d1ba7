#include "common/AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/Text.h"
#include "common/UniqueFd.h"

namespace vnpp::common {

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void SyncDirectory(const std::string& dir) {
  const UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.Valid()) ::fsync(fd.Get());
}

int WriteFileWhole(const std::string& path, std::string_view text, TFinalName finalName,
                   const std::function<int(int fd)>& prepare, struct stat* written,
                   const std::function<int()>& beforeRename) {
  const std::string tmp = path + ".tmp";
  ::unlink(tmp.c_str());  // a leftover of an earlier crash
  UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
  if (!fd.Valid()) return errno;
  int err = prepare ? prepare(fd.Get()) : 0;
  if (err == 0 && !WriteAll(fd.Get(), text.data(), text.size())) err = errno;
  if (err == 0 && ::fsync(fd.Get()) != 0) err = errno;
  struct stat st {};
  if (err == 0 && ::fstat(fd.Get(), &st) != 0) err = errno;
  if (::close(fd.Release()) != 0 && err == 0) err = errno;
  if (err == 0 && beforeRename) err = beforeRename();
  if (err == 0) {
    if (finalName == TFinalName::Replace) {
      if (::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
    } else if (::link(tmp.c_str(), path.c_str()) != 0) {
      err = errno;
    } else {
      ::unlink(tmp.c_str());
    }
  }
  if (err != 0) {
    ::unlink(tmp.c_str());
    return err;
  }
  SyncDirectory(DirectoryOf(path));
  if (written != nullptr) *written = st;
  return 0;
}

int RemoveFileDurably(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return errno;
  SyncDirectory(DirectoryOf(path));
  return 0;
}

}  // namespace vnpp::common
