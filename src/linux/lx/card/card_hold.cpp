#include "lx/card/card_hold.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "lx/card/block_devices.h"

namespace tessarin::linux_port {
namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// "process 1234 (tessarin)", or just the number when its name cannot be read.
std::string DescribeProcess(pid_t pid) {
  std::string name = ReadText("/proc/" + std::to_string(pid) + "/comm");
  while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) name.pop_back();
  return "process " + std::to_string(pid) + (name.empty() ? std::string() : " (" + name + ")");
}

std::string HeldByOther(const CardTarget& target, int lockedFd) {
  struct stat st {};
  std::optional<pid_t> holder;
  if (fstat(lockedFd, &st) == 0)
    holder = LockHolder(ParseProcLocks(ReadText("/proc/locks")), st.st_dev, st.st_ino, getpid());
  return target.path + " is in use: " + (holder ? DescribeProcess(*holder) : std::string("another program")) +
         " holds it (another restore of this card?). Try again once it has ended.";
}

}  // namespace

std::vector<FileLock> ParseProcLocks(std::string_view text) {
  // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; a waiting lock is
  // listed as "1: -> FLOCK ..." and holds nothing.
  std::vector<FileLock> locks;
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);) {
    std::istringstream in(line);
    std::string number, kind, mode, access, pid, file;
    if (!(in >> number >> kind) || kind == "->") continue;
    if (!(in >> mode >> access >> pid >> file)) continue;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(file.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
    FileLock lock;
    lock.kind = kind;
    lock.pid = static_cast<pid_t>(std::strtol(pid.c_str(), nullptr, 10));
    lock.major = major;
    lock.minor = minor;
    lock.inode = static_cast<ino_t>(inode);
    locks.push_back(std::move(lock));
  }
  return locks;
}

std::optional<pid_t> LockHolder(const std::vector<FileLock>& locks, dev_t fileSystem, ino_t inode, pid_t self) {
  for (const FileLock& l : locks) {
    if (l.inode != inode || l.major != major(fileSystem) || l.minor != minor(fileSystem)) continue;
    if (l.pid > 0 && l.pid != self) return l.pid;
  }
  return std::nullopt;
}

std::string WhyCardIsReadOnly(const CardTarget& target) {
  struct stat st {};
  if (stat(target.path.c_str(), &st) != 0) return {};  // the hold reports what became of it
  if (!target.blockDevice) {
    if ((st.st_mode & 0222) == 0) return target.path + " is write-protected: the image file has no write permission.";
    if (access(target.path.c_str(), W_OK) != 0)
      return target.path + " cannot be written: " + std::strerror(errno) + ".";
    return {};
  }
  const int fd = open(target.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  int readOnly = 0;
  const bool known = ioctl(fd, BLKROGET, &readOnly) == 0;
  close(fd);
  if (known && readOnly != 0)
    return target.path +
           " is write-protected: the card's lock switch is set, or the reader allows no writing. "
           "Slide the switch to unlock the card and try again.";
  return {};
}

std::unique_ptr<CardHold> CardHold::Take(const CardTarget& target, std::string& why) {
  std::unique_ptr<CardHold> hold(new CardHold(target));
  auto refuse = [&](std::string text) {
    why = std::move(text);
    return nullptr;
  };
  auto cannotWrite = [&](int error) {
    if (error == EROFS || error == EACCES || error == EPERM)
      return target.path + " is write-protected or read-only (" + std::strerror(error) + ").";
    return target.path + ": " + std::strerror(error) + ".";
  };

  if (!target.blockDevice) {
    // The lock is tried on a descriptor for reading: a restore that finds
    // the image taken must not itself look like another writer to the one
    // that holds it, or two restores started at once refuse each other.
    hold->lockFd_ = open(target.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (hold->lockFd_ < 0) return refuse(target.path + ": " + std::strerror(errno) + ".");
    if (flock(hold->lockFd_, LOCK_EX | LOCK_NB) != 0) return refuse(HeldByOther(target, hold->lockFd_));
    hold->fd_ = open(target.path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (hold->fd_ < 0) return refuse(cannotWrite(errno));
  } else {
    hold->lockFd_ = open(target.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (hold->lockFd_ < 0) return refuse(target.path + ": " + std::strerror(errno) + ".");
    if (flock(hold->lockFd_, LOCK_EX | LOCK_NB) != 0) return refuse(HeldByOther(target, hold->lockFd_));
    hold->fd_ = open(target.path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC | O_NOCTTY);
    if (hold->fd_ < 0 && errno == EBUSY) {
      // Who: the mounts, mapped devices and processes on the card's devices.
      const std::string holders = WhatHoldsCard(target, SystemRoots{});
      return refuse(target.path + " is in use: another program holds it exclusively (" +
                    (holders.empty() ? std::string("a mounted partition, a RAID or LVM set, a disk tool") : holders) +
                    "). Free it and try again.");
    }
    if (hold->fd_ < 0) return refuse(cannotWrite(errno));
  }
  if (!hold->StillTheCard()) return refuse(target.path + " changed while it was being opened.");
  return hold;
}

CardHold::~CardHold() {
  Sync();
  if (fd_ >= 0) close(fd_);
  if (lockFd_ >= 0) close(lockFd_);
}

void CardHold::SuspendExclusive() {
  if (!target_.blockDevice || fd_ < 0) return;
  Sync();
  close(fd_);
  fd_ = -1;
}

bool CardHold::ResumeExclusive() {
  if (fd_ >= 0) return StillTheCard();
  const int fd = open(target_.path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  fd_ = fd;
  return StillTheCard();
}

bool CardHold::StillTheCard() const {
  const int fd = fd_ >= 0 ? fd_ : lockFd_;
  struct stat now {
  }, held{};
  if (stat(target_.path.c_str(), &now) != 0) return false;
  if (fd < 0 || fstat(fd, &held) != 0) return false;
  if (!target_.blockDevice) {
    if (now.st_dev == held.st_dev && now.st_ino == held.st_ino) return true;
    errno = ENOENT;  // the file held is no longer the one at the path
    return false;
  }
  std::uint64_t size = 0;
  if (!S_ISBLK(now.st_mode) || now.st_rdev != target_.device || ioctl(fd, BLKGETSIZE64, &size) != 0 ||
      size != target_.sizeBytes) {
    errno = ENODEV;  // pulled, replaced or detached
    return false;
  }
  return true;
}

void CardHold::Sync() const {
  if (fd_ >= 0) fsync(fd_);
}

}  // namespace tessarin::linux_port
