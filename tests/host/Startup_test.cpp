#include "host/Startup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
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
      {{"--install"}, false},
      {{"-"}, false},
      {{}, false},
      {{"/ install"}, false},
  };
  for (const auto& c : cases) {
    std::vector<char*> argv{const_cast<char*>("VNPPSvc")};
    for (const std::string& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
    const std::string shown = c.args.empty() ? "(none)" : c.args.back();
    EXPECT_EQ(HasSwitch(static_cast<int>(argv.size()), argv.data(), "install"), c.install) << shown;
    EXPECT_EQ(HasSwitch(c.args, "install"), c.install) << shown;
  }
  char* programOnly[] = {const_cast<char*>("-install")};
  EXPECT_FALSE(HasSwitch(1, programOnly, "install")) << "the program name is no argument";
  const std::vector<std::string> uninstall{"-UNINSTALL"};
  EXPECT_TRUE(HasSwitch(uninstall, "uninstall"));
  EXPECT_FALSE(HasSwitch(uninstall, "install"));
}

class RunModeTest : public ::testing::Test {
 protected:
  RunModeTest() : unitDir_("VNPPSVC_UNIT_DIR", dir_.Path()) { Process().Args.clear(); }
  ~RunModeTest() override { Process().Args.clear(); }
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
    EXPECT_EQ(SelectRunMode(common::kServiceName), c.service) << c.name;
    EXPECT_EQ(Process().RunAsService, c.service) << c.name;
  }
  EXPECT_EQ(Process().ServiceName, "VNPostProcessor");
  EXPECT_EQ(Process().ServiceDisplayName, "VNPostProcessor");
}

TEST_F(RunModeTest, InstallSwitchesSelectServiceModeWithoutAUnit) {
  for (const char* arg : {"/INSTALL", "-install", "\\install", "-UNINSTALL"}) {
    Process().Args = {arg};
    EXPECT_TRUE(SelectRunMode(common::kServiceName)) << arg;
    EXPECT_TRUE(IsInstallRun()) << arg;
  }
}

TEST_F(RunModeTest, SpacesInTheBaseNameBecomeUnderscoresInTheServiceName) {
  WriteUnit("[Service]\nUser=" + EffectiveUserName() + "\n");
  EXPECT_FALSE(SelectRunMode("VN Post Processor"));  // looks for VN_Post_Processor.service
  EXPECT_EQ(Process().ServiceDisplayName, "VN Post Processor");
  EXPECT_EQ(Process().ServiceName, "VN_Post_Processor");
}

TEST(InstanceLock, OnlyOneHolderAtATimeAndTheFileIsOpenToEveryAccount) {
  const std::string name = "vnpp-test-" + std::to_string(::getpid()) + "/x\\y";
  ScopedEnv instance("VNPPSVC_INSTANCE", name);
  const std::string path = InstanceLockPath();
  EXPECT_EQ(std::filesystem::path(path).filename().string(),
            "vnpp-test-" + std::to_string(::getpid()) + "_x_y.lock");
  EXPECT_TRUE(path.rfind("/run/lock/", 0) == 0 || path.rfind("/tmp/", 0) == 0) << path;
  {
    TInstanceLock first;
    ASSERT_TRUE(first.Acquire());
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    TInstanceLock second;
    EXPECT_FALSE(second.Acquire());
    EXPECT_FALSE(second.Held());
  }
  TInstanceLock after;
  EXPECT_TRUE(after.Acquire()) << "the lock goes with its holder";
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
