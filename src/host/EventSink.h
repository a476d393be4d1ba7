// Where the host's broadcasts to automation clients go.
#pragma once

#include <string>

namespace vnpp::host {

// The program's own automation object as the host sees it. The automation subsystem
// implements it; without one nothing is broadcast.
// Thread safety: called from the main thread and, while the configuration loads, from the
// processing thread; implementations must not take the processing thread's status lock.
class IEventSink {
 public:
  virtual ~IEventSink() = default;
  // Delivers OnItemChange(appId, item, data) to every connected client.
  virtual void SetItemChange(const std::string& appId, const std::string& item,
                             const std::string& data) = 0;
  // Delivers OnAppShutdown(appId) to every connected client.
  virtual void AppShutdown(const std::string& appId) = 0;
};

// The AppID with which the program itself broadcasts.
inline constexpr const char* kHostAppId = "{3A7D2E91-5C48-4B0F-9E26-81D4F0A7C6B5}";
inline constexpr const char* kItemMessage = "MESSAGE";
inline constexpr const char* kItemPollGroup = "POLLGROUP";

}  // namespace vnpp::host
