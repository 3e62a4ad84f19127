// The card the Linux program works on: a whole-card block device or a
// whole-card image file, with its first partition as the MBR describes it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Opens the target read-only and reads its partition table. None, with the
// reason in error, when it is not a block device or regular file, is a
// disk the running system stands on, cannot be read, or has no usable
// first partition.
std::optional<CardTarget> ResolveCardTarget(const std::string& path, std::string& error);

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

// One line of /proc/self/mountinfo: the mounted device and where.
struct MountEntry {
  dev_t device = 0;
  std::string mountPoint;
  std::string source;
};
std::vector<MountEntry> ParseMountInfo(std::string_view text);

// The block devices a disk is made of, looked up under a sysfs root
// ("/sys" on a running system): for a partition its whole disk, for a
// mapped device (LVM, dm-crypt, RAID) the disks below it, for a disk the
// disk itself.
std::vector<dev_t> DisksBelow(dev_t device, const std::string& sysfs);

// The disk and every partition of it, from sysfs.
std::vector<dev_t> DiskAndPartitions(dev_t disk, const std::string& sysfs);

// Block devices (loop devices and their partitions) that present the image
// file; found through the loop devices' backing files.
std::vector<dev_t> LoopDevicesOf(const CardTarget& image, const std::string& sysfs);

// Why the card must not be touched: a mounted partition (named with its
// mount point) or the disk of the running system. Empty when it is free.
std::string WhyCardIsInUse(const CardTarget& target, const std::vector<MountEntry>& mounts, dev_t rootDevice,
                           const std::string& sysfs);

// The same for the running system, and more: every disk the system stands
// on, and the card's holders named (see WhyCardIsHeld).
std::string WhyCardIsInUse(const CardTarget& target);

}  // namespace tessarin::linux_port
