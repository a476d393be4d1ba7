#include "automation/Registration.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/PrivateBus.h"

namespace vnpp::automation {
namespace {

using testing::SourceDir;
using testing::TScopedEnv;

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string MakeTempDir() {
  char pattern[] = "/tmp/vnpp-reg.XXXXXX";
  const char* dir = ::mkdtemp(pattern);
  return dir != nullptr ? dir : "";
}

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.empty()); }
  ~RegistrationTest() override { std::filesystem::remove_all(dir_); }
  int Run(bool install) {
    out_.str("");
    err_.str("");
    return RunRegServer(install, out_, err_);
  }

  // Never the real D-Bus directory: the variable is set before any test body runs.
  std::string dir_ = MakeTempDir();
  TScopedEnv env_{"VNPPSVC_DBUS_DIR", dir_.c_str()};
  std::ostringstream out_, err_;
};

// -REGSERVER installs exactly the files of the tree, again and again; -UNREGSERVER removes
// them and is content when they are gone already.
TEST_F(RegistrationTest, InstallsTheTreesFilesAndRemovesThem) {
  const std::string files[][2] = {
      {kPolicyPath, "/etc/dbus/VNPPSvc.VNPostProcCom.conf"},
      {kActivationPath, "/etc/dbus/VNPPSvc.VNPostProcCom.service"},
      {kInterfacePath, "/src/automation/VNPPSvc.IVNPostProcCom.xml"},
  };
  std::filesystem::create_directory(dir_ + "/system.d");
  std::ofstream(dir_ + "/system.d/VNPPSvc.VNPostProcCom.conf") << "an older policy";
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(Run(true), 0) << err_.str();
    for (const auto& [installed, source] : files) {
      EXPECT_EQ(Read(dir_ + "/" + installed), Read(SourceDir() + source)) << installed;
      EXPECT_EQ(std::filesystem::status(dir_ + "/" + installed).permissions(),
                std::filesystem::perms(0644));
      EXPECT_FALSE(std::filesystem::exists(dir_ + "/" + installed + ".tmp"));
    }
    EXPECT_NE(out_.str().find("Installed " + dir_ + "/" + kPolicyPath), std::string::npos);
  }
  ASSERT_EQ(Run(false), 0) << err_.str();
  for (const auto& file : files) EXPECT_FALSE(std::filesystem::exists(dir_ + "/" + file[0]));
  EXPECT_EQ(Run(false), 0);
  EXPECT_NE(out_.str().find("Not installed: " + dir_ + "/" + kPolicyPath), std::string::npos);
}

TEST_F(RegistrationTest, FailuresAreReportedWithExitCodeOne) {
  // A file where a directory must be: nothing can be written into it.
  std::ofstream(dir_ + "/system.d") << "not a directory";
  EXPECT_EQ(Run(true), 1);
  EXPECT_NE(err_.str().find(dir_ + "/system.d"), std::string::npos) << err_.str();
  // The other files are still installed.
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/" + kActivationPath));

  TScopedEnv missing("VNPPSVC_DBUS_DIR", (dir_ + "/absent").c_str());
  EXPECT_EQ(Run(true), 1);
  EXPECT_NE(err_.str().find("is not a directory"), std::string::npos) << err_.str();
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/absent"));
}

}  // namespace
}  // namespace vnpp::automation
