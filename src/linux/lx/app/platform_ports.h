// The small ports of the Linux program: time and errors, the program's
// resources, and INI files.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "boot/profile_text.h"
#include "card/profile_port.h"
#include "card/resource_port.h"
#include "card/system_port.h"

namespace tessarin::linux_port {

// The card definitions installed with the program: share/tessarin/CFDef.ini
// under the folder above the running program's own (/usr/bin/tessarin reads
// /usr/share/tessarin/CFDef.ini), so that an installed program finds its
// sample wherever the prefix was. Empty when the program cannot be found.
std::string InstalledCardDefinitions();

class LinuxSystem final : public SystemPort {
 public:
  // The local time in the locale's time format (LC_TIME).
  std::string MakeTimeStamp() override;
  std::string LocalDateTime() override;
  // From getrandom(2): the kernel's generator, never a clock or a counter
  // that another restore could repeat.
  std::uint32_t NewCardMark() override;
  void Sleep(unsigned milliseconds) override;
  // An errno code with strerror's text; a failure the restore found itself
  // with a sentence of its own and no number.
  FailureDescription DescribeFailure(const Failure& failure) override;
  // strerror's text, or none for a code the system does not know.
  static std::optional<std::string> ErrnoText(int code);
  // Drive types and the system drive mean nothing here; the drive-list
  // rules they feed are not part of the Linux program.
  DriveType DriveTypeOf(char) override { return DriveType::Unknown; }
  char SystemDriveLetter() override { return '\0'; }

  // Time spent in the pauses the restore prescribes.
  std::chrono::milliseconds paused() const { return paused_; }

 private:
  std::chrono::milliseconds paused_{0};
};

// The string table and the boot images built into the program.
class BuiltInResources final : public ResourcePort {
 public:
  std::string LoadResString(unsigned id) override;
  ImageLoad LoadBootImage(unsigned id) override;
};

// INI files read once each, whole, and only up to a size no card
// definition file comes near; a larger one is not read at all.
class FileProfile final : public ProfilePort {
 public:
  static constexpr std::uintmax_t kMaxProfileBytes = 1 << 20;

  explicit FileProfile(std::function<void(const std::string&)> diagnostic = {}) : diagnostic_(std::move(diagnostic)) {}

  std::string ReadProfileString(const std::string& section, const std::string& key, const std::string& defaultValue,
                                const std::string& file) override;
  int ReadProfileInt(const std::string& section, const std::string& key, int defaultValue,
                     const std::string& file) override;

 private:
  // The file's text as first read; none when it could not be read.
  const ProfileText* Load(const std::string& file);

  std::function<void(const std::string&)> diagnostic_;
  std::map<std::string, std::optional<ProfileText>> loaded_;
};

}  // namespace tessarin::linux_port
