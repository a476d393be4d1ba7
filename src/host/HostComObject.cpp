#include "host/HostComObject.h"

#include <exception>
#include <string>

#include "host/MessageLog.h"
#include "host/ServiceMain.h"

namespace vnpp::host {

THostComObject::THostComObject(TMainLoop& loop, bool serviceMode, bool quiet) : loop_(loop) {
  try {
    const automation::TBusKind bus = automation::ChooseBus(serviceMode);
    com_ = std::make_unique<automation::TVNPostProcCOM>(
        bus, [&loop](std::function<void()> work) { loop.Post(std::move(work)); });
    loop_.AddPollSource(com_.get());
  } catch (const std::exception& e) {
    if (!quiet) ShowOperatorMessage(e.what());
    com_.reset();
  }
}

THostComObject::~THostComObject() {
  Close();
  com_.reset();
}

void THostComObject::SetControl(automation::IServiceControl* control) {
  if (com_) com_->SetControl(control);
}

void THostComObject::Close() {
  if (!com_) return;
  loop_.RemovePollSource(com_.get());
  // The closed object stays until this one goes: the main object may still hold it as its
  // broadcast target, and broadcasts to a closed object are dropped.
  com_->Close();
  com_->SetControl(nullptr);
}

}  // namespace vnpp::host
