#include "lx/card/card_target.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "lx/card/partition_types.h"

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
  switch (KindOfPartition(type)) {
    case PartitionKind::Fat:
      break;
    case PartitionKind::Empty:
      return refuse("holds an MBR whose first partition entry is empty");
    case PartitionKind::Gpt:
      return refuse(
          "holds a GPT partition table (its MBR is the protective one, type EE); "
          "the panel boots only from a card with an MBR partition table");
    case PartitionKind::Extended:
      return refuse(std::string("holds an extended partition (type ") + hex +
                    ") as its first partition, which holds no volume itself");
    case PartitionKind::HiddenFat:
      return refuse(std::string("holds a hidden FAT partition (type ") + hex +
                    ") as its first partition, which Windows gives no drive letter");
    case PartitionKind::Other: {
      const PartitionType* row = FindPartitionType(type);
      const std::string name =
          row != nullptr && row->sentenceName != nullptr ? std::string(" (") + row->sentenceName + ")" : "";
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
