#include "host/ServiceInstall.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "common/Error.h"
#include "common/UniqueFd.h"
#include "host/Startup.h"
#include "support/HostTestSupport.h"

extern char** environ;

namespace vnpp::host {
namespace {

using testing::ReadFile;
using testing::ScopedEnv;
using testing::TempDir;
using testing::WriteFile;

std::string SelfExe() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

struct Result {
  int status = -1;
  std::string output;  // standard output and standard error together
};

// Runs argv with its output captured; status -1 when it cannot start.
Result Run(const std::vector<std::string>& args) {
  Result result;
  TempDir out;
  const std::string path = out / "output";
  std::vector<std::string> words = args;
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return result;
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  result.output = ReadFile(path);
  return result;
}

bool HaveSystemdAnalyze() { return Run({"systemd-analyze", "--version"}).status == 0; }

// systemd's own parser on a unit file: nothing to complain about, not even a warning.
void ExpectVerified(const std::string& unitPath) {
  const Result r = Run({"systemd-analyze", "verify", unitPath});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, "") << ReadFile(unitPath);
}

std::string Line(const std::string& text, const std::string& key) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key + "=", 0) == 0) return line;
  }
  return std::string();
}

TEST(UnitFileText, SystemdAcceptsTheUnitForAwkwardButLegalPaths) {
  if (!HaveSystemdAnalyze()) GTEST_SKIP() << "systemd-analyze is not installed (Debian: systemd)";
  TempDir dir;
  // The executable must exist for verify; a link to this test's own binary stands in.
  const struct {
    const char* exeName;
    const char* homeName;
  } cases[] = {
      {"VNPPSvc", "home"},    {"VN PPSvc", "home with blanks"},
      {"VNPPSvc%n", "100%h"},  // "%n" and "%h" would be specifiers
      {"VNPP$HOME", "$HOME"},  // no variable in the executable's name
      {"VNPP;Svc*", "it's"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.exeName);
    const std::string exe = dir / c.exeName;
    const std::string home = dir / c.homeName;
    std::filesystem::create_symlink(SelfExe(), exe);
    std::filesystem::create_directory(home);
    const std::string unitPath = dir / "VNPostProcessor.service";
    WriteFile(unitPath, UnitFileText(exe, home));
    ExpectVerified(unitPath);
    std::filesystem::remove(unitPath);
  }
}

TEST(UnitFileText, QuotesAndEscapesThePathsAndKeepsUserHomesReadable) {
  const std::string unit = UnitFileText("/opt/vn 1/VNPPSvc%$", "/srv/vn%pp");
  EXPECT_EQ(Line(unit, "Type"), "Type=notify");
  EXPECT_EQ(Line(unit, "ExecStart"), "ExecStart=\"/opt/vn 1/VNPPSvc%%$\"");
  EXPECT_EQ(Line(unit, "Environment"), "Environment=\"VNPPSVC_HOME=/srv/vn%%pp\"");
  EXPECT_EQ(Line(unit, "ReadWritePaths"), "ReadWritePaths=\"/srv/vn%%pp\" /run/lock");
  // Without the configuration the unit does not start, and systemctl status says why.
  EXPECT_EQ(Line(unit, "ConditionPathExists"), "ConditionPathExists=/srv/vn%%pp/VNPostProc.VFG");
  EXPECT_EQ(Line(unit, "ProtectHome"), "ProtectHome=yes");
  EXPECT_EQ(Line(unit, "WantedBy"), "WantedBy=multi-user.target");
  EXPECT_EQ(Line(unit, "Restart"), "Restart=on-failure");
  EXPECT_NE(Line(unit, "WatchdogSec"), "");
  EXPECT_EQ(unit.find("@VNPP_"), std::string::npos) << "a placeholder was left:\n" << unit;

  // ProtectHome=yes would hide these from the service.
  for (const auto& [exe, home] :
       {std::pair{"/home/ann/bin/VNPPSvc", "/srv/vnpp"},
        std::pair{"/usr/sbin/VNPPSvc", "/root/vnpp"}, std::pair{"/usr/sbin/VNPPSvc", "/home"}}) {
    EXPECT_EQ(Line(UnitFileText(exe, home), "ProtectHome"), "ProtectHome=read-only") << home;
  }
  EXPECT_EQ(Line(UnitFileText("/usr/sbin/VNPPSvc", "/homes/x"), "ProtectHome"), "ProtectHome=yes");
}

TEST(UnitFileText, RefusesPathsAUnitFileCannotCarry) {
  const std::vector<std::string> paths = {
      "relative/VNPPSvc", "", "/opt/a\nExecStartPre=/bin/x", "/opt/a\"b", "/opt/a\\b", "/opt/\x7f"};
  for (const std::string& bad : paths) {
    EXPECT_THROW(UnitFileText(bad, "/srv/vnpp"), common::EPostProcError) << bad;
    EXPECT_THROW(UnitFileText("/usr/sbin/VNPPSvc", bad), common::EPostProcError) << bad;
  }
  EXPECT_THROW(UnitFileText("/opt/it's/VNPPSvc", "/srv/vnpp"), common::EPostProcError);
  EXPECT_NO_THROW(UnitFileText("/usr/sbin/VNPPSvc", "/srv/it's"));
}

TEST(UnitFileText, ThePackagedUnitIsTheTextThatInstallWrites) {
  const std::string packaged = ReadFile(VNPP_PACKAGED_UNIT);
  ASSERT_FALSE(packaged.empty()) << VNPP_PACKAGED_UNIT;
  EXPECT_EQ(packaged, UnitFileText("/usr/sbin/VNPPSvc", "/var/lib/vnppsvc", "vnppsvc"));
}

class ServiceInstallTest : public ::testing::Test {
 protected:
  ServiceInstallTest()
      : unitDir_("VNPPSVC_UNIT_DIR", units_.Path()),
        home_("VNPPSVC_HOME", homeDir_.Path()),
        systemctl_("VNPPSVC_SYSTEMCTL", ""),
        fail_("FAKE_SYSTEMCTL_FAIL", std::nullopt),
        user_("VNPPSVC_UNIT_USER", std::nullopt) {}

  // Runs the installing run with args; returns the exit code and keeps the two outputs.
  int Install(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int rc = RunServiceInstall(args, out, err);
    out_ = out.str();
    err_ = err.str();
    return rc;
  }

  // A systemctl that records its arguments, one call a line, and fails the verb named in
  // FAKE_SYSTEMCTL_FAIL.
  void FakeSystemctl() {
    const std::string script = fake_ / "systemctl";
    WriteFile(script, "#!/bin/sh\necho \"$*\" >> '" + (fake_ / "calls") +
                          "'\n[ -n \"$FAKE_SYSTEMCTL_FAIL\" ] && case \" $* \" in *\" "
                          "$FAKE_SYSTEMCTL_FAIL \"*) exit 3;; esac\nexit 0\n");
    ::chmod(script.c_str(), 0755);
    ::setenv("VNPPSVC_SYSTEMCTL", script.c_str(), 1);
  }
  std::string Calls() const { return ReadFile(fake_ / "calls"); }

  // Names, sizes, modes and modification times of everything in the unit directory.
  std::string Snapshot() const {
    std::string text;
    for (const auto& e : std::filesystem::directory_iterator(units_.Path())) {
      struct stat st {};
      ::lstat(e.path().c_str(), &st);
      text += e.path().filename().string() + " " + std::to_string(st.st_size) + " " +
              std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_nsec) + "\n";
    }
    struct stat st {};
    ::stat(units_.Path().c_str(), &st);
    return text + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
  }

  std::string UnitPath() const { return units_ / "VNPostProcessor.service"; }

  TempDir units_, homeDir_, fake_;
  ScopedEnv unitDir_, home_, systemctl_, fail_, user_;
  std::string out_, err_;
};

TEST_F(ServiceInstallTest, InstallWritesTheUnitWholeForThisProgramAndItsHome) {
  ASSERT_EQ(Install({"-install"}), 0) << err_;
  EXPECT_EQ(out_, "Service installed successfully\n");
  EXPECT_EQ(err_, "");
  EXPECT_EQ(ReadFile(UnitPath()), UnitFileText(SelfExe(), homeDir_.Path()));
  struct stat st {};
  ASSERT_EQ(::stat(UnitPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(units_.Path())) {
    ++entries;
  }
  EXPECT_EQ(entries, 1) << "no temporary file is left";
}

// Root unless told otherwise: VNPPSVC_UNIT_USER names the account, which then gets no
// capabilities; a name that is no account name installs nothing.
TEST_F(ServiceInstallTest, InstallNamesTheAccountOnlyWhenToldTo) {
  ScopedEnv user("VNPPSVC_UNIT_USER", "vnppsvc");
  ASSERT_EQ(Install({"-install"}), 0) << err_;
  const std::string unit = ReadFile(UnitPath());
  EXPECT_EQ(unit, UnitFileText(SelfExe(), homeDir_.Path(), "vnppsvc"));
  EXPECT_NE(unit.find("\nUser=vnppsvc\nCapabilityBoundingSet=\n"), std::string::npos);
  EXPECT_EQ(UnitFileText(SelfExe(), homeDir_.Path()).find("User="), std::string::npos);
  ASSERT_EQ(Install({"-uninstall"}), 0) << err_;
  ScopedEnv bad("VNPPSVC_UNIT_USER", "root\nExecStartPre=/bin/true");
  EXPECT_NE(Install({"-install"}), 0);
  EXPECT_FALSE(std::filesystem::exists(UnitPath()));
}

TEST_F(ServiceInstallTest, SwitchesTakeDashOrSlashInAnyCaseAndSilentHidesSuccess) {
  const struct {
    std::vector<std::string> install, uninstall;
    bool silent;
  } cases[] = {
      {{"-install"}, {"-uninstall"}, false},
      {{"/INSTALL"}, {"/Uninstall"}, false},
      {{"-install", "-silent"}, {"-uninstall", "/SILENT"}, true},
      {{"-uninstall", "-install"}, {"-UNINSTALL"}, false},  // install wins over uninstall
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.install.front());
    ASSERT_EQ(Install(c.install), 0) << err_;
    EXPECT_EQ(out_, c.silent ? "" : "Service installed successfully\n");
    EXPECT_TRUE(std::filesystem::exists(UnitPath()));
    ASSERT_EQ(Install(c.uninstall), 0) << err_;
    EXPECT_EQ(out_, c.silent ? "" : "Service uninstalled successfully\n");
    EXPECT_EQ(err_, "");
    EXPECT_FALSE(std::filesystem::exists(UnitPath()));
  }
}

TEST_F(ServiceInstallTest, InstallingTwiceFailsAndChangesNothing) {
  ASSERT_EQ(Install({"-install"}), 0);
  WriteFile(UnitPath(), "[Service]\nExecStart=/bin/true\n");  // an administrator's edit
  const std::string before = Snapshot();
  for (const char* arg : {"-install", "/install"}) {
    EXPECT_EQ(Install({arg, "-silent"}), 1);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(err_, "Service \"VNPostProcessor\" failed to install with error: \"" + UnitPath() +
                        ": File exists\"\n");
    EXPECT_EQ(Snapshot(), before);
    EXPECT_EQ(ReadFile(UnitPath()), "[Service]\nExecStart=/bin/true\n");
  }
}

TEST_F(ServiceInstallTest, FailuresAreReportedWithTheReason) {
  EXPECT_EQ(Install({"-uninstall", "-silent"}), 1);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, "Service \"VNPostProcessor\" failed to uninstall with error: \"" + UnitPath() +
                      ": No such file or directory\"\n");

  ScopedEnv missing("VNPPSVC_UNIT_DIR", units_ / "missing");
  EXPECT_EQ(Install({"-install"}), 1);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_.rfind("Service \"VNPostProcessor\" failed to install with error: \"" +
                           (units_ / "missing") + ": No such file or directory\"",
                       0),
            0u)
      << err_;
}

TEST_F(ServiceInstallTest, BackslashSwitchInstallsNothing) {
  EXPECT_EQ(Install({"\\install"}), 1);
  EXPECT_EQ(out_, "");
  EXPECT_NE(err_, "");
  EXPECT_FALSE(std::filesystem::exists(UnitPath()));
}

TEST_F(ServiceInstallTest, SystemdIsReloadedAndTheUnitEnabledAndDisabled) {
  FakeSystemctl();
  ASSERT_EQ(Install({"-install"}), 0) << err_;
  EXPECT_EQ(Calls(), "--quiet daemon-reload\n--quiet enable VNPostProcessor.service\n");
  std::filesystem::remove(fake_ / "calls");
  ASSERT_EQ(Install({"-uninstall"}), 0) << err_;
  EXPECT_EQ(Calls(), "--quiet disable VNPostProcessor.service\n--quiet daemon-reload\n");
  EXPECT_FALSE(std::filesystem::exists(UnitPath()));
}

TEST_F(ServiceInstallTest, AFailedEnableTakesTheNewUnitAwayAndAFailedDisableKeepsIt) {
  FakeSystemctl();
  ScopedEnv failEnable("FAKE_SYSTEMCTL_FAIL", "enable");
  EXPECT_EQ(Install({"-install"}), 1);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_,
            "Service \"VNPostProcessor\" failed to install with error: \"systemctl enable "
            "VNPostProcessor.service failed (exit status 3)\"\n");
  EXPECT_FALSE(std::filesystem::exists(UnitPath()));
  EXPECT_EQ(Calls(),
            "--quiet daemon-reload\n--quiet enable VNPostProcessor.service\n"
            "--quiet daemon-reload\n");

  ::unsetenv("FAKE_SYSTEMCTL_FAIL");
  ASSERT_EQ(Install({"-install"}), 0) << err_;
  ::setenv("FAKE_SYSTEMCTL_FAIL", "disable", 1);
  EXPECT_EQ(Install({"-uninstall"}), 1);
  EXPECT_EQ(err_,
            "Service \"VNPostProcessor\" failed to uninstall with error: \"systemctl disable "
            "VNPostProcessor.service failed (exit status 3)\"\n");
  EXPECT_TRUE(std::filesystem::exists(UnitPath()));
}

}  // namespace
}  // namespace vnpp::host
