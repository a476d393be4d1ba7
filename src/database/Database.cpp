#include "database/Database.h"

#include <algorithm>

#include "common/Text.h"
#include "database/Encrypt.h"
#include "database/Registry.h"

namespace vnpp::database {
namespace {

// With the characters from code 0 up to the blank removed from both ends.
std::string TrimControls(const std::string& s) {
  size_t begin = 0, end = s.size();
  while (begin < end && static_cast<unsigned char>(s[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(s[end - 1]) <= ' ') --end;
  return s.substr(begin, end - begin);
}

// The data source as it may be shown: in a connection string the value of a PWD or Password
// attribute (a braced value may hold ";") is replaced by "***".
std::string ShownDataSource(const std::string& dataSource) {
  if (dataSource.find('=') == std::string::npos) return dataSource;
  std::string shown;
  std::size_t pos = 0;
  while (pos < dataSource.size()) {
    const std::size_t eq = dataSource.find('=', pos);
    if (eq == std::string::npos) {
      shown.append(dataSource, pos, std::string::npos);
      break;
    }
    std::size_t end = eq + 1;
    if (end < dataSource.size() && dataSource[end] == '{') {
      const std::size_t close = dataSource.find('}', end);
      end = close == std::string::npos ? dataSource.size() : close + 1;
    }
    end = std::min(dataSource.find(';', end), dataSource.size());
    const std::string name = common::UpperAscii(TrimControls(dataSource.substr(pos, eq - pos)));
    shown.append(dataSource, pos, eq + 1 - pos);
    shown += name == "PWD" || name == "PASSWORD" ? std::string("***")
                                                 : dataSource.substr(eq + 1, end - eq - 1);
    if (end < dataSource.size()) shown += ';';
    pos = end + 1;
  }
  return shown;
}

// The driver's text on one line.
std::string OneLine(const std::string& text) {
  std::string line;
  for (const char c : text) {
    if (c != '\r' && c != '\n') {
      line += c;
    } else if (!line.empty() && line.back() != ' ') {
      line += ' ';
    }
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

// A number of seconds from the database settings, an integer as every other setting is; the
// default when absent, not a number, negative, or 0 where 0 is not allowed.
int SecondsSetting(const common::IProfile& file, const char* key, int fallback, bool zeroAllowed) {
  std::int32_t value = 0;
  if (!common::TryStrToInt(TrimControls(file.ReadString(kDatabaseSection, key, "")), value)) {
    return fallback;
  }
  return value > 0 || (zeroAllowed && value == 0) ? value : fallback;
}

}  // namespace

TDatabase::TDatabase(std::function<void(const std::string&)> showError)
    : showError_(std::move(showError)), connection_(std::make_unique<TConnection>()) {}

TDatabase::~TDatabase() { DisconnectDatabase(); }

void TDatabase::LoadDatabaseSettings(const common::IProfile& configFile, common::ILog& log) {
  loginTimeout_ = SecondsSetting(configFile, kKeyLoginTimeout, kDefaultLoginTimeout, true);
  connection_->SetLoginTimeout(loginTimeout_);
  answerTimeout_.store(SecondsSetting(configFile, kKeyAnswerTimeout, kDefaultAnswerTimeout, false));
  try {
    dataSource_ = configFile.ReadString(kDatabaseSection, kKeyDataSource, "");
    userName_ = configFile.ReadString(kDatabaseSection, kKeyUserName, "");
    const std::string encoded = configFile.ReadString(kDatabaseSection, kKeyPassword, "");
    if (!TrimControls(dataSource_).empty() || !TrimControls(userName_).empty()) {
      const TVEncrypt encrypt;
      password_ = encrypt.DecodeCredential(Base64Decode(encoded)).Password;
    } else {
      // An unreadable registry file gives empty settings, as an absent one does: both are
      // reported as a database not connected.
      const bool read = ReadRegistrySettings(dataSource_, userName_, password_);
      if (!read || (TrimControls(dataSource_).empty() && TrimControls(userName_).empty())) {
        log.WriteLogAs(common::ILog::TPriority::Warning,
                       dataSource_ + " " + common::kMsgDatabaseNotConnected);
      }
    }
  } catch (...) {
    // Settings that do not load leave the connection to fail later; nothing is logged here.
  }
  common::MutexLock lock(shownMu_);
  shownSource_ = ShownDataSource(dataSource_);
}

std::string TDatabase::ShownSource() const {
  common::MutexLock lock(shownMu_);
  return shownSource_;
}

bool TDatabase::ReadRegistrySettings(std::string& dataSource, std::string& userName,
                                     std::string& password) {
  dataSource.clear();
  userName.clear();
  password.clear();
  try {
    const TRegistryFile registry = TRegistryFile::Load(TRegistryFile::DefaultPath());
    if (!registry.HasKey(kRegistrySettingsKey)) return true;
    const TVEncrypt encrypt;
    dataSource = registry.ReadValue(kRegistrySettingsKey, kRegSource).value_or("");
    userName = registry.ReadValue(kRegistrySettingsKey, kRegUser).value_or("");
    password =
        encrypt.DecodeCredential(registry.ReadValue(kRegistrySettingsKey, kRegPass).value_or(""))
            .Password;
    return true;
  } catch (...) {
    return false;
  }
}

void TDatabase::SetSettings(std::string dataSource, std::string userName, std::string password) {
  dataSource_ = std::move(dataSource);
  userName_ = std::move(userName);
  password_ = std::move(password);
}

bool TDatabase::ConnectDatabase() {
  if (TrimControls(dataSource_).empty()) {
    DisconnectDatabase();
    return false;
  }
  if (dataSource_ != lastDataSource_ || userName_ != lastUserName_) {
    lastDataSource_ = dataSource_;
    lastUserName_ = userName_;
    if (connected_) DisconnectDatabase();
  }
  if (connected_) return true;
  try {
    connection_->Open(dataSource_, userName_, password_);
    connected_ = true;
    return true;
  } catch (const std::exception& e) {
    if (showError_) {
      // Never the password: the user name and the data source with its PWD hidden.
      showError_(std::string(common::kMsgUnableToConnect) + " Data source \"" +
                 ShownDataSource(dataSource_) + "\"" +
                 (userName_.empty() ? std::string() : ", user \"" + userName_ + "\"") + ": " +
                 OneLine(e.what()));
    }
  }
  connection_->Close();
  connected_ = false;
  return false;
}

std::unique_ptr<TConnection> TDatabase::OpenConnection() const {
  auto connection = std::make_unique<TConnection>();
  {
    // Before the connect: a connect that waits for the server is silence too.
    common::MutexLock lock(probesMu_);
    std::erase_if(probes_, [](const std::function<double()>& probe) { return probe() < 0; });
    probes_.push_back(connection->BusyProbe());
  }
  connection->SetLoginTimeout(loginTimeout_);
  connection->Open(dataSource_, userName_, password_);
  return connection;
}

void TDatabase::DisconnectDatabase() {
  if (!connected_) return;
  connection_->Close();
  connected_ = false;
}

double TDatabase::BusySeconds() const {
  double busy = connection_->BusySeconds();
  common::MutexLock lock(probesMu_);
  for (const std::function<double()>& probe : probes_) busy = std::max(busy, probe());
  return busy;
}

}  // namespace vnpp::database
