#include "lx/app/platform_ports.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "boot/profile_text.h"
#include "bootcode/boot_images.h"
#include "res/string_table.h"

namespace tessarin::linux_port {

std::string InstalledCardDefinitions() {
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error || program.empty()) return {};
  return (program.parent_path().parent_path() / "share" / "tessarin" / "CFDef.ini").string();
}

std::string LinuxSystem::MakeTimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buf[64];
  const std::size_t n = std::strftime(buf, sizeof buf, "%X", &local);
  return std::string(buf, n);
}

std::string LinuxSystem::LocalDateTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buf[32];
  const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
  return std::string(buf, n);
}

std::uint32_t LinuxSystem::NewCardMark() {
  std::uint32_t mark = 0;
  while (mark == 0) {
    // Blocks only until the kernel's pool is first filled at boot.
    if (getrandom(&mark, sizeof mark, 0) != static_cast<ssize_t>(sizeof mark)) mark = 0;
  }
  return mark;
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

const ProfileText* FileProfile::Load(const std::string& file) {
  const auto known = loaded_.find(file);
  if (known != loaded_.end()) return known->second ? &*known->second : nullptr;
  std::optional<ProfileText>& slot = loaded_[file];
  std::ifstream in(file, std::ios::binary);
  if (!in) return nullptr;
  std::string text;
  char buf[65536];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    text.append(buf, static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxProfileBytes) {
      if (diagnostic_)
        diagnostic_(file + " is larger than " + std::to_string(kMaxProfileBytes >> 20) +
                    " MiB; no card definition file is that large, so it is not read");
      return nullptr;
    }
  }
  slot = ProfileText(text);
  return &*slot;
}

std::string FileProfile::ReadProfileString(const std::string& section, const std::string& key,
                                           const std::string& defaultValue, const std::string& file) {
  return ProfileGetString(Load(file), section, key, defaultValue);
}

int FileProfile::ReadProfileInt(const std::string& section, const std::string& key, int defaultValue,
                                const std::string& file) {
  return ProfileGetInt(Load(file), section, key, defaultValue);
}

}  // namespace tessarin::linux_port
