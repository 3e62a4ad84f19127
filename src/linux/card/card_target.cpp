#include "lx/card/card_target.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace tessarin::linux_port {
namespace {

std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

}  // namespace

std::optional<PartitionExtent> FirstPartition(const std::uint8_t* mbr, std::uint64_t diskSectors, std::string* why) {
  auto refuse = [why](std::string text) -> std::optional<PartitionExtent> {
    if (why != nullptr) *why = std::move(text);
    return std::nullopt;
  };
  const bool signature = mbr[510] == 0x55 && mbr[511] == 0xAA;
  // A FAT boot sector in the disk's first sector: formatted as a whole,
  // without a partition table.
  const unsigned bytesPerSector = mbr[11] | mbr[12] << 8;
  if (signature && (mbr[0] == 0xEB || mbr[0] == 0xE9) && bytesPerSector == 512 && mbr[13] != 0 &&
      (mbr[21] == 0xF0 || mbr[21] >= 0xF8) &&
      (std::memcmp(mbr + 54, "FAT", 3) == 0 || std::memcmp(mbr + 82, "FAT", 3) == 0))
    return refuse(
        "holds a FAT volume without a partition table (formatted as a whole, a \"superfloppy\"); "
        "the panel boots only from a card with an MBR partition table");
  if (!signature) return refuse("holds no partition table (its first sector carries no MBR boot signature)");
  const std::uint8_t* entry = mbr + 446;
  const std::uint8_t type = entry[4];
  char hex[8];
  std::snprintf(hex, sizeof hex, "%02X", type);
  switch (type) {
    case 0x01:  // FAT12
    case 0x04:  // FAT16 below 32 MB
    case 0x06:  // FAT16
    case 0x0B:  // FAT32
    case 0x0C:  // FAT32 (LBA)
    case 0x0E:  // FAT16 (LBA)
      break;
    case 0x00:
      return refuse("holds an MBR whose first partition entry is empty");
    case 0xEE:
      return refuse(
          "holds a GPT partition table (its MBR is the protective one, type EE); "
          "the panel boots only from a card with an MBR partition table");
    case 0x05:
    case 0x0F:
    case 0x85:
      return refuse(std::string("holds an extended partition (type ") + hex +
                    ") as its first partition, which holds no volume itself");
    case 0x11:
    case 0x14:
    case 0x16:
    case 0x1B:
    case 0x1C:
    case 0x1E:
      return refuse(std::string("holds a hidden FAT partition (type ") + hex +
                    ") as its first partition, which Windows gives no drive letter");
    default: {
      const char* name = type == 0x07   ? " (NTFS or exFAT)"
                         : type == 0x83 ? " (Linux)"
                         : type == 0x82 ? " (Linux swap)"
                         : type == 0x8E ? " (Linux LVM)"
                         : type == 0xFD ? " (Linux RAID)"
                         : type == 0xEF ? " (EFI system)"
                                        : "";
      return refuse(std::string("holds a partition of type ") + hex + name +
                    " as its first partition, not a FAT partition");
    }
  }
  PartitionExtent p{Le32(entry + 8), Le32(entry + 12)};
  if (p.start == 0 || p.sectors == 0) return refuse("holds an MBR whose first partition has no extent");
  if (std::uint64_t{p.start} + p.sectors > diskSectors)
    return refuse("holds an MBR whose first partition reaches beyond the end of the card");
  return p;
}

}  // namespace tessarin::linux_port
