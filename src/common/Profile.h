// Read access to the settings file, as the inner subsystems see it.
#pragma once

#include <string>

namespace vnpp::common {

class IProfile {
 public:
  virtual ~IProfile() = default;
  // The value of key in section (names compared without regard to case), or def when the
  // key is absent.
  virtual std::string ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const = 0;
};

}  // namespace vnpp::common
