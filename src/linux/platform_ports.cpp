#include "linux/platform_ports.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

#include "boot/profile_text.h"
#include "bootcode/boot_images.h"
#include "res/string_table.h"

namespace tessarin::linux_port {
namespace {

// The file's text; none when it cannot be read (the profile functions then
// answer with the default).
std::optional<ProfileText> LoadProfile(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream s;
  s << in.rdbuf();
  return ProfileText(s.str());
}

}  // namespace

std::string LinuxSystem::MakeTimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buf[64];
  const std::size_t n = std::strftime(buf, sizeof buf, "%X", &local);
  return std::string(buf, n);
}

void LinuxSystem::Sleep(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  paused_ += std::chrono::milliseconds(milliseconds);
}

std::optional<std::string> LinuxSystem::ErrnoText(int code) {
  if (code <= 0 || code > 4095) return std::nullopt;
  char buf[256];
  const char* text = strerror_r(code, buf, sizeof buf);
  if (text == nullptr || std::strncmp(text, "Unknown error", 13) == 0) return std::nullopt;
  return std::string(text);
}

FailureDescription LinuxSystem::DescribeFailure(const Failure& failure) {
  switch (failure.origin) {
    case CodeOrigin::Errno:
      return {failure.code, ErrnoText(static_cast<int>(failure.code))};
    case CodeOrigin::Win32:
      // Not a code of this system: shown as it came, without a text.
      return {failure.code, std::nullopt};
    case CodeOrigin::None:
      break;
  }
  // Found by the restore itself: no number of this system names it.
  return {std::nullopt, std::string(FailureSentence(failure.kind))};
}

std::string BuiltInResources::LoadResString(unsigned id) { return TableString(id); }

ImageLoad BuiltInResources::LoadBootImage(unsigned id) {
  ImageLoad load;
  load.bytes = EmbeddedBootImage(id);
  if (load.bytes.empty()) load.error = Failure::Own(FailureKind::NotFound);
  return load;
}

std::string FileProfile::ReadProfileString(const std::string& section, const std::string& key,
                                           const std::string& defaultValue, const std::string& file) {
  const auto profile = LoadProfile(file);
  return ProfileGetString(profile ? &*profile : nullptr, section, key, defaultValue);
}

int FileProfile::ReadProfileInt(const std::string& section, const std::string& key, int defaultValue,
                                const std::string& file) {
  const auto profile = LoadProfile(file);
  return ProfileGetInt(profile ? &*profile : nullptr, section, key, defaultValue);
}

}  // namespace tessarin::linux_port
