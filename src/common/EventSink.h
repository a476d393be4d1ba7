// Where the program's broadcasts to automation clients go.
#pragma once

#include <cstdint>
#include <string>

namespace vnpp::common {

// The program's own automation object (HostComObject) as the rest of the program sees it.
// The automation subsystem implements it; without one nothing is broadcast.
// Thread safety: called from any thread (the main thread; the processing thread while the
// configuration loads; the control thread of the automation object). Implementations return
// at once: they hand the event to the thread that talks to clients and never wait for a
// client, and they take no lock of the caller's.
class IEventSink {
 public:
  virtual ~IEventSink() = default;
  // Delivers OnItemChange(appId, item, data) to every connected client.
  virtual void SetItemChange(const std::string& appId, const std::string& item,
                             const std::string& data) = 0;
  // Delivers OnAppShutdown(appId) to every connected client.
  virtual void AppShutdown(const std::string& appId) = 0;
  // Tells operators' clients that the group at list position index has finished a run
  // that was not stopped or cancelled: windows computed and entries failed in it.
  virtual void GroupRunFinished(int /*index*/, std::int64_t /*windows*/,
                                std::int64_t /*failedEntries*/) {}
  // Tells operators' clients that the recompute request requestId has ended, with what it
  // checked and wrote; an entry it did not reach (the request was dropped) counts as failed.
  virtual void RecomputeFinished(std::uint64_t /*requestId*/, std::int64_t /*windowsChecked*/,
                                 std::int64_t /*rowsWritten*/, std::int64_t /*rowsDeleted*/,
                                 std::int64_t /*failedEntries*/) {}
};

// The AppID with which the program itself broadcasts.
inline constexpr const char* kHostAppId = "{3A7D2E91-5C48-4B0F-9E26-81D4F0A7C6B5}";
inline constexpr const char* kItemMessage = "MESSAGE";
inline constexpr const char* kItemPollGroup = "POLLGROUP";

}  // namespace vnpp::common
