// Reading an INI file with the semantics of the Windows profile functions.
#pragma once

#include <string>

namespace tessarin {

class ProfilePort {
 public:
  virtual ~ProfilePort() = default;

  // The value of a key, at most 259 characters; the default when the file,
  // the section or the key is missing.
  virtual std::string ReadProfileString(const std::string& section, const std::string& key,
                                        const std::string& defaultValue, const std::string& file) = 0;

  // The value of a key read as an integer; the default when missing.
  virtual int ReadProfileInt(const std::string& section, const std::string& key, int defaultValue,
                             const std::string& file) = 0;
};

}  // namespace tessarin
