// VNPPSvc: wires the program's objects together and runs the chosen mode.
#include <unistd.h>

#include <cstdio>

#include "common/Regional.h"
#include "host/MainLoop.h"
#include "host/ServiceMain.h"
#include "host/ServiceNotify.h"
#include "host/Startup.h"

int main(int argc, char** argv) {
  using namespace vnpp;
  common::LoadRegionalSettings();
  host::SetCommandLine(argc, argv);

  // Switches that run a tool and end, before the instance lock (-encodepassword) go here.

  // Before any thread exists: SIGINT and SIGTERM reach only the main loop.
  host::TMainLoop::BlockStopSignals();

  host::TInstanceLock instance;
  if (!instance.Acquire()) return 0;  // another instance runs: end silently

  const bool service = host::SelectRunMode("VNPostProcessor");

  host::TMainLoop loop;
  host::TfrmServiceMain form(loop);
  if (!service && ::isatty(STDOUT_FILENO) == 1) form.Log().SetEchoFd(STDOUT_FILENO);
  form.FormCreate();

  if (form.Installing) {
    // The unit's installation and removal go here.
    std::fputs("VNPPSvc: installing and removing the service is not available yet.\n", stderr);
    return 1;
  }

  loop.WatchStopSignals([&] {
    host::Process().ShuttingDown.store(true);
    if (service) host::NotifyStopping();
    form.Close();
  });

  // The -catchup switch goes here: it requests its runs and closes the main object when
  // they are done.

  if (service) host::NotifyReady();
  loop.Run();
  return 0;
}
