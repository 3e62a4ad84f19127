#include "lx/card/card_device.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tessarin::linux_port {

std::unique_ptr<CardDevice> CardDevice::Open(const std::string& path, bool blockDevice, bool writable, int& error) {
  struct stat before {};
  if (writable && !blockDevice && stat(path.c_str(), &before) == 0 && (before.st_mode & 0222) == 0) {
    error = EACCES;  // a write-protected image stays untouched even for root
    return nullptr;
  }
  const int flags = (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | (writable && blockDevice ? O_EXCL : 0);
  const int fd = open(path.c_str(), flags);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  auto fail = [&](int code) {
    error = code;
    close(fd);
    return nullptr;
  };
  if (writable && !blockDevice && flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno);
  return Adopt(fd, blockDevice, error);
}

std::unique_ptr<CardDevice> CardDevice::Adopt(int fd, bool blockDevice, int& error) {
  auto fail = [&](int code) {
    error = code;
    close(fd);
    return nullptr;
  };
  std::uint64_t bytes = 0;
  if (blockDevice) {
    if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) return fail(errno);
  } else {
    struct stat st {};
    if (fstat(fd, &st) != 0) return fail(errno);
    bytes = static_cast<std::uint64_t>(st.st_size);
  }
  return std::unique_ptr<CardDevice>(new CardDevice(fd, blockDevice, bytes / fat::kDeviceSectorSize));
}

CardDevice::~CardDevice() { close(fd_); }  // also ends the flock

Failure CardDevice::ReadSectors(std::uint64_t lba, std::uint32_t count, std::uint8_t* bytes) {
  std::size_t left = std::size_t{count} * fat::kDeviceSectorSize;
  auto offset = static_cast<off_t>(lba * fat::kDeviceSectorSize);
  while (left > 0) {
    const ssize_t n = pread(fd_, bytes, left, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      return Failure::Errno(errno == ENOMEDIUM || errno == ENODEV ? FailureKind::Media : FailureKind::Read, errno);
    if (n == 0) return Failure::Errno(FailureKind::Media, EIO);  // the card ends before the volume does
    bytes += n;
    offset += n;
    left -= static_cast<std::size_t>(n);
  }
  return {};
}

Failure CardDevice::WriteSectors(std::uint64_t lba, std::uint32_t count, const std::uint8_t* bytes) {
  std::size_t left = std::size_t{count} * fat::kDeviceSectorSize;
  auto offset = static_cast<off_t>(lba * fat::kDeviceSectorSize);
  while (left > 0) {
    const ssize_t n = pwrite(fd_, bytes, left, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EROFS || errno == EACCES || errno == EPERM))
      return Failure::Errno(FailureKind::WriteProtected, errno);
    if (n <= 0) return Failure::Errno(FailureKind::Write, n < 0 ? errno : ENOSPC);
    bytes += n;
    offset += n;
    left -= static_cast<std::size_t>(n);
  }
  return {};
}

Failure CardDevice::Flush() {
  if (blockDevice_ && fdatasync(fd_) != 0) return Failure::Errno(FailureKind::Write, errno);
  return {};
}

Failure CardDevice::ReadFromMedium() {
  // fsync rather than fdatasync: an image's size and blocks too. The pages
  // are clean afterwards, and clean pages are what the kernel drops.
  if (fsync(fd_) != 0 && errno != EINVAL) return Failure::Errno(FailureKind::Write, errno);
  posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED);
  return {};
}

}  // namespace tessarin::linux_port
