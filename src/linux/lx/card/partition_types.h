// The one table of MBR partition types: what the card list calls each, and
// which the panel's card may have first (a FAT partition Windows gives a
// drive letter to).
#pragma once

#include <cstdint>
#include <string>

namespace tessarin::linux_port {

enum class PartitionKind { Empty, Fat, HiddenFat, Extended, Gpt, Other };

struct PartitionType {
  std::uint8_t type;
  PartitionKind kind;
  const char* name;          // as the card list names it: "FAT32 (LBA)"
  const char* sentenceName;  // as a refusal names it, when it does: "NTFS or exFAT"
};

// The type's row; none for a type the table does not know (kind Other).
const PartitionType* FindPartitionType(std::uint8_t type);
PartitionKind KindOfPartition(std::uint8_t type);

// "FAT32 (LBA)", "Linux", "type 0xA8".
std::string PartitionTypeName(std::uint8_t type);

}  // namespace tessarin::linux_port
