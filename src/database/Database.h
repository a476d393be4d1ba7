// The database settings and the one connection of the processing thread.
// Thread safety: used by the processing thread alone; no member is guarded.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "common/Log.h"
#include "common/Profile.h"
#include "database/Odbc.h"

namespace vnpp::database {

inline constexpr const char* kDatabaseSection = "Database Settings";
inline constexpr const char* kKeyDataSource = "ODBC Data Source";
inline constexpr const char* kKeyUserName = "ODBC Username";
inline constexpr const char* kKeyPassword = "ODBC Password";
inline constexpr const char* kRegistrySettingsKey =
    "HKEY_LOCAL_MACHINE\\Software\\Ostrel Corporation\\Varnex\\Settings\\";
inline constexpr const char* kRegSource = "ODBC_Source";
inline constexpr const char* kRegUser = "ODBC_User";
inline constexpr const char* kRegPass = "ODBC_Pass";
// The session name the group run passes to ConnectDatabase.
inline constexpr const char* kSessionName = "VNPostProcSesssion";

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

  // Reads the three settings from the registry file's settings key into the outputs, which
  // are emptied first. An absent key gives empty settings and true; false when reading fails.
  bool ReadRegistrySettings(std::string& dataSource, std::string& userName, std::string& password);

  // Opens the connection unless it is open with unchanged DataSource and UserName. False
  // without a message when DataSource is blank; false after showError when refused. The
  // session name names the caller's session; an ODBC connection has no such name to keep.
  bool ConnectDatabase(const std::string& sessionName);
  // Closes the connection; errors of the closing are swallowed.
  void DisconnectDatabase();

  // A connection of its own with the current settings, for a second user of the database
  // beside Connection(). Throws EDatabaseError when refused; nothing is shown.
  std::unique_ptr<TConnection> OpenConnection() const;

  // The connection the queries run over. It stays the same object between connects; when
  // not connected its statements fail with EDatabaseError.
  TConnection& Connection() { return *connection_; }

  std::string DataSource;
  std::string UserName;
  std::string Password;  // clear text
  std::string LastDataSource;
  std::string LastUserName;
  bool Connected = false;

 private:
  std::function<void(const std::string&)> showError_;
  std::unique_ptr<TConnection> connection_;
};

}  // namespace vnpp::database
