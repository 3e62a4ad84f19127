#include "win32/platform/win32_profile.h"

#include <windows.h>

namespace tessarin {

std::string Win32Profile::ReadProfileString(const std::string& section, const std::string& key,
                                            const std::string& defaultValue, const std::string& file) {
  char buffer[260] = {};
  GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), buffer, sizeof buffer, file.c_str());
  return buffer;
}

int Win32Profile::ReadProfileInt(const std::string& section, const std::string& key, int defaultValue,
                                 const std::string& file) {
  return static_cast<int>(GetPrivateProfileIntA(section.c_str(), key.c_str(), defaultValue, file.c_str()));
}

}  // namespace tessarin
