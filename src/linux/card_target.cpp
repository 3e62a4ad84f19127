#include "linux/card_target.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "linux/block_devices.h"

namespace fs = std::filesystem;

namespace tessarin::linux_port {
namespace {

std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

std::string ReadSmallFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  std::string text = s.str();
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

std::optional<dev_t> ParseDevNumber(const std::string& text) {
  unsigned major = 0, minor = 0;
  char colon = 0;
  std::istringstream in(text);
  if (!(in >> major >> colon >> minor) || colon != ':') return std::nullopt;
  return makedev(major, minor);
}

fs::path SysfsDir(dev_t device, const std::string& sysfs) {
  const fs::path link =
      fs::path(sysfs) / "dev" / "block" / (std::to_string(major(device)) + ":" + std::to_string(minor(device)));
  std::error_code ec;
  fs::path dir = fs::canonical(link, ec);
  return ec ? fs::path() : dir;
}

std::optional<dev_t> DevOfSysfsDir(const fs::path& dir) {
  std::error_code ec;
  if (!fs::exists(dir / "dev", ec)) return std::nullopt;
  return ParseDevNumber(ReadSmallFile(dir / "dev"));
}

// Mount points escape blanks and a few other characters as \ooo.
std::string Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
      out += static_cast<char>(std::strtol(std::string(text.substr(i + 1, 3)).c_str(), nullptr, 8));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

bool IsPartitionDevice(dev_t device) {
  const fs::path dir = SysfsDir(device, "/sys");
  std::error_code ec;
  return !dir.empty() && fs::exists(dir / "partition", ec);
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

std::optional<CardTarget> ResolveCardTarget(const std::string& path, std::string& error) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) {
    error = path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  CardTarget t;
  t.path = resolved;
  struct stat st {};
  if (stat(t.path.c_str(), &st) != 0) {
    error = path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (S_ISBLK(st.st_mode)) {
    t.blockDevice = true;
    t.device = st.st_rdev;
    if (IsPartitionDevice(t.device)) {
      error = path + " is a partition; name the whole card (for example /dev/sdb or /dev/mmcblk0)";
      return std::nullopt;
    }
    // Before anything is read from it: a disk the running system stands
    // on is refused as that, whatever it holds.
    if (std::string why = WhyCardHoldsTheSystem(t, SystemRoots{}); !why.empty()) {
      error = std::move(why);
      return std::nullopt;
    }
  } else if (S_ISREG(st.st_mode)) {
    t.device = st.st_dev;
    t.inode = st.st_ino;
    t.sizeBytes = static_cast<std::uint64_t>(st.st_size);
  } else {
    error = path + " is neither a block device nor a card image file";
    return std::nullopt;
  }

  const int fd = open(t.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (t.blockDevice && ioctl(fd, BLKGETSIZE64, &t.sizeBytes) != 0) t.sizeBytes = 0;
  if (t.blockDevice && t.sizeBytes == 0) {
    close(fd);
    error = path + " has no medium: insert the card";
    return std::nullopt;
  }
  std::uint8_t mbr[512];
  const ssize_t got = pread(fd, mbr, sizeof mbr, 0);
  const int readErrno = errno;
  close(fd);
  if (got != static_cast<ssize_t>(sizeof mbr)) {
    error = path + ": cannot read the first sector" + (got < 0 ? std::string(": ") + std::strerror(readErrno) : "");
    return std::nullopt;
  }
  std::string why;
  const auto part = FirstPartition(mbr, t.sizeBytes / 512, &why);
  if (!part) {
    error = path + " " + why + ".";
    return std::nullopt;
  }
  t.partitionStart = part->start;
  t.partitionSectors = part->sectors;
  return t;
}

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
  std::vector<MountEntry> mounts;
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);) {
    std::istringstream in(line);
    std::string id, parent, devText, root, point;
    if (!(in >> id >> parent >> devText >> root >> point)) continue;
    const auto dev = ParseDevNumber(devText);
    if (!dev) continue;
    MountEntry e;
    e.device = *dev;
    e.mountPoint = Unescape(point);
    const std::size_t dash = line.find(" - ");
    if (dash != std::string::npos) {
      std::istringstream rest(line.substr(dash + 3));
      std::string type, source;
      if (rest >> type >> source) e.source = Unescape(source);
    }
    mounts.push_back(std::move(e));
  }
  return mounts;
}

std::vector<dev_t> DisksBelow(dev_t device, const std::string& sysfs) {
  std::vector<dev_t> disks;
  const fs::path dir = SysfsDir(device, sysfs);
  if (dir.empty()) return {device};
  std::error_code ec;
  if (fs::exists(dir / "partition", ec)) {
    if (auto disk = DevOfSysfsDir(dir.parent_path())) return {*disk};
    return {device};
  }
  bool anySlave = false;
  for (const auto& slave : fs::directory_iterator(dir / "slaves", ec)) {
    anySlave = true;
    const fs::path slaveDir = fs::canonical(slave.path(), ec);
    if (ec) continue;
    if (auto dev = DevOfSysfsDir(slaveDir)) {
      for (dev_t d : DisksBelow(*dev, sysfs))
        if (std::find(disks.begin(), disks.end(), d) == disks.end()) disks.push_back(d);
    }
  }
  if (!anySlave) disks.push_back(device);
  return disks;
}

std::vector<dev_t> DiskAndPartitions(dev_t disk, const std::string& sysfs) {
  std::vector<dev_t> devices{disk};
  const fs::path dir = SysfsDir(disk, sysfs);
  if (dir.empty()) return devices;
  std::error_code ec;
  for (const auto& child : fs::directory_iterator(dir, ec)) {
    if (!fs::exists(child.path() / "partition", ec)) continue;
    if (auto dev = DevOfSysfsDir(child.path())) devices.push_back(*dev);
  }
  return devices;
}

std::vector<dev_t> LoopDevicesOf(const CardTarget& image, const std::string& sysfs) {
  std::vector<dev_t> devices;
  std::error_code ec;
  for (const auto& block : fs::directory_iterator(fs::path(sysfs) / "block", ec)) {
    if (block.path().filename().string().rfind("loop", 0) != 0) continue;
    const fs::path backing = block.path() / "loop" / "backing_file";
    if (!fs::exists(backing, ec)) continue;
    const std::string file = ReadSmallFile(backing);
    struct stat st {};
    if (stat(file.c_str(), &st) != 0 || st.st_dev != image.device || st.st_ino != image.inode) continue;
    if (auto dev = DevOfSysfsDir(block.path())) {
      for (dev_t d : DiskAndPartitions(*dev, sysfs)) devices.push_back(d);
    }
  }
  return devices;
}

std::string WhyCardIsInUse(const CardTarget& target, const std::vector<MountEntry>& mounts, dev_t rootDevice,
                           const std::string& sysfs) {
  const std::vector<dev_t> cardDevices =
      target.blockDevice ? DiskAndPartitions(target.device, sysfs) : LoopDevicesOf(target, sysfs);
  auto onCard = [&](dev_t device) {
    if (std::find(cardDevices.begin(), cardDevices.end(), device) != cardDevices.end()) return true;
    for (dev_t d : DisksBelow(device, sysfs))
      if (std::find(cardDevices.begin(), cardDevices.end(), d) != cardDevices.end()) return true;
    return false;
  };
  // A mount's own number may be anonymous (btrfs, overlays); its source
  // device then tells where it lives.
  auto deviceOf = [](const MountEntry& m) -> std::optional<dev_t> {
    struct stat st {};
    if (m.source.rfind("/dev/", 0) == 0 && stat(m.source.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) return st.st_rdev;
    return std::nullopt;
  };

  if (target.blockDevice) {
    bool root = onCard(rootDevice);
    for (const MountEntry& m : mounts) {
      if (m.mountPoint != "/") continue;
      if (onCard(m.device)) root = true;
      if (auto src = deviceOf(m); src && onCard(*src)) root = true;
    }
    if (root) return target.path + " holds the running system's root file system; it is never restored.";
  }
  if (cardDevices.empty()) return {};
  for (const MountEntry& m : mounts) {
    const auto src = deviceOf(m);
    if (onCard(m.device) || (src && onCard(*src))) {
      return target.path + " is in use: " + (m.source.empty() ? std::string("a partition") : m.source) +
             " is mounted on " + m.mountPoint + ". Unmount it and try again.";
    }
  }
  return {};
}

std::string WhyCardIsInUse(const CardTarget& target) { return WhyCardIsHeld(target, SystemRoots{}); }

}  // namespace tessarin::linux_port
