// The running system as the card list and the card's refusals see it:
// block devices by name and number (sysfs), mounts (mountinfo), swap, the
// disks the system stands on, and the processes that hold a device or an
// image open. The roots of sysfs, /proc, /dev and udev's database can be
// moved, so that a laid-out tree stands in for the system.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lx/card/card_target.h"

namespace tessarin::linux_port {

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

struct SystemRoots {
  std::string sysfs = "/sys";
  std::string proc = "/proc";
  std::string dev = "/dev";
  std::string udev = "/run/udev";
  // The machine's own tables: the file system itself may be asked too
  // (stat of a device node, a swap file, "/").
  bool Live() const { return proc == "/proc"; }
};

// A small sysfs or proc file's text without its line break; empty when it
// cannot be read.
std::string ReadSysText(const std::string& path);

// The kernel's name of a block device ("sdb1"); empty when sysfs does not
// know it.
std::string BlockDeviceName(dev_t device, const SystemRoots& roots);
// The number of a block device by its kernel name.
std::optional<dev_t> BlockDeviceByName(const std::string& name, const SystemRoots& roots);
// The number of the block device a path under /dev names ("/dev/sdb1",
// "/dev/mapper/root", a link in /dev/disk).
std::optional<dev_t> ResolveDevicePath(const std::string& path, const SystemRoots& roots);

std::vector<MountEntry> ReadMounts(const SystemRoots& roots);
// The whole disks a mount lives on: through its device number and its
// source, down through partitions and mapped devices (LVM, dm-crypt, RAID).
std::vector<dev_t> DisksOfMount(const MountEntry& mount, const SystemRoots& roots);

// True for the mount points of the running system: "/", and what lies
// below /boot, /usr, /var, /home and the other system folders. A card
// mounted under /media or /mnt is not one.
bool IsSystemMountPoint(const std::string& mountPoint);

struct SystemDisk {
  dev_t disk = 0;
  std::string why;  // "/ is mounted from /dev/vda2", "swap on /dev/vda3"
};
// The disks that hold the running system: its root, its boot and other
// system file systems, its swap.
std::vector<SystemDisk> SystemDisks(const SystemRoots& roots);

struct HoldingProcess {
  int pid = 0;
  std::string command;  // the command line, or the process name
};
// Processes other than this one with one of the devices open.
std::vector<HoldingProcess> ProcessesWithDevicesOpen(const std::vector<dev_t>& devices, const SystemRoots& roots);
// Processes other than this one with the file open or locked.
std::vector<HoldingProcess> ProcessesWithFileOpen(const std::string& path, dev_t device, ino_t inode,
                                                  const SystemRoots& roots);

// Processes other than this one with one of the devices open for writing
// (dd, a disk tool, an emulator running off the card).
std::vector<HoldingProcess> ProcessesWritingTo(const std::vector<dev_t>& devices, const SystemRoots& roots);

// Mapped devices (device-mapper, RAID) built on one of the devices, by
// their names ("dm-0 (cryptcard)").
std::vector<std::string> DevicesBuiltOn(const std::vector<dev_t>& devices, const SystemRoots& roots);

// The mount points of the devices, from the mounts given.
std::vector<std::string> MountPointsOn(const std::vector<dev_t>& devices, const std::vector<MountEntry>& mounts,
                                       const SystemRoots& roots);

// What holds a card, for people: "mounted on /media/card; open in PID 812
// (dd if=/dev/zero of=/dev/sdb)". Empty when nothing does.
std::string DescribeHolders(const std::vector<std::string>& mountPoints, const std::vector<HoldingProcess>& processes,
                            const std::vector<std::string>& builtOn = {});

// Why the card must never be touched, or empty: a disk the running system
// stands on (root, boot, swap, any mounted system file system).
std::string WhyCardHoldsTheSystem(const CardTarget& target, const SystemRoots& roots);

// Why the card must not be touched, or empty when it is free: a disk the
// running system stands on (root, boot, swap, any mounted system file
// system) is never restored; a card mounted, built on, or open for writing
// in another process is refused, every holder named ("/dev/sdb is in use:
// mounted on /media/card; open in PID 812 (dd of=/dev/sdb1). ...").
std::string WhyCardIsHeld(const CardTarget& target, const SystemRoots& roots);

// What holds the card, for a refusal the system gave (an exclusive open
// that failed, a lock): mount points, mapped devices and every process with
// the card, one of its partitions or its image open. Empty when nothing can
// be found.
std::string WhatHoldsCard(const CardTarget& target, const SystemRoots& roots);

}  // namespace tessarin::linux_port
