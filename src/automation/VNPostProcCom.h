// The automation object on D-Bus: bus name VNPPSvc.VNPostProcCom, object path
// /VNPPSvc/VNPostProcCom, interfaces VNPPSvc.IVNPostProcCom (methods and properties),
// VNPPSvc.IVNPostProcComEvents (the broadcast signals), VNPPSvc.Status1 (the operators'
// view of the groups) and VNPPSvc.Operator1 (operators' requests: Recompute), as
// VNPPSvc.IVNPostProcCom.xml describes them.
//
// Threads:
// - The main thread does every bus call: it watches the connection through the poll source
//   (Prepare/Dispatch), runs the method handlers and sends the signals and replies.
// - Any thread may broadcast (SetItemChange, AppShutdown, GroupRunFinished,
//   RecomputeFinished): the signal goes into a queue and the main thread is woken through
//   the poster to send it. A broadcast never waits for the bus or for a client.
// - StartProcess and StopProcess, which wait for the processing thread, run on the object's
//   control thread; their replies go back to the main thread, which goes on serving other
//   calls and sending signals meanwhile.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "automation/ServiceControl.h"
#include "common/DateTime.h"
#include "common/EventSink.h"
#include "common/PollSource.h"

namespace vnpp::automation {

enum class TBusKind { Session, System };

// The bus for a run: VNPPSVC_BUS ("session" or "system", any case) when set, else the
// system bus in service mode and the session bus in desktop mode.
// Throws common::EPostProcError for another VNPPSVC_BUS value.
TBusKind ChooseBus(bool serviceMode);
const char* BusKindName(TBusKind bus);  // "session" or "system"

// IsAlive's text of t: "yyyy/mm/dd hh:mm:ss" with the regional date and time separators.
std::string IsAliveText(common::TDateTime t);

// Runs fn on the main thread, later; callable from any thread (the main loop's Post).
using TPoster = std::function<void(std::function<void()>)>;

class TVNPostProcCOM final : public common::IEventSink, public common::IPollSource {
 public:
  // Connects to bus, registers the object with its interfaces and takes the bus name.
  // Throws common::EPostProcError with the reason when the bus cannot be reached or the
  // name is taken. Main thread. post must stay usable until Close.
  TVNPostProcCOM(TBusKind bus, TPoster post);
  // Close, when not done yet. Main thread.
  ~TVNPostProcCOM() override;
  TVNPostProcCOM(const TVNPostProcCOM&) = delete;
  TVNPostProcCOM& operator=(const TVNPostProcCOM&) = delete;

  // The operations the members act on; until set (and after SetControl(nullptr)) the
  // readers give empty values and the control members do nothing. control must outlive
  // its use; main thread.
  void SetControl(IServiceControl* control);

  // Ends the control thread (a StartProcess or StopProcess in progress finishes first;
  // those not begun get an error reply), sends every queued signal and reply, and leaves
  // the bus. Broadcasts after Close are dropped. Main thread; a second call does nothing.
  void Close();

  // The unique bus name of the object's connection (":1.42").
  std::string UniqueName() const;

  // common::IEventSink: any thread, never blocks.
  void SetItemChange(const std::string& appId, const std::string& item,
                     const std::string& data) override;
  void AppShutdown(const std::string& appId) override;
  void GroupRunFinished(int index, std::int64_t windows, std::int64_t failedEntries) override;
  void RecomputeFinished(std::uint64_t requestId, std::int64_t windowsChecked,
                         std::int64_t rowsWritten, std::int64_t rowsDeleted,
                         std::int64_t failedEntries) override;

  // common::IPollSource: main thread.
  common::TPollData Prepare() override;
  void Dispatch(short revents) override;

  // Broadcasts dropped because the queue was full (a main thread that has stopped
  // serving) or the connection refused them.
  std::uint64_t DroppedSignals() const;

  class TImpl;

 private:
  std::shared_ptr<TImpl> impl_;
};

}  // namespace vnpp::automation
