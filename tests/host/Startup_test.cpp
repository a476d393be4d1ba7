#include "host/Startup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "common/ServiceName.h"
#include "support/HostTestSupport.h"

namespace vnpp::host {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

TEST(HasSwitch, RecognisesPrefixedWholeWordsInAnyCase) {
  const struct {
    std::vector<std::string> args;
    bool install;
  } cases[] = {
      {{"/Install"}, true},
      {{"-install"}, true},
      {{"\\install"}, true},
      {{"/INSTALL"}, true},
      {{"x", "-install"}, true},
      {{"install"}, false},
      {{"/install2"}, false},
      {{"/in"}, false},
      {{"--install"}, true},  // the GNU long form
      {{"---install"}, false},
      {{"-"}, false},
      {{}, false},
      {{"/ install"}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HasSwitch(c.args, "install"), c.install) << (c.args.empty() ? "" : c.args.back());
  }
  const std::vector<std::string> uninstall{"-UNINSTALL"};
  EXPECT_TRUE(HasSwitch(uninstall, "uninstall"));
  EXPECT_FALSE(HasSwitch(uninstall, "install"));
}

class RunModeTest : public ::testing::Test {
 protected:
  RunModeTest() : unitDir_("VNPPSVC_UNIT_DIR", dir_.Path()) {}
  void WriteUnit(const std::string& text) {
    testing::WriteFile(dir_ / "VNPostProcessor.service", text);
  }

  TempDir dir_;
  ScopedEnv unitDir_;
};

TEST_F(RunModeTest, ServiceModeWhenTheUnitNamesTheEffectiveUser) {
  const std::string me = EffectiveUserName();
  ASSERT_FALSE(me.empty());
  std::string upper = me;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  const bool root = ::geteuid() == 0;
  const struct {
    const char* name;
    std::string unit;  // empty: no unit file
    bool service;
  } cases[] = {
      {"no unit", "", false},
      {"User= is me", "[Unit]\nDescription=x\n[Service]\nType=notify\nUser=" + me + "\n", true},
      {"case ignored", "[Service]\nUser = " + upper + " \n", true},
      {"another user", "[Service]\nUser=vnpp-nobody-" + me + "\n", false},
      {"last User= wins", "[Service]\nUser=someone\nUser=" + me + "\n", true},
      {"machine prefix", "[Service]\nUser=.\\" + me + "\n", false},
      {"numeric id", "[Service]\nUser=" + std::to_string(::geteuid()) + "\n", true},
      {"User= outside [Service]", "[Unit]\nUser=" + me + "\n[Service]\n", root},
      {"no User=: root", "[Service]\nExecStart=/x\n", root},
      {"empty User=: root", "[Service]\nUser=\n", root},
      {"LocalSystem: root", "[Service]\nUser=localsystem\n", root},
      {"commented out", "[Service]\n# User=nobody\n", root},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(dir_ / "VNPostProcessor.service");
    if (!c.unit.empty()) WriteUnit(c.unit);
    Process().RunAsService = !c.service;
    EXPECT_EQ(SelectRunMode(common::kServiceName, false), c.service) << c.name;
    EXPECT_EQ(Process().RunAsService, c.service) << c.name;
  }
  EXPECT_EQ(Process().ServiceName, "VNPostProcessor");
  EXPECT_EQ(Process().ServiceDisplayName, "VNPostProcessor");
}

TEST_F(RunModeTest, InstallSwitchesSelectServiceModeWithoutAUnit) {
  for (const char* arg : {"/INSTALL", "-install", "\\install", "-UNINSTALL"}) {
    char* argv[] = {const_cast<char*>("-install"), const_cast<char*>(arg)};
    TCommandLine line;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(2, argv, line, error)) << arg;
    EXPECT_TRUE(line.InstallRun) << arg;
    EXPECT_TRUE(SelectRunMode(common::kServiceName, line.InstallRun)) << arg;
  }
  char* programOnly[] = {const_cast<char*>("-install")};
  TCommandLine line;
  std::string error;
  ASSERT_TRUE(ParseCommandLine(1, programOnly, line, error));
  EXPECT_FALSE(line.InstallRun) << "the program name is no argument";
}

TEST_F(RunModeTest, SpacesInTheBaseNameBecomeUnderscoresInTheServiceName) {
  WriteUnit("[Service]\nUser=" + EffectiveUserName() + "\n");
  EXPECT_FALSE(SelectRunMode("VN Post Processor", false));  // looks for VN_Post_Processor.service
  EXPECT_EQ(Process().ServiceDisplayName, "VN Post Processor");
  EXPECT_EQ(Process().ServiceName, "VN_Post_Processor");
}

TEST(InstanceLock, OnlyOneHolderAtATimeAndTheFileIsClosedToOtherAccounts) {
  const std::string name = "vnpp-test-" + std::to_string(::getpid()) + "/x\\y";
  ScopedEnv instance("VNPPSVC_INSTANCE", name);
  const std::string path = InstanceLockPath();
  EXPECT_EQ(std::filesystem::path(path).filename().string(),
            "vnpp-test-" + std::to_string(::getpid()) + "_x_y.lock");
  EXPECT_TRUE(path.rfind("/run/lock/", 0) == 0 || path.rfind("/tmp/", 0) == 0) << path;
  {
    TInstanceLock first;
    ASSERT_EQ(first.Acquire(std::nullopt), TLockResult::Acquired);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    // Reading is enough to hold an flock: nobody else may open it at all.
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    TInstanceLock second;
    EXPECT_EQ(second.Acquire(std::nullopt), TLockResult::Held);
    EXPECT_FALSE(second.Held());
    EXPECT_EQ(second.HolderPid(), ::getpid());
  }
  TInstanceLock after;
  EXPECT_EQ(after.Acquire(std::nullopt), TLockResult::Acquired) << "the lock goes with its holder";
  std::filesystem::remove(path);
}

// An unprivileged account that makes the lock file first (open to all, as older versions
// made it, or a link, a FIFO, a directory) and holds it must not keep the service from
// starting; an account other than the service's is refused with the reason.
TEST(InstanceLock, AnotherAccountCannotHoldTheServicesStart) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another account";
  const uid_t nobody = 65534;
  ScopedEnv instance("VNPPSVC_INSTANCE", "vnpp-test-" + std::to_string(::getpid()) + "-planted");
  const std::string path = InstanceLockPath();
  const auto plantAndHold = [&](int ready, int release) {
    if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) ::_exit(3);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT, 0666);
    if (fd < 0 || ::fchmod(fd, 0666) != 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(4);
    char c = 0;
    if (::write(ready, &c, 1) != 1) ::_exit(5);
    static_cast<void>(::read(release, &c, 1));  // until the test closes its end
    ::_exit(0);
  };
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    ::close(ready[0]);
    ::close(release[1]);
    plantAndHold(ready[1], release[0]);
  }
  ::close(ready[1]);
  ::close(release[0]);
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1) << "the other account could not hold the file";
  EXPECT_EQ(LockHolderPid(path), holder);
  {
    TInstanceLock service;
    EXPECT_EQ(service.Acquire(0), TLockResult::Acquired);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  ::close(release[1]);
  int status = -1;
  ASSERT_EQ(::waitpid(holder, &status, 0), holder);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  // Not a regular file: taken out of the way as well.
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(::symlink("/etc/passwd", path.c_str()), 0);
  {
    TInstanceLock service;
    EXPECT_EQ(service.Acquire(0), TLockResult::Acquired);
  }
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0);
  {
    TInstanceLock service;
    EXPECT_EQ(service.Acquire(0), TLockResult::Acquired);
    // Another account than the service's is refused, naming the lock.
    TInstanceLock other;
    EXPECT_EQ(other.Acquire(nobody), TLockResult::Held);
    EXPECT_EQ(other.HolderPid(), ::getpid());
  }
  TInstanceLock other;
  EXPECT_EQ(other.Acquire(nobody), TLockResult::Denied);
  EXPECT_NE(other.Reason().find(path), std::string::npos) << other.Reason();
  std::filesystem::remove(path);
}

TEST(InstanceLock, DefaultNameIsTheGlobalMarker) {
  ScopedEnv instance("VNPPSVC_INSTANCE", std::nullopt);
  EXPECT_EQ(std::filesystem::path(InstanceLockPath()).filename().string(),
            "Global_VNPostProcessor.lock");
}

TEST(ProgramDirectory, ComesFromHomeOrTheExecutableWithATrailingSlash) {
  {
    ScopedEnv home("VNPPSVC_HOME", "/srv/vnpp");
    EXPECT_EQ(ProgramDirectory(), "/srv/vnpp/");
  }
  {
    ScopedEnv home("VNPPSVC_HOME", "/srv/vnpp/");
    EXPECT_EQ(ProgramDirectory(), "/srv/vnpp/");
  }
  ScopedEnv home("VNPPSVC_HOME", std::nullopt);
  const auto exe = std::filesystem::read_symlink("/proc/self/exe");
  EXPECT_EQ(ProgramDirectory(), exe.parent_path().string() + "/");
}

}  // namespace
}  // namespace vnpp::host
