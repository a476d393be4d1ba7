// Runs the real executable in a temporary home directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "automation/PrivateBus.h"
#include "host/HostTestSupport.h"
#include "host/Startup.h"
#include "host/UniqueFd.h"
#include "integration/ChildProcess.h"

extern char** environ;

namespace vnpp::host {
namespace {

using integration::Child;
using integration::ReadAll;
using integration::Spawn;
using integration::WaitForInstanceLock;
using testing::ScopedEnv;
using testing::TempDir;

// Every path under dir with its size and modification time.
std::string Snapshot(const std::string& dir) {
  std::string text;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    struct stat st {};
    ::lstat(e.path().c_str(), &st);
    text += e.path().string() + " " + std::to_string(st.st_size) + " " +
            std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + "\n";
  }
  return text;
}

TEST(VNPPSvcProcess, RunsUntilAStopSignalAndASecondInstanceEndsSilently) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    // A bus of its own: the program's automation object is there and says nothing.
    automation::testing::TPrivateBus bus;
    VNPP_NEED_BUS(bus);
    TempDir home, units;
    std::filesystem::create_directory(home / "LogFiles");
    const std::string instance =
        "vnpp-it-" + std::to_string(::getpid()) + "-" + std::to_string(sig);
    ScopedEnv instanceEnv("VNPPSVC_INSTANCE", instance);
    const std::string lockPath = InstanceLockPath();
    const std::map<std::string, std::string> env = {{"VNPPSVC_HOME", home.Path()},
                                                    {"VNPPSVC_INSTANCE", instance},
                                                    {"VNPPSVC_UNIT_DIR", units.Path()},
                                                    {"DBUS_SESSION_BUS_ADDRESS", bus.Address()}};

    Child first = Spawn(env);
    ASSERT_GT(first.pid, 0);
    ASSERT_TRUE(WaitForInstanceLock(first.pid));
    // The first instance's processing thread loads its (absent) configuration and logs
    // the end of its start-up; after that it is idle and the home stays still.
    const auto logFile = home / "LogFiles/VNPostProc.log";
    for (int i = 0; i < 1000; ++i) {
      if (testing::ReadFile(logFile).find("Database NOT connected.") != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(testing::ReadFile(logFile).find("Database NOT connected."), std::string::npos);

    const std::string before = Snapshot(home.Path()) + Snapshot(units.Path());
    const std::string lockBefore = testing::ReadFile(lockPath);
    Child second = Spawn(env);
    ASSERT_GT(second.pid, 0);
    int status = -1;
    ASSERT_EQ(::waitpid(second.pid, &status, 0), second.pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ReadAll(second.out.Get()), "");
    EXPECT_EQ(Snapshot(home.Path()) + Snapshot(units.Path()), before);
    EXPECT_EQ(testing::ReadFile(lockPath), lockBefore);

    ASSERT_EQ(::waitpid(first.pid, &status, WNOHANG), 0) << "the first instance still runs";
    ASSERT_EQ(::kill(first.pid, sig), 0);
    ASSERT_EQ(::waitpid(first.pid, &status, 0), first.pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ReadAll(first.out.Get()), "");
    std::filesystem::remove(lockPath);
  }
}

}  // namespace
}  // namespace vnpp::host
