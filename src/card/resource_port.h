// The program's own resources: the string table and the boot images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "card/failure.h"
// The boot images' resource IDs (IDR_*).
#include "res/resource_ids.h"

namespace tessarin {

// The size each boot image must have.
inline constexpr std::size_t kMbrCodeSize = 440;
inline constexpr std::size_t kBootSectorSize = 512;
inline constexpr std::size_t kBldrLoaderSize = 422;
inline constexpr std::size_t kDosStage2Size = 512;

struct ImageLoad {
  std::span<const std::uint8_t> bytes;  // empty when the image is missing
  Failure error;                        // why, then
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
