// The program's own automation object (HostComObject): created at start on the bus of the
// run mode and watched by the main loop.
#pragma once

#include <memory>

#include "automation/VNPostProcCom.h"
#include "common/EventSink.h"
#include "host/MainLoop.h"

namespace vnpp::host {

// Thread safety: main thread only (the object it holds takes broadcasts from any thread).
class THostComObject {
 public:
  // Creates the object on the bus that VNPPSVC_BUS or the run mode chooses and registers it
  // with loop. On failure (no bus, the name taken) one error line is shown and there is no
  // object: the program runs on without broadcasts; a batch run (quiet) shows nothing then.
  // loop must outlive this object.
  THostComObject(TMainLoop& loop, bool serviceMode, bool quiet = false);
  // Close.
  ~THostComObject();
  THostComObject(const THostComObject&) = delete;
  THostComObject& operator=(const THostComObject&) = delete;

  // The broadcast target for the main object; nullptr when there is none.
  common::IEventSink* Sink() { return com_.get(); }
  automation::TVNPostProcCOM* Get() { return com_.get(); }
  // What the object's members act on. REQUIRES: control outlives this object or Close.
  void SetControl(automation::IServiceControl* control);
  // Sends what is queued, ends the object's control thread and leaves the bus. Call once the
  // main loop has ended and before the control (the main object) goes away.
  void Close();

 private:
  TMainLoop& loop_;
  std::unique_ptr<automation::TVNPostProcCOM> com_;
};

}  // namespace vnpp::host
