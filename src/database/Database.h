// The database settings and the one connection of the processing thread.
// Thread safety: used by the processing thread alone, but for the members marked "for any
// thread".
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Log.h"
#include "common/Mutex.h"
#include "common/Profile.h"
#include "database/Odbc.h"
#include "database/Registry.h"

namespace vnpp::database {

inline constexpr const char* kDatabaseSection = "Database Settings";
inline constexpr const char* kKeyDataSource = "ODBC Data Source";
inline constexpr const char* kKeyUserName = "ODBC Username";
inline constexpr const char* kKeyPassword = "ODBC Password";
// Seconds a connect may take before it fails (0: the driver's own limit).
inline constexpr const char* kKeyLoginTimeout = "Login Timeout";
inline constexpr int kDefaultLoginTimeout = 30;
// Seconds a database call may take before the log says that the database does not answer.
inline constexpr const char* kKeyAnswerTimeout = "Answer Timeout";
inline constexpr int kDefaultAnswerTimeout = 60;
inline constexpr const char* kRegistrySettingsKey = kSettingsKey;
inline constexpr const char* kRegSource = "ODBC_Source";
inline constexpr const char* kRegUser = "ODBC_User";
inline constexpr const char* kRegPass = "ODBC_Pass";

// The database settings and a factory of connections: the one connection of the processing
// thread (ConnectDatabase, Connection) and connections of their own (OpenConnection). The
// settings change only through LoadDatabaseSettings and SetSettings.
class TDatabase {
 public:
  // showError receives one line when a connection is refused: "Error 1501: Unable to connect
  // to database.", the data source (a PWD or Password attribute's value hidden), the user
  // and the driver's text. It must not block the caller.
  explicit TDatabase(std::function<void(const std::string&)> showError);
  ~TDatabase();  // closes a connection that is still open
  TDatabase(const TDatabase&) = delete;
  TDatabase& operator=(const TDatabase&) = delete;

  // Reads the settings from the section "Database Settings" of configFile or, when that
  // names neither a data source nor a user, from the registry file. Logs
  // DataSource + " Database NOT connected." when no data source and no user result.
  // Never throws; a failure (such as an invalid Base64 password) ends it silently.
  void LoadDatabaseSettings(const common::IProfile& configFile, common::ILog& log);
  // Sets the three settings (the password in clear text) as a load would.
  void SetSettings(std::string dataSource, std::string userName, std::string password);

  // Reads the three settings from the registry file's settings key into the outputs, which
  // are emptied first. An absent key gives empty settings and true; false when reading fails.
  [[nodiscard]] bool ReadRegistrySettings(std::string& dataSource, std::string& userName,
                                          std::string& password);

  // Opens the connection unless it is open with unchanged DataSource and UserName. False
  // without a message when DataSource is blank; false after showError when refused. A caller
  // that goes on either way (its queries fail over a closed connection) may ignore the result.
  bool ConnectDatabase();
  // Closes the connection; errors of the closing are swallowed.
  void DisconnectDatabase();
  bool IsConnected() const { return connected_; }

  // The connection the queries run over. It stays the same object between connects; when
  // not connected its statements fail with EDatabaseError.
  TConnection& Connection() { return *connection_; }

  // A connection of its own with the current settings, for a second user of the database
  // beside Connection(). Throws EDatabaseError when refused; nothing is shown.
  [[nodiscard]] std::unique_ptr<TConnection> OpenConnection() const;

  // For any thread. The data source of the last load as it may be shown (a password in it
  // hidden), the answer timeout of the last load, how long the oldest call in progress on
  // Connection() or on a connection of OpenConnection that still exists (its connect included)
  // has taken (0: none runs), and a function that cancels the call on Connection() (see
  // TConnection::Canceller).
  std::string ShownSource() const EXCLUDES(shownMu_);
  int AnswerTimeout() const { return answerTimeout_.load(); }
  double BusySeconds() const EXCLUDES(probesMu_);
  std::function<void()> Canceller() const { return connection_->Canceller(); }

  const std::string& DataSource() const { return dataSource_; }
  const std::string& UserName() const { return userName_; }
  const std::string& Password() const { return password_; }  // clear text
  // The data source and user of the last connect that was not skipped for unchanged settings.
  const std::string& LastDataSource() const { return lastDataSource_; }
  const std::string& LastUserName() const { return lastUserName_; }

 private:
  std::function<void(const std::string&)> showError_;
  const std::unique_ptr<TConnection> connection_;
  std::string dataSource_;
  std::string userName_;
  std::string password_;
  std::string lastDataSource_;
  std::string lastUserName_;
  bool connected_ = false;
  int loginTimeout_ = kDefaultLoginTimeout;  // processing thread only
  std::atomic<int> answerTimeout_{kDefaultAnswerTimeout};
  // BusyProbe of each connection that OpenConnection made and that may still exist.
  mutable common::Mutex probesMu_;
  mutable std::vector<std::function<double()>> probes_ GUARDED_BY(probesMu_);
  mutable common::Mutex shownMu_;
  std::string shownSource_ GUARDED_BY(shownMu_);
};

}  // namespace vnpp::database
