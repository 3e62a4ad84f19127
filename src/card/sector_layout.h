// Where things are in the two sectors the restore rebuilds: sector 0 of the
// card (the master boot record) and the first sector of its FAT volume (the
// boot sector with its BIOS parameter block). Offsets in bytes from the
// sector's start; every field is little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessarin {

// ---- master boot record --------------------------------------------------
inline constexpr std::size_t kMbrCodeOffset = 0;  // boot code, up to the disk signature
inline constexpr std::size_t kMbrDiskSignature = 440;
inline constexpr std::size_t kMbrPartitionTable = 446;
inline constexpr std::size_t kMbrPartitionEntrySize = 16;
inline constexpr std::size_t kMbrPartitionCount = 4;
// Within one partition entry.
inline constexpr std::size_t kPartitionBootIndicator = 0;
inline constexpr std::size_t kPartitionType = 4;
inline constexpr std::size_t kPartitionFirstSector = 8;
inline constexpr std::size_t kPartitionSectorCount = 12;
inline constexpr std::uint8_t kActivePartition = 0x80;

// Both sectors end with the boot signature 0x55, 0xAA.
inline constexpr std::size_t kBootSignatureOffset = 510;
inline constexpr std::uint8_t kBootSignature0 = 0x55;
inline constexpr std::uint8_t kBootSignature1 = 0xAA;

constexpr std::size_t PartitionEntry(std::size_t index) { return kMbrPartitionTable + index * kMbrPartitionEntrySize; }

// ---- volume boot sector ----------------------------------------------------
inline constexpr std::size_t kBootJump = 0;
inline constexpr std::size_t kBootOemName = 3;
// The BIOS parameter block, as FORMAT writes it for FAT32.
inline constexpr std::size_t kBpbBytesPerSector = 11;
inline constexpr std::size_t kBpbSectorsPerCluster = 13;
inline constexpr std::size_t kBpbReservedSectors = 14;
inline constexpr std::size_t kBpbFatCount = 16;
inline constexpr std::size_t kBpbRootEntries = 17;
inline constexpr std::size_t kBpbTotalSectors16 = 19;
inline constexpr std::size_t kBpbMedia = 21;
inline constexpr std::size_t kBpbFatSize16 = 22;
inline constexpr std::size_t kBpbSectorsPerTrack = 24;
inline constexpr std::size_t kBpbHeads = 26;
inline constexpr std::size_t kBpbHiddenSectors = 28;
inline constexpr std::size_t kBpbTotalSectors32 = 32;
inline constexpr std::size_t kBpbFatSize32 = 36;
inline constexpr std::size_t kBpbExtendedFlags = 40;
inline constexpr std::size_t kBpbFileSystemVersion = 42;
inline constexpr std::size_t kBpbRootCluster = 44;
inline constexpr std::size_t kBpbFsInfoSector = 48;
inline constexpr std::size_t kBpbBackupBootSector = 50;
inline constexpr std::size_t kBpbReserved = 52;
inline constexpr std::size_t kBpbDriveNumber = 64;
inline constexpr std::size_t kBpbExtendedSignature = 66;
inline constexpr std::size_t kBpbVolumeSerial = 67;
inline constexpr std::size_t kBpbVolumeLabel = 71;
inline constexpr std::size_t kBpbFileSystemType = 82;
inline constexpr std::size_t kFat32BootCode = 90;

// The card's own part of a rebuilt boot sector: bytes 11 to 61, from bytes
// per sector through the first ten reserved bytes. The rest comes from the
// template.
inline constexpr std::size_t kCardBpbFirst = kBpbBytesPerSector;
inline constexpr std::size_t kCardBpbEnd = 62;  // one past the last byte
// Where the Windows CE loader goes: the boot code and the signature.
inline constexpr std::size_t kLoaderOffset = kFat32BootCode;

inline constexpr std::uint8_t kFixedDiskMedia = 0xF8;

// ---- root folder entries --------------------------------------------------
// What the boot sector's code compares and follows when it looks for the
// file it starts: 32-byte entries, sixteen to a sector, the 8.3 name first.
inline constexpr std::size_t kDirEntrySize = 32;
inline constexpr std::size_t kDirEntriesPerSector = 512 / kDirEntrySize;
inline constexpr std::size_t kDirEntryName = 0;  // 11 bytes, "BLDR       "
inline constexpr std::size_t kDirEntryAttributes = 11;
inline constexpr std::size_t kDirEntryClusterHigh = 20;  // FAT32; 0 on FAT12/16
inline constexpr std::size_t kDirEntryClusterLow = 26;
inline constexpr std::size_t kDirEntryFileSize = 28;
inline constexpr std::uint8_t kDirVolumeLabel = 0x08;
inline constexpr std::uint8_t kDirFolder = 0x10;

// ---- little-endian fields ----------------------------------------------------
constexpr std::uint16_t GetLe16(const std::uint8_t* sector, std::size_t at) {
  return static_cast<std::uint16_t>(sector[at] | (sector[at + 1] << 8));
}

constexpr std::uint32_t GetLe32(const std::uint8_t* sector, std::size_t at) {
  return static_cast<std::uint32_t>(sector[at]) | (static_cast<std::uint32_t>(sector[at + 1]) << 8) |
         (static_cast<std::uint32_t>(sector[at + 2]) << 16) | (static_cast<std::uint32_t>(sector[at + 3]) << 24);
}

constexpr void PutLe16(std::uint8_t* sector, std::size_t at, std::uint16_t value) {
  sector[at] = static_cast<std::uint8_t>(value & 0xFF);
  sector[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

constexpr void PutLe32(std::uint8_t* sector, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) sector[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace tessarin
