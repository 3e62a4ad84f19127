// Fresh FAT volumes for the unit suite, laid out as mkfs.fat lays them out
// (two FATs; FAT32 with FSInfo in sector 1 and the backup boot sector in
// sector 6).
#pragma once

#include <cstdint>

#include "fat/fat_volume.h"
#include "shared/sparse_device.h"

namespace tessarin::test {

struct FatLayout {
  fat::FatType type = fat::FatType::Fat32;
  std::uint64_t first = 0;    // the volume's first device sector
  std::uint32_t sectors = 0;  // its length
  std::uint32_t sectorsPerCluster = 1;
  std::uint32_t reserved = 0;
  std::uint32_t fatSectors = 0;
  std::uint32_t rootEntries = 0;
  std::uint32_t clusters = 0;

  std::uint64_t Fat(int copy) const { return first + reserved + std::uint64_t(copy) * fatSectors; }
  std::uint64_t Root() const { return Fat(2); }
  std::uint64_t Cluster(std::uint32_t n) const {
    return Root() + rootEntries * 32 / 512 + std::uint64_t(n - 2) * sectorsPerCluster;
  }
};

// Formats sectors [first, first + sectors) of the device. The cluster size
// is the smallest from minSectorsPerCluster on that makes the volume of
// the type asked for.
FatLayout FormatVolume(SparseDevice& device, fat::FatType type, std::uint64_t first, std::uint32_t sectors,
                       std::uint32_t minSectorsPerCluster = 1);

}  // namespace tessarin::test
