#include "database/Database.h"

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

}  // namespace

TDatabase::TDatabase(std::function<void(const std::string&)> showError)
    : showError_(std::move(showError)), connection_(std::make_unique<TConnection>()) {}

TDatabase::~TDatabase() { DisconnectDatabase(); }

void TDatabase::LoadDatabaseSettings(const common::IProfile& configFile, common::ILog& log) {
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
        log.WriteLog(dataSource_ + " " + common::kMsgDatabaseNotConnected);
      }
    }
  } catch (...) {
    // Settings that do not load leave the connection to fail later; nothing is logged here.
  }
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

bool TDatabase::ConnectDatabase(const std::string& /*sessionName*/) {
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
    if (showError_) showError_(std::string(common::kMsgUnableToConnect) + "\n" + e.what());
  }
  connection_->Close();
  connected_ = false;
  return false;
}

std::unique_ptr<TConnection> TDatabase::OpenConnection() const {
  auto connection = std::make_unique<TConnection>();
  connection->Open(dataSource_, userName_, password_);
  return connection;
}

void TDatabase::DisconnectDatabase() {
  if (!connected_) return;
  connection_->Close();
  connected_ = false;
}

}  // namespace vnpp::database
