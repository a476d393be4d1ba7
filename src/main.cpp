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
#include "database/Encrypt.h"
#include "host/CatchUp.h"
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
  host::SetCommandLine(argc, argv);

  // An argument the program does not know (a misspelt "-catchup", a switch of another build)
  // must not start processing in the foreground.
  if (std::string unknown; !host::KnownArguments(host::Process().Args, unknown)) {
    std::cerr << "VNPPSvc: unknown argument \"" << unknown << "\".\n" << host::UsageText();
    return 2;
  }

  bool recompute = false;
  host::TRecomputeArgs recomputeArgs;
  if (std::string error;
      !host::ParseRecomputeArgs(host::Process().Args, recompute, recomputeArgs, error)) {
    std::cerr << "VNPPSvc: " << error << ".\n" << host::UsageText();
    return 2;
  }

  // Switches that run a tool and end.
  if (host::HasSwitch(argc, argv, "encodepassword")) {
    return database::RunEncodePassword(std::cin, std::cout, std::cerr);
  }
  if (host::HasSwitch(argc, argv, "regserver")) {
    return automation::RunRegServer(true, std::cout, std::cerr);
  }
  if (host::HasSwitch(argc, argv, "unregserver")) {
    return automation::RunRegServer(false, std::cout, std::cerr);
  }

  // Before any thread exists: the stop signals reach only the main loop.
  host::TMainLoop::BlockStopSignals();

  // The run mode only reads files; it is decided first so that a refusal can be reported
  // where the mode's messages go.
  const bool service = host::SelectRunMode(common::kServiceName);

  host::TInstanceLock instance;
  if (const host::TLockResult lock = instance.Acquire(); lock != host::TLockResult::Acquired) {
    return host::ReportInstanceRefusal(instance, lock,
                                       host::HasSwitch(argc, argv, "catchup") || recompute,
                                       service || host::StartedBySystemd());
  }
  if (host::IsInstallRun()) {
    return host::RunServiceInstall(host::Process().Args, std::cout, std::cerr);
  }

  host::TMainLoop loop;
  // Declared before the main object it acts on, so that it goes after it.
  auto hostComObject = std::make_unique<host::THostComObject>(loop, service);
  host::TfrmServiceMain form(loop, hostComObject->Sink());
  hostComObject->SetControl(&form);
  if (!service && ::isatty(STDOUT_FILENO) == 1) form.Log().SetEchoFd(STDOUT_FILENO);
  std::unique_ptr<host::TCatchUp> catchUp;
  std::unique_ptr<host::TRecomputeCommand> recomputeCommand;
  if (recompute) {
    recomputeCommand = std::make_unique<host::TRecomputeCommand>(form, recomputeArgs, stdout);
  } else if (host::HasSwitch(argc, argv, "catchup")) {
    catchUp = std::make_unique<host::TCatchUp>(form);
  }
  form.FormCreate();

  std::atomic<bool> stopSignalled{false};
  loop.WatchStopSignals([&] {
    stopSignalled.store(true);
    host::Process().ShuttingDown.store(true);
    host::NotifyStopping();
    form.Close();
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
