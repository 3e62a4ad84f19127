// The card the Linux program works on: a whole-card block device or a
// whole-card image file, with its first partition as the MBR describes it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace tessarin::linux_port {

struct CardTarget {
  std::string path;  // absolute
  bool blockDevice = false;
  dev_t device = 0;  // block device: its number; image: the file system holding it
  ino_t inode = 0;   // image file only
  std::uint64_t sizeBytes = 0;
  std::uint32_t partitionStart = 0;    // first sector of the first partition
  std::uint32_t partitionSectors = 0;  // its length in sectors

  std::uint64_t VolumeOffset() const { return std::uint64_t{partitionStart} * 512; }
};

// The first partition of an MBR sector: start and length in sectors. None
// unless the sector is an MBR whose first entry is a FAT partition that
// Windows gives a drive letter to, inside a disk of diskSectors sectors;
// why then names what was found instead (a GPT, an extended partition, a
// volume without a partition table, another partition type ...).
struct PartitionExtent {
  std::uint32_t start = 0;
  std::uint32_t sectors = 0;
};
std::optional<PartitionExtent> FirstPartition(const std::uint8_t* mbr, std::uint64_t diskSectors,
                                              std::string* why = nullptr);

}  // namespace tessarin::linux_port
