#include "lx/card/partition_types.h"

#include <cstdio>
#include <iterator>

namespace tessarin::linux_port {
namespace {

using enum PartitionKind;

constexpr PartitionType kPartitionTypes[] = {
    {0x00, Empty, "empty", nullptr},
    {0x01, Fat, "FAT12", nullptr},
    {0x04, Fat, "FAT16 (small)", nullptr},
    {0x05, Extended, "extended", nullptr},
    {0x06, Fat, "FAT16", nullptr},
    {0x07, Other, "NTFS/exFAT", "NTFS or exFAT"},
    {0x0B, Fat, "FAT32 (CHS)", nullptr},
    {0x0C, Fat, "FAT32 (LBA)", nullptr},
    {0x0E, Fat, "FAT16 (LBA)", nullptr},
    {0x0F, Extended, "extended (LBA)", nullptr},
    {0x11, HiddenFat, "hidden FAT", nullptr},
    {0x14, HiddenFat, "hidden FAT", nullptr},
    {0x16, HiddenFat, "hidden FAT", nullptr},
    {0x1B, HiddenFat, "hidden FAT", nullptr},
    {0x1C, HiddenFat, "hidden FAT", nullptr},
    {0x1E, HiddenFat, "hidden FAT", nullptr},
    {0x82, Other, "Linux swap", "Linux swap"},
    {0x83, Other, "Linux", "Linux"},
    {0x85, Extended, "Linux extended", nullptr},
    {0x8E, Other, "Linux LVM", "Linux LVM"},
    {0xA5, Other, "FreeBSD", nullptr},
    {0xEE, Gpt, "GPT (protective)", nullptr},
    {0xEF, Other, "EFI system", "EFI system"},
    {0xFD, Other, "Linux RAID", "Linux RAID"},
};

}  // namespace

const PartitionType* FindPartitionType(std::uint8_t type) {
  for (const PartitionType& row : kPartitionTypes)
    if (row.type == type) return &row;
  return nullptr;
}

PartitionKind KindOfPartition(std::uint8_t type) {
  const PartitionType* row = FindPartitionType(type);
  return row != nullptr ? row->kind : Other;
}

std::string PartitionTypeName(std::uint8_t type) {
  if (const PartitionType* row = FindPartitionType(type)) return row->name;
  char buf[16];
  std::snprintf(buf, sizeof buf, "type 0x%02X", type);
  return buf;
}

}  // namespace tessarin::linux_port
