#include "host/CatchUp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "host/ServiceMain.h"
#include "host/Startup.h"
#include "support/HostTestSupport.h"
#include "support/TestDatabases.h"

namespace vnpp::host {
namespace {

using testing::ScopedEnv;
using testing::TempDir;
using testing::WriteFile;

class CatchUpTest : public ::testing::Test {
 protected:
  CatchUpTest() : home_("VNPPSVC_HOME", dir_.Path()) {
    Process().ShuttingDown.store(false);
    std::filesystem::create_directory(dir_ / "LogFiles");
  }
  ~CatchUpTest() override { Process().ShuttingDown.store(false); }

  // One hourly group of one entry over the SQLite file data.db, which may be missing.
  void Configure(bool enabled) {
    WriteFile(dir_.Path() + "/VNPostProc.VFG",
              "[PostProcess]\r\nGroups=1\r\n[PostProcessGroup:1]\r\nFuncName=AVG\r\nEnabled=" +
                  std::string(enabled ? "1" : "0") +
                  "\r\nTypeInterval=0\r\nStartFrom=LAST 3 HOURS\r\nPOLLNumber=1\r\n"
                  "POLL1=ST1.WL\r\n[Database Settings]\r\nODBC Data Source=Driver=SQLite3;"
                  "Database=" +
                  dir_.Path() + "/data.db;NoCreat=1\r\n");
  }

  // Runs the main loop as main does, with a bound in case the catch-up never ends.
  int Run() {
    TfrmServiceMain form(loop_);
    std::FILE* out = std::tmpfile();
    TCatchUp catchUp(form, out);
    form.FormCreate();
    std::thread guard([this] {
      for (int i = 0; i < 3000 && !loop_.QuitRequested(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      loop_.Quit();
    });
    loop_.Run();
    guard.join();
    EXPECT_TRUE(catchUp.Done() || form.Closed());
    std::FILE* err = std::tmpfile();
    const int code = catchUp.ExitCode(false, err);
    std::fclose(err);
    std::fclose(out);
    return code;
  }

  TempDir dir_;
  ScopedEnv home_;
  TMainLoop loop_;
};

TEST_F(CatchUpTest, EndsByItselfAndReportsWhetherEveryEntryWasBroughtUp) {
  Configure(false);
  EXPECT_EQ(Run(), 0) << "nothing to do is done";
}

TEST_F(CatchUpTest, FailedEntryMakesTheCatchUpFail) {
  Configure(true);  // the database file is missing
  EXPECT_EQ(Run(), 1);
}

TEST_F(CatchUpTest, CompleteCatchUpSucceeds) {
  database::testing::ApplySchema("Driver=SQLite3;Database=" + dir_.Path() + "/data.db", "sqlite");
  Configure(true);
  EXPECT_EQ(Run(), 0);
}

}  // namespace
}  // namespace vnpp::host
