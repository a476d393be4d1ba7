// The message log as the inner subsystems see it. The host implements it.
#pragma once

#include <string>

namespace vnpp::common {

// Thread safety: WriteLog and QueueMessage may be called from any thread; the log
// options are single values read without a lock.
class ILog {
 public:
  virtual ~ILog() = default;

  // Stamps the message with the current time and writes it at once (file and broadcast).
  // Never throws.
  virtual void WriteLog(const std::string& message) = 0;

  // WriteLog of a message that the system journal records at the given priority, decided
  // where the message is made. The default writes it as WriteLog does.
  enum class TPriority { Error = 3, Warning = 4, Info = 6 };
  virtual void WriteLogAs(TPriority priority, const std::string& message) {
    static_cast<void>(priority);
    WriteLog(message);
  }

  // Hands a message of the processing thread to the main thread, which writes it on its
  // next timer tick. Never throws.
  virtual void QueueMessage(const std::string& message) = 0;

  // Log options, set by the configuration loader and by automation clients.
  virtual void SetLogMessage(bool on) = 0;
  virtual int LogDetail() const = 0;
  virtual void SetLogDetail(int level) = 0;
};

// Message texts.
inline constexpr const char* kMsgUnableToConnect = "Error 1501: Unable to connect to database.";
inline constexpr const char* kMsgDatabaseNotConnected = "Database NOT connected.";
inline constexpr const char* kMsgReading = "Reading %p.";
inline constexpr const char* kMsgStartupLoaded = "Startup parameters loaded.";
inline constexpr const char* kMsgErrorPrefix = "Error 1500: ";
inline constexpr const char* kMsgDisabled = "Disabled";
inline constexpr const char* kMsgDataFor = "Data for \"%p.%p\" at \"%p\", %p";
inline constexpr const char* kMsgRetrieveData = "PollGroup %p: %p - Retrieve data...";
inline constexpr const char* kMsgFinished = "PollGroup %p: Finished.";
inline constexpr const char* kMsgServiceStarted = "Post processing service started.";
inline constexpr const char* kMsgServiceStopped = "Post processing service stopped.";
inline constexpr const char* kMsgClockBack =
    "Warning: the system clock went back from %p to %p; windows already stored as done are not "
    "computed again.";
inline constexpr const char* kMsgNoConfigFile =
    "Warning: the configuration file %p does not exist; there are no groups to process.";
inline constexpr const char* kMsgNoGroupSection =
    "Warning: the group \"%p\" in GroupNames has no section [%p]; it stays disabled.";

}  // namespace vnpp::common
