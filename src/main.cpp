// VNPPSvc: wires the program's objects together and runs the chosen mode.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "automation/Registration.h"
#include "common/Regional.h"
#include "common/ServiceName.h"
#include "common/Version.h"
#include "database/Encrypt.h"
#include "host/CatchUp.h"
#include "host/Check.h"
#include "host/HostComObject.h"
#include "host/MainLoop.h"
#include "host/Recompute.h"
#include "host/ServiceInstall.h"
#include "host/ServiceMain.h"
#include "host/ServiceNotify.h"
#include "host/Startup.h"

int main(int argc, char** argv) {
  using namespace vnpp;
  ::signal(SIGPIPE, SIG_IGN);  // output nobody reads fails with EPIPE instead of ending us
  common::LoadRegionalSettings();

  // An argument the program does not know (a misspelt "-catchup", a switch of another build)
  // must not start processing in the foreground.
  host::TCommandLine line;
  if (std::string error; !host::ParseCommandLine(argc, argv, line, error)) {
    std::cerr << "VNPPSvc: " << error << ".\n" << host::UsageText();
    return 2;
  }

  if (line.Help) {
    std::cout << host::UsageText();
    return 0;
  }
  if (line.Version) {
    std::cout << common::VersionText("VNPPSvc");
    return 0;
  }

  // Switches that run a tool and end.
  if (line.EncodePassword) return database::RunEncodePassword(std::cin, std::cout, std::cerr);
  // Beside a running service as well: it takes no lock and writes nothing.
  if (line.Check) return host::RunCheck(host::ProgramDirectory(), std::cout);
  if (line.RegServer) return automation::RunRegServer(true, std::cout, std::cerr);
  if (line.UnregServer) return automation::RunRegServer(false, std::cout, std::cerr);

  // Before any thread exists: the stop signals reach only the main loop.
  host::TMainLoop::BlockStopSignals();

  // The run mode only reads files; it is decided first so that a refusal can be reported
  // where the mode's messages go.
  const bool service = host::SelectRunMode(common::kServiceName, line.InstallRun);

  host::TInstanceLock instance;
  if (const host::TLockResult lock = instance.Acquire(); lock != host::TLockResult::Acquired) {
    return host::ReportInstanceRefusal(instance, lock, line.CatchUp || line.Recompute,
                                       service || host::StartedBySystemd());
  }
  if (line.InstallRun) return host::RunServiceInstall(line.Args, std::cout, std::cerr);

  host::TMainLoop loop;
  // Declared before the main object it acts on, so that it goes after it.
  // A batch run (cron, ssh) has no session bus to speak of: it is no problem of the run.
  auto hostComObject =
      std::make_unique<host::THostComObject>(loop, service, line.CatchUp || line.Recompute);
  host::TfrmServiceMain form(loop, hostComObject->Sink(), service);
  hostComObject->SetControl(&form);
  if (!service && ::isatty(STDOUT_FILENO) == 1) form.Log().SetEchoFd(STDOUT_FILENO);
  std::unique_ptr<host::TCatchUp> catchUp;
  std::unique_ptr<host::TRecomputeCommand> recomputeCommand;
  if (line.Recompute) {
    recomputeCommand = std::make_unique<host::TRecomputeCommand>(form, line.RecomputeArgs, stdout);
  } else if (line.CatchUp) {
    catchUp = std::make_unique<host::TCatchUp>(form, stdout);
  }
  form.FormCreate();

  std::atomic<bool> stopSignalled{false};
  // SIGINT (Ctrl-C on the desktop), SIGTERM (systemd's stop) and SIGHUP: the stop command.
  loop.WatchStopSignals([&] {
    stopSignalled.store(true);
    host::NotifyStopping();
    form.Stopservice1Click();
  });

  host::NotifyReady();
  loop.Run();
  if (form.ProcessingAbandoned()) {
    // The processing thread still waits for the database and uses the objects below; their
    // results are committed or rolled back by the server, their progress is on file.
    std::fflush(nullptr);
    std::_Exit(1);
  }
  hostComObject->Close();
  if (recomputeCommand) return recomputeCommand->ExitCode(stopSignalled.load(), stderr);
  return catchUp ? catchUp->ExitCode(stopSignalled.load(), stderr) : 0;
}
