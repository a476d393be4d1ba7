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
    DataSource = configFile.ReadString(kDatabaseSection, kKeyDataSource, "");
    UserName = configFile.ReadString(kDatabaseSection, kKeyUserName, "");
    const std::string encoded = configFile.ReadString(kDatabaseSection, kKeyPassword, "");
    if (!TrimControls(DataSource).empty() || !TrimControls(UserName).empty()) {
      const TVEncrypt encrypt;
      Password = encrypt.DecodeCredential(Base64Decode(encoded)).Password;
    } else {
      ReadRegistrySettings(DataSource, UserName, Password);
      if (TrimControls(DataSource).empty() && TrimControls(UserName).empty()) {
        log.WriteLogAs(common::ILog::TPriority::Warning,
                       DataSource + " " + common::kMsgDatabaseNotConnected);
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

bool TDatabase::ConnectDatabase(const std::string& /*sessionName*/) {
  if (TrimControls(DataSource).empty()) {
    DisconnectDatabase();
    return false;
  }
  if (DataSource != LastDataSource || UserName != LastUserName) {
    LastDataSource = DataSource;
    LastUserName = UserName;
    if (Connected) DisconnectDatabase();
  }
  if (Connected) return true;
  try {
    connection_->Open(DataSource, UserName, Password);
    Connected = true;
    return true;
  } catch (const std::exception& e) {
    if (showError_) showError_(std::string(common::kMsgUnableToConnect) + "\n" + e.what());
  }
  connection_->Close();
  Connected = false;
  return false;
}

void TDatabase::DisconnectDatabase() {
  if (!Connected) return;
  connection_->Close();
  Connected = false;
}

}  // namespace vnpp::database
