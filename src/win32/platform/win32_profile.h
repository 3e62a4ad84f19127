// INI files read with the system's profile functions.
#pragma once

#include "card/profile_port.h"

namespace tessarin {

class Win32Profile : public ProfilePort {
 public:
  // GetPrivateProfileStringA into a 260-byte buffer: at most 259
  // characters of the value.
  std::string ReadProfileString(const std::string& section, const std::string& key, const std::string& defaultValue,
                                const std::string& file) override;
  // GetPrivateProfileIntA.
  int ReadProfileInt(const std::string& section, const std::string& key, int defaultValue,
                     const std::string& file) override;
};

}  // namespace tessarin
