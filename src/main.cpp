// VNPPSvc: wires the program's objects together and runs the chosen mode.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <memory>

#include "automation/Registration.h"
#include "common/Regional.h"
#include "database/Encrypt.h"
#include "host/CatchUp.h"
#include "host/HostComObject.h"
#include "host/MainLoop.h"
#include "host/ServiceMain.h"
#include "host/ServiceNotify.h"
#include "host/Startup.h"

int main(int argc, char** argv) {
  using namespace vnpp;
  common::LoadRegionalSettings();
  host::SetCommandLine(argc, argv);

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

  // Before any thread exists: SIGINT and SIGTERM reach only the main loop.
  host::TMainLoop::BlockStopSignals();

  host::TInstanceLock instance;
  if (!instance.Acquire()) return 0;  // another instance runs: end silently

  const bool service = host::SelectRunMode("VNPostProcessor");

  host::TMainLoop loop;
  // Declared before the main object it acts on, so that it goes after it.
  std::unique_ptr<host::THostComObject> hostComObject;
  if (!host::IsInstallRun()) hostComObject = std::make_unique<host::THostComObject>(loop, service);
  host::TfrmServiceMain form(loop, hostComObject ? hostComObject->Sink() : nullptr);
  if (hostComObject) hostComObject->SetControl(&form);
  if (!service && ::isatty(STDOUT_FILENO) == 1) form.Log().SetEchoFd(STDOUT_FILENO);
  std::unique_ptr<host::TCatchUp> catchUp;
  if (host::HasSwitch(argc, argv, "catchup")) catchUp = std::make_unique<host::TCatchUp>(form);
  form.FormCreate();

  if (form.Installing) {
    // The unit's installation and removal go here.
    std::fputs("VNPPSvc: installing and removing the service is not available yet.\n", stderr);
    return 1;
  }

  std::atomic<bool> stopSignalled{false};
  loop.WatchStopSignals([&] {
    stopSignalled.store(true);
    host::Process().ShuttingDown.store(true);
    if (service) host::NotifyStopping();
    form.Close();
  });

  if (service) host::NotifyReady();
  loop.Run();
  if (hostComObject) hostComObject->Close();
  return catchUp ? catchUp->ExitCode(stopSignalled.load(), stderr) : 0;
}
