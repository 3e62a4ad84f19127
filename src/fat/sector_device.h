// What the FAT volume layer reads and writes: a device of 512-byte
// sectors, addressed from 0. Transfers report failure with the platform's
// error code (errno, or a Win32 code) instead of throwing.
#pragma once

#include <cstdint>

namespace tessarin::fat {

inline constexpr std::uint32_t kDeviceSectorSize = 512;

struct DeviceResult {
  bool ok = true;
  std::uint32_t systemCode = 0;  // the platform's code when not ok

  static DeviceResult Failed(std::uint32_t code) { return {false, code}; }
};

class SectorDevice {
 public:
  virtual ~SectorDevice() = default;

  // The device's length in sectors.
  virtual std::uint64_t SectorCount() const = 0;
  // count sectors from lba; a transfer that does not complete fails.
  virtual DeviceResult ReadSectors(std::uint64_t lba, std::uint32_t count, std::uint8_t* bytes) = 0;
  virtual DeviceResult WriteSectors(std::uint64_t lba, std::uint32_t count, const std::uint8_t* bytes) = 0;
  // Everything written so far is on the medium.
  virtual DeviceResult Flush() = 0;
};

}  // namespace tessarin::fat
