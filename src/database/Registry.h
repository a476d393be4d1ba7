// The machine-wide settings key on Linux: a file in the registry export format
// ("Windows Registry Editor Version 5.00" or "REGEDIT4", UTF-16LE or 8-bit), read only.
// Thread safety: a loaded TRegistryFile is immutable.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>

#include "common/Error.h"

namespace vnpp::database {

// The registry file's key of the settings (the database's among them).
inline constexpr const char* kSettingsKey =
    "HKEY_LOCAL_MACHINE\\Software\\Ostrel Corporation\\Varnex\\Settings";

class ERegistryError : public common::EPostProcError {
 public:
  using EPostProcError::EPostProcError;
};

inline constexpr const char* kDefaultRegistryPath = "/etc/vnppsvc/hklm.reg";
inline constexpr const char* kRegistryPathVariable = "VNPPSVC_REGISTRY";
// The largest registry file Load reads. The settings key needs a few hundred bytes; the
// bound keeps a wrong path (a device, a huge export) from filling the memory.
inline constexpr std::size_t kMaxRegistryFileSize = 16 * 1024 * 1024;

class TRegistryFile {
 public:
  // VNPPSVC_REGISTRY when set and not empty, else /etc/vnppsvc/hklm.reg.
  static std::string DefaultPath();

  // Reads the file. A file that is missing or cannot be opened holds no keys. Throws
  // ERegistryError, naming the file, when it is not a regular file, is larger than
  // kMaxRegistryFileSize, cannot be read or does not start with a registry export header.
  static TRegistryFile Load(const std::string& path);
  // Reads text in the same format. A UTF-16 text gives each code unit as one byte (the
  // Windows-1252 characters of 0x80 to 0x9F as those bytes, any other unit above 0xFF as
  // '?'), since every value is an 8-bit text or raw bytes.
  static TRegistryFile Parse(const std::string& text);

  // keyPath is a full path ("HKEY_LOCAL_MACHINE\Software\..."); leading and trailing
  // backslashes and letter case do not matter.
  bool HasKey(const std::string& keyPath) const;
  // The bytes of a string value (escapes resolved) or of a hex value; nullopt when the key
  // or the value is absent. Value names match without regard to case.
  std::optional<std::string> ReadValue(const std::string& keyPath, const std::string& name) const;

 private:
  // Lower-cased key path -> lower-cased value name -> bytes.
  std::map<std::string, std::map<std::string, std::string>> keys_;
};

}  // namespace vnpp::database
