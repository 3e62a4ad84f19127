#include "lx/card/target_resolve.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace tessarin::linux_port {
namespace {

bool IsPartitionDevice(dev_t device) {
  const SystemRoots roots;
  const std::string name = BlockDeviceName(device, roots);
  std::error_code ec;
  return !name.empty() && fs::exists(fs::path(roots.sysfs) / "class" / "block" / name / "partition", ec);
}

}  // namespace

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

std::string WhyCardIsInUse(const CardTarget& target) { return WhyCardIsHeld(target, SystemRoots{}); }

}  // namespace tessarin::linux_port
