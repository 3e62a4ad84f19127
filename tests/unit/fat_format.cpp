#include "fat_format.h"

#include <cstring>
#include <stdexcept>

namespace tessarin::test {
namespace {

void Put16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  Put16(p, v);
  Put16(p + 2, v >> 16);
}

}  // namespace

FatLayout FormatVolume(SparseDevice& device, fat::FatType type, std::uint64_t first, std::uint32_t sectors,
                       std::uint32_t minSectorsPerCluster) {
  FatLayout l;
  l.type = type;
  l.first = first;
  l.sectors = sectors;
  l.reserved = type == fat::FatType::Fat32 ? 32 : 1;
  l.rootEntries = type == fat::FatType::Fat32 ? 0 : 512;
  const std::uint32_t rootSectors = l.rootEntries * 32 / 512;
  // The smallest cluster that keeps the count below the type's ceiling.
  const std::uint32_t ceiling = type == fat::FatType::Fat12 ? 4084 : type == fat::FatType::Fat16 ? 65524 : 0x0FFFFFF4;
  for (l.sectorsPerCluster = minSectorsPerCluster;; l.sectorsPerCluster *= 2) {
    if (l.sectorsPerCluster > 128) throw std::invalid_argument("no cluster size fits");
    l.fatSectors = 1;
    for (int round = 0; round < 8; ++round) {
      const std::uint32_t data = sectors - l.reserved - 2 * l.fatSectors - rootSectors;
      l.clusters = data / l.sectorsPerCluster;
      const std::uint64_t entries = std::uint64_t(l.clusters) + 2;
      const std::uint64_t bytes = type == fat::FatType::Fat12   ? (entries * 3 + 1) / 2
                                  : type == fat::FatType::Fat16 ? entries * 2
                                                                : entries * 4;
      l.fatSectors = static_cast<std::uint32_t>((bytes + 511) / 512);
    }
    l.clusters = (sectors - l.reserved - 2 * l.fatSectors - rootSectors) / l.sectorsPerCluster;
    if (l.clusters <= ceiling) break;
  }
  const std::uint32_t floor = type == fat::FatType::Fat12 ? 1 : type == fat::FatType::Fat16 ? 4085 : 65525;
  if (l.clusters < floor) throw std::invalid_argument("too few sectors for the FAT type");

  SparseDevice::Sector boot{};
  std::uint8_t* b = boot.data();
  b[0] = 0xEB;
  b[1] = type == fat::FatType::Fat32 ? 0x58 : 0x3C;
  b[2] = 0x90;
  std::memcpy(b + 3, "mkfs.fat", 8);
  Put16(b + 11, 512);
  b[13] = static_cast<std::uint8_t>(l.sectorsPerCluster);
  Put16(b + 14, l.reserved);
  b[16] = 2;
  Put16(b + 17, l.rootEntries);
  if (sectors < 65536 && type != fat::FatType::Fat32) {
    Put16(b + 19, sectors);
  } else {
    Put32(b + 32, sectors);
  }
  b[21] = 0xF8;
  Put16(b + 24, 63);
  Put16(b + 26, 16);
  Put32(b + 28, static_cast<std::uint32_t>(first));
  std::uint8_t* ext = b + 36;
  if (type == fat::FatType::Fat32) {
    Put32(b + 36, l.fatSectors);
    Put32(b + 44, 2);  // root cluster
    Put16(b + 48, 1);  // FSInfo
    Put16(b + 50, 6);  // backup boot sector
    ext = b + 64;
  } else {
    Put16(b + 22, l.fatSectors);
  }
  ext[0] = 0x80;
  ext[2] = 0x29;
  Put32(ext + 3, 0x12345678);
  std::memcpy(ext + 7, "NO NAME    ", 11);
  std::memcpy(ext + 18,
              type == fat::FatType::Fat32   ? "FAT32   "
              : type == fat::FatType::Fat16 ? "FAT16   "
                                            : "FAT12   ",
              8);
  b[510] = 0x55;
  b[511] = 0xAA;
  device.Zero(first, sectors);
  device.Put(first, boot);

  SparseDevice::Sector fat{};
  if (type == fat::FatType::Fat12) {
    fat[0] = 0xF8;
    fat[1] = 0xFF;
    fat[2] = 0xFF;
  } else if (type == fat::FatType::Fat16) {
    Put16(fat.data(), 0xFFF8);
    Put16(fat.data() + 2, 0xFFFF);
  } else {
    Put32(fat.data(), 0x0FFFFFF8);
    Put32(fat.data() + 4, 0x0FFFFFFF);
    Put32(fat.data() + 8, 0x0FFFFFFF);  // the root folder's cluster
  }
  device.Put(l.Fat(0), fat);
  device.Put(l.Fat(1), fat);

  if (type == fat::FatType::Fat32) {
    SparseDevice::Sector info{};
    Put32(info.data(), 0x41615252);
    Put32(info.data() + 484, 0x61417272);
    Put32(info.data() + 488, l.clusters - 1);
    Put32(info.data() + 492, 3);
    Put32(info.data() + 508, 0xAA550000);
    device.Put(first + 1, info);
    device.Put(first + 6, boot);
    device.Put(first + 7, info);
  }
  return l;
}

}  // namespace tessarin::test
