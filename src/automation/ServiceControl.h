// What the automation object's members act on: the main object's operations.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "common/GroupStatus.h"

namespace vnpp::automation {

// The rows of VNPPSvc.Status1.Groups.
using common::TGroupStatus;

// Implemented by the main object. The automation object calls every member but two on the
// main thread, from its method handlers; they must answer without waiting for the processing
// thread to do work. StartProcessing and StopProcessing run on the object's control thread
// and may wait for the processing thread to end.
// Exceptions: the object catches every exception; the member then reports success (the
// readers give their empty value).
class IServiceControl {
 public:
  virtual ~IServiceControl() = default;
  virtual int GetLogDetail() const = 0;
  virtual void SetLogDetail(int level) = 0;
  virtual std::string NextPollGroup() const = 0;
  virtual common::TDateTime NextPollTime() const = 0;
  virtual bool IsProcessing() const = 0;
  virtual void RunProcessGroup(int index) = 0;
  virtual void StopProcessGroup() = 0;
  virtual std::vector<TGroupStatus> GroupStatus() const = 0;
  // The warnings and the error of the last load of the configuration (a missing file, a
  // group without its section), as the log has them.
  virtual std::vector<std::string> ConfigurationProblems() const { return {}; }
  // Queues a recompute of every window of every entry of the group at list position index
  // inside [from, to) and returns its request id at once; 0 with the reason in error when
  // the request is refused (nothing is queued then). The end is announced through
  // common::IEventSink::RecomputeFinished with the same id.
  virtual std::uint64_t Recompute(int /*index*/, common::TDateTime /*from*/,
                                  common::TDateTime /*to*/, std::string& error) {
    error = "recompute is not offered";
    return 0;
  }
  // Control thread.
  virtual void StartProcessing() = 0;
  virtual void StopProcessing() = 0;
};

}  // namespace vnpp::automation
