#include "automation/Registration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "automation/EmbeddedFiles.h"
#include "common/Text.h"

namespace vnpp::automation {
namespace {

struct TBusFile {
  const char* relativePath;
  const char* const* content;
};

const TBusFile kFiles[] = {
    {kPolicyPath, &kPolicyConf},
    {kActivationPath, &kActivationService},
    {kInterfacePath, &kInterfaceXml},
};

std::string Reason() { return std::strerror(errno); }

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Writes text to path so that a crash at any moment leaves the old file or the new one.
// Returns an empty text, or the reason of the failure.
std::string ReplaceFile(const std::string& path, const std::string& text) {
  const std::string dir = DirectoryOf(path);
  const std::string tmp = path + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) return "cannot create " + tmp + ": " + Reason();
  bool ok =
      common::WriteAll(fd, text.data(), text.size()) && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
  std::string reason = ok ? std::string() : "cannot write " + tmp + ": " + Reason();
  if (::close(fd) != 0 && ok) {
    ok = false;
    reason = "cannot write " + tmp + ": " + Reason();
  }
  if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    reason = "cannot rename " + tmp + " to " + path + ": " + Reason();
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    return reason;
  }
  // The rename is durable once the directory is.
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return std::string();
}

std::string RemoveFile(const std::string& path, bool* removed) {
  *removed = false;
  if (::unlink(path.c_str()) == 0) {
    *removed = true;
    const int dfd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      ::fsync(dfd);
      ::close(dfd);
    }
    return std::string();
  }
  if (errno == ENOENT) return std::string();
  return "cannot remove " + path + ": " + Reason();
}

}  // namespace

std::string DbusDataDirectory() {
  const char* env = std::getenv("VNPPSVC_DBUS_DIR");
  std::string dir = env != nullptr && *env != '\0' ? env : "/usr/share/dbus-1";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

int RunRegServer(bool install, std::ostream& out, std::ostream& err) {
  const std::string base = DbusDataDirectory();
  if (!IsDirectory(base)) {
    err << "VNPPSvc: " << base
        << " is not a directory (is D-Bus installed? VNPPSVC_DBUS_DIR names another)\n";
    return 1;
  }
  int status = 0;
  for (const TBusFile& file : kFiles) {
    const std::string path = base + "/" + file.relativePath;
    std::string failure;
    if (install) {
      const std::string dir = DirectoryOf(path);
      if (!IsDirectory(dir) && ::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        failure = "cannot create " + dir + ": " + Reason();
      } else {
        failure = ReplaceFile(path, *file.content);
      }
      if (failure.empty()) out << "Installed " << path << "\n";
    } else {
      bool removed = false;
      failure = RemoveFile(path, &removed);
      if (failure.empty()) out << (removed ? "Removed " : "Not installed: ") << path << "\n";
    }
    if (!failure.empty()) {
      err << "VNPPSvc: " << failure << "\n";
      status = 1;
    }
  }
  return status;
}

}  // namespace vnpp::automation
