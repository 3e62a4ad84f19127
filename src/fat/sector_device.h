// What the FAT volume layer reads and writes: a device of 512-byte
// sectors, addressed from 0. Transfers report failure in the restore's
// terms, with the platform's code beside it (errno, or a Win32 code),
// instead of throwing.
#pragma once

#include <cstdint>

#include "card/failure.h"

namespace tessarin::fat {

inline constexpr std::uint32_t kDeviceSectorSize = 512;

class SectorDevice {
 public:
  virtual ~SectorDevice() = default;

  // The device's length in sectors.
  virtual std::uint64_t SectorCount() const = 0;
  // count sectors from lba; a transfer that does not complete fails. No
  // failure (FailureKind::None) when it worked.
  virtual Failure ReadSectors(std::uint64_t lba, std::uint32_t count, std::uint8_t* bytes) = 0;
  virtual Failure WriteSectors(std::uint64_t lba, std::uint32_t count, const std::uint8_t* bytes) = 0;
  // Everything written so far is on the medium.
  virtual Failure Flush() = 0;
};

}  // namespace tessarin::fat
