#include "config/WriteBack.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/AtomicFile.h"

namespace vnpp::config {
namespace {

std::string UserName(uid_t uid) {
  std::vector<char> buf(16384);
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
    return std::to_string(uid);
  }
  return pw.pw_name;
}

std::string GroupName(gid_t gid) {
  std::vector<char> buf(16384);
  group gr{};
  group* found = nullptr;
  if (::getgrgid_r(gid, &gr, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
    return std::to_string(gid);
  }
  return gr.gr_name;
}

// This process may give a file it owns the group gid.
bool MayChangeToGroup(gid_t gid) {
  if (gid == ::getegid()) return true;
  const int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  const int n = ::getgroups(count, groups.data());
  for (int i = 0; i < n; ++i) {
    if (groups[static_cast<std::size_t>(i)] == gid) return true;
  }
  return false;
}

}  // namespace

std::string WriteBackProblem(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return std::string();  // no file
  const std::string file = resolved;
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::string();
  const std::string dir = common::DirectoryOf(file);
  const uid_t self = ::geteuid();
  const std::string account = UserName(self);
  const std::string owner = UserName(st.st_uid) + ":" + GroupName(st.st_gid);
  const std::string fix = account + ":" + GroupName(::getegid());
  std::string reason, command;
  if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    reason = std::string("the directory ") + dir + " is not writable for it (" +
             std::strerror(errno) + ")";
    command = "chown " + fix + " " + dir;
  } else if (self != 0 && (st.st_uid != self || !MayChangeToGroup(st.st_gid))) {
    reason = "the new file cannot be given the owner " + owner;
    command = "chown " + fix + " " + file;
  } else {
    return std::string();
  }
  return "Warning: the configuration file " + file + " (owner " + owner +
         ") cannot be written back by the account " + account + " of VNPPSvc: " + reason +
         ". Progress (POLLUpdate, StartFrom) is not kept, and every restart computes again from "
         "StartFrom. As root: " +
         command;
}

}  // namespace vnpp::config
