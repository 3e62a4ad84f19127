// The program's own resources: the string table and the boot images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace tessarin {

// Boot image resource IDs.
inline constexpr unsigned IDR_BLDR_LOADER = 1;
inline constexpr unsigned IDR_FAT32_BOOT = 130;
inline constexpr unsigned IDR_FAT16_BOOT = 145;
inline constexpr unsigned IDR_MBR_CODE = 166;
// The DOS second stage for the volume's sector 12, which the Linux program
// writes where its formatter left that sector empty.
inline constexpr unsigned IDR_DOS_STAGE2 = 167;

// The size each boot image must have.
inline constexpr std::size_t kMbrCodeSize = 440;
inline constexpr std::size_t kBootSectorSize = 512;
inline constexpr std::size_t kBldrLoaderSize = 422;
inline constexpr std::size_t kDosStage2Size = 512;

struct ImageLoad {
  std::span<const std::uint8_t> bytes;  // empty when the image is missing
  std::uint32_t error = 0;              // the system error code then
  explicit operator bool() const { return !bytes.empty(); }
};

class ResourcePort {
 public:
  virtual ~ResourcePort() = default;

  // A string of the table; empty when it cannot be loaded.
  virtual std::string LoadResString(unsigned id) = 0;

  // A boot image of type "Binary".
  virtual ImageLoad LoadBootImage(unsigned id) = 0;
};

}  // namespace tessarin
