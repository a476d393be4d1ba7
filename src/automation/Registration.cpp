#include "automation/Registration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "automation/EmbeddedFiles.h"
#include "common/AtomicFile.h"
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

// Writes text to path so that a crash at any moment leaves the old file or the new one.
// Returns an empty text, or the reason of the failure.
std::string ReplaceFile(const std::string& path, const std::string& text) {
  const int err = common::WriteFileWhole(path, text, common::TFinalName::Replace, [](int fd) {
    return ::fchmod(fd, 0644) != 0 ? errno : 0;
  });
  return err == 0 ? std::string() : "cannot write " + path + ": " + std::strerror(err);
}

std::string RemoveFile(const std::string& path, bool* removed) {
  const int err = common::RemoveFileDurably(path);
  *removed = err == 0;
  if (err == 0 || err == ENOENT) return std::string();
  return "cannot remove " + path + ": " + std::strerror(err);
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
  if (!common::IsDirectory(base)) {
    err << "VNPPSvc: " << base
        << " is not a directory (is D-Bus installed? VNPPSVC_DBUS_DIR names another)\n";
    return 1;
  }
  int status = 0;
  for (const TBusFile& file : kFiles) {
    const std::string path = base + "/" + file.relativePath;
    std::string failure;
    if (install) {
      const std::string dir = common::DirectoryOf(path);
      if (!common::IsDirectory(dir) && ::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
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
