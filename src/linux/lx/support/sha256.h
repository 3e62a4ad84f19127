// SHA-256 of the installer archive for the service record: streamed, so
// that an archive of any size is read once in small pieces.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tessarin::linux_port {

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, std::size_t length);
  // The digest; the object must not be updated afterwards.
  std::array<std::uint8_t, 32> Finish();
  // The digest as 64 lower-case hexadecimal digits.
  std::string FinishHex();

 private:
  void Block(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> pending_{};
  std::size_t pendingLength_ = 0;
  std::uint64_t totalBytes_ = 0;
};

// The digest of a file's contents; none when it cannot be read (errno set).
std::optional<std::string> FileSha256(const std::string& path);

}  // namespace tessarin::linux_port
