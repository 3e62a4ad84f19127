// What a card's first sectors say about it, read without changing a byte:
// the partition table's first entry, and the FAT volume in it with its
// label and serial number. For the card list and for the identity of a
// restored card in the reports.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "lx/card/partition_types.h"

namespace tessarin::linux_port {

// Reads length bytes at offset; false when they cannot all be read.
using ReadAt = std::function<bool(std::uint64_t offset, std::uint8_t* bytes, std::size_t length)>;

// A FAT volume's identity from its boot sector and root folder.
struct VolumeIdentity {
  std::string fileSystem;  // "FAT12", "FAT16" or "FAT32"
  std::string label;       // the root folder's label entry, else the boot sector's; blanks trimmed
  std::optional<std::uint32_t> serial;
};

struct CardSummary {
  enum class Layout {
    Unreadable,      // sector 0 could not be read
    Blank,           // no boot signature: neither a partition table nor a volume
    PartitionTable,  // an MBR
    Superfloppy,     // a FAT volume from sector 0, without a partition table
  };
  Layout layout = Layout::Unreadable;
  std::uint8_t type = 0;  // the first entry's type byte (PartitionTable)
  std::uint32_t start = 0;
  std::uint32_t sectors = 0;
  std::optional<VolumeIdentity> volume;  // when a FAT volume was found
};

// The identity of the FAT volume whose boot sector is at offset; none when
// there is no FAT boot sector there.
std::optional<VolumeIdentity> ReadVolumeIdentity(const ReadAt& read, std::uint64_t offset);

CardSummary SummarizeCard(const ReadAt& read, std::uint64_t diskBytes);

// Opens path read-only and summarizes it (Unreadable when it cannot be
// opened or read).
CardSummary SummarizeCardAt(const std::string& path);

// "ABCD-1234", as Windows shows a volume's serial number.
std::string VolumeSerialText(std::uint32_t serial);

// One line for people: "FAT32 (LBA), label "QV", serial 1234-ABCD".
std::string DescribeFirstPartition(const CardSummary& summary);

}  // namespace tessarin::linux_port
