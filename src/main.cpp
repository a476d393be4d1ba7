// VNPPSvc: wires the program's objects together and runs the chosen mode.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

#include "common/Regional.h"
#include "database/Encrypt.h"
#include "host/MainLoop.h"
#include "host/ServiceInstall.h"
#include "host/ServiceMain.h"
#include "host/ServiceNotify.h"
#include "host/Startup.h"
#include "processing/Processing.h"

namespace {

// The backfill of -catchup: once the configuration is loaded, every enabled group is run
// at once in list order; when the demand list is worked off, the program closes.
void RunCatchUp(vnpp::host::TfrmServiceMain& form, const std::atomic<bool>& abandon) {
  using namespace std::chrono_literals;
  vnpp::processing::TProcessing* processing = form.Processing();
  if (processing == nullptr) return;
  while (!abandon.load() && processing->IsProcessing() && !processing->Loaded()) {
    std::this_thread::sleep_for(20ms);
  }
  for (int index : form.EnabledGroupIndexes()) form.RunProcessGroup(index);
  while (!abandon.load() && processing->IsProcessing() && processing->DemandBusy()) {
    std::this_thread::sleep_for(20ms);
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vnpp;
  common::LoadRegionalSettings();
  host::SetCommandLine(argc, argv);

  // Switches that run a tool and end.
  if (host::HasSwitch(argc, argv, "encodepassword")) {
    return database::RunEncodePassword(std::cin, std::cout, std::cerr);
  }

  // Before any thread exists: SIGINT and SIGTERM reach only the main loop.
  host::TMainLoop::BlockStopSignals();

  host::TInstanceLock instance;
  if (!instance.Acquire()) return 0;  // another instance runs: end silently

  const bool service = host::SelectRunMode("VNPostProcessor");

  host::TMainLoop loop;
  host::TfrmServiceMain form(loop);
  if (!service && ::isatty(STDOUT_FILENO) == 1) form.Log().SetEchoFd(STDOUT_FILENO);
  form.FormCreate();

  if (form.Installing) return host::RunServiceInstall(host::Process().Args, std::cout, std::cerr);

  loop.WatchStopSignals([&] {
    host::Process().ShuttingDown.store(true);
    if (service) host::NotifyStopping();
    form.Close();
  });

  std::atomic<bool> abandonCatchUp{false};
  std::thread catchUp;
  long failedBefore = 0;
  const bool catchUpRun = host::HasSwitch(argc, argv, "catchup");
  if (catchUpRun) {
    failedBefore = form.Processing() ? form.Processing()->FailedEntries() : 0;
    catchUp = std::thread([&] {
      RunCatchUp(form, abandonCatchUp);
      host::Process().ShuttingDown.store(true);
      form.PostClose();
    });
  }

  if (service) host::NotifyReady();
  loop.Run();
  long failed = 0;
  if (catchUp.joinable()) {
    abandonCatchUp.store(true);
    catchUp.join();
    failed = (form.Processing() ? form.Processing()->FailedEntries() : 0) - failedBefore;
  }
  if (catchUpRun && failed > 0) {
    std::fprintf(stderr, "VNPPSvc: %ld station/sensor entries failed; see the log.\n", failed);
    return 1;
  }
  return 0;
}
