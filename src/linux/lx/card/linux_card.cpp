#include "lx/card/linux_card.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "bootcode/boot_images.h"
#include "card/resource_port.h"
#include "card/sector_layout.h"
#include "card/system_kinds.h"
#include "lx/card/block_devices.h"

namespace tessarin::linux_port {

LinuxCard::LinuxCard(const CardTarget& target, CardHold& hold, OperationLog& log, std::function<std::string()> whyInUse,
                     std::function<void(const std::string&)> diagnostic)
    : target_(target), hold_(hold), log_(log), whyInUse_(std::move(whyInUse)), diagnostic_(std::move(diagnostic)) {}

LinuxCard::~LinuxCard() { Release(); }

void LinuxCard::Release() {
  if (fd_ < 0) return;
  // What was written must be on the card before mkfs.fat or the FAT layer
  // reads it again, or the operator pulls it. The hold itself stays until
  // the program ends.
  hold_.Sync();
  if (target_.blockDevice) FlushPartitionCaches(target_);
  fd_ = -1;
}

WriteProtection LinuxCard::QueryWriteProtection(const std::string& /*driveEntry*/) {
  return WhyCardIsReadOnly(target_).empty() ? WriteProtection::Writable : WriteProtection::WriteProtected;
}

int LinuxCard::SetVolumeLock(const std::string& /*driveEntry*/, bool lock) {
  if (!lock) {
    Release();
    openFailed_ = false;
    return 1;
  }
  Release();
  openFailed_ = false;

  if (const std::string why = whyInUse_ ? whyInUse_() : std::string(); !why.empty()) {
    log_.StopProgressAnimation();
    log_.ShowMessageBox(why, kMbOk | kMbIconExclamation);
    return 0;
  }

  struct stat st {};
  bool usable = false;
  if (!target_.blockDevice && stat(target_.path.c_str(), &st) == 0 && (st.st_mode & 0222) == 0) {
    // An image made write-protected meanwhile stays untouched even for root.
    errno = EACCES;
  } else {
    // The card behind the path must still be the one held: a reader's
    // card pulled or swapped, an image deleted or replaced, is not written.
    usable = hold_.ResumeExclusive();
  }
  if (!usable) {
    lastError_ = Failure::Errno(errno == EACCES || errno == EROFS    ? FailureKind::WriteProtected
                                : errno == ENOENT || errno == ENODEV ? FailureKind::Media
                                                                     : FailureKind::Open,
                                errno);
    openFailed_ = true;
    const int error = errno;
    if (diagnostic_) {
      // Held exclusively elsewhere: by whom, where it can be found.
      const std::string holders = error == EBUSY ? WhatHoldsCard(target_, SystemRoots{}) : std::string();
      diagnostic_(target_.path + ": " + std::strerror(error) + (holders.empty() ? "" : " (" + holders + ")"));
    }
    log_.StopProgressAnimation();
    log_.ShowMessageBoxString(IDS_CANNOT_OPEN_DRIVE, kMbOk | kMbIconExclamation);
    return 0;
  }
  fd_ = hold_.fd();
  return 1;
}

bool LinuxCard::Transfer(std::uint64_t offset, std::uint8_t* bytes, bool write) {
  return TransferOn(fd_, offset, bytes, write);
}

bool LinuxCard::TransferOn(int fd, std::uint64_t offset, std::uint8_t* bytes, bool write) {
  if (fd < 0 || bytes == nullptr) {
    lastError_ = Failure::Own(FailureKind::InvalidHandle);
    return false;
  }
  if (write) hold_.NoteChange();
  const ssize_t moved = write ? pwrite(fd, bytes, kSectorSize, static_cast<off_t>(offset))
                              : pread(fd, bytes, kSectorSize, static_cast<off_t>(offset));
  if (moved == static_cast<ssize_t>(kSectorSize)) return true;
  const FailureKind kind = write ? FailureKind::Write : FailureKind::Read;
  // Less than a sector moved: the system saw no error, the restore does.
  lastError_ = moved < 0 ? Failure::Errno(kind, errno) : Failure::Own(kind);
  if (diagnostic_) {
    diagnostic_(target_.path + ": " + (write ? "writing" : "reading") + " the sector at byte " +
                std::to_string(offset) + " failed: " +
                (moved < 0 ? std::string(std::strerror(static_cast<int>(lastError_.code)))
                           : "only " + std::to_string(moved) + " of " + std::to_string(kSectorSize) + " bytes moved"));
  }
  return false;
}

bool LinuxCard::ReadMbrSector(const std::string&, SectorBuffer& buffer) { return Transfer(0, buffer.data(), false); }

bool LinuxCard::WriteMbrSector(const std::string&, const SectorBuffer& buffer) {
  return Transfer(0, const_cast<std::uint8_t*>(buffer.data()), true);
}

bool LinuxCard::ReadVolumeBootSector(const std::string&, SectorBuffer& buffer) {
  return Transfer(target_.VolumeOffset(), buffer.data(), false);
}

namespace {
constexpr unsigned kStage2Sector = 12;
}

bool LinuxCard::WriteVolumeBootSector(const std::string&, const SectorBuffer& buffer) {
  const bool dos = g_nSystemKind == SystemKind::Dos;
  if (dos) {
    // The DOS boot sector runs the volume's sector 12: where that sector
    // belongs to the FAT, the card could never start, and the boot sector
    // is not written.
    const unsigned reserved = GetLe16(buffer.data(), kBpbReservedSectors);
    if (reserved <= kStage2Sector) {
      lastError_ = Failure::Own(FailureKind::InvalidData);
      if (diagnostic_) {
        diagnostic_("the volume has " + std::to_string(reserved) +
                    " reserved sectors: its sector 12 cannot hold the DOS second boot stage");
      }
      return false;
    }
  }
  if (!Transfer(target_.VolumeOffset(), const_cast<std::uint8_t*>(buffer.data()), true)) return false;
  return !dos || CompleteDosBootChain();
}

// The DOS boot sector goes on with the volume's sector 12, the second stage
// that Windows' FORMAT writes there. mkfs.fat leaves that sector empty, and
// the card would not start: an empty one gets our own second stage, which
// loads BOOTMGR as FORMAT's does. A sector the formatter filled stays.
bool LinuxCard::CompleteDosBootChain() {
  const std::uint64_t offset = target_.VolumeOffset() + std::uint64_t{kStage2Sector} * kSectorSize;
  std::uint8_t sector[kSectorSize];
  if (!Transfer(offset, sector, false)) return false;
  if (std::any_of(sector, sector + kSectorSize, [](std::uint8_t b) { return b != 0; })) return true;

  const auto stage2 = EmbeddedBootImage(IDR_DOS_STAGE2);
  if (stage2.size() != kSectorSize) {
    lastError_ = Failure::Own(FailureKind::NotFound);
    return false;
  }
  std::copy(stage2.begin(), stage2.end(), sector);
  if (!Transfer(offset, sector, true)) return false;
  if (diagnostic_) diagnostic_("the volume's sector 12 was empty: it now holds the DOS second boot stage");
  return true;
}

// The write went into the page cache, and a plain read would be answered
// from there. fsync puts it on the card (or into the image's file system);
// the read then goes past the cache: direct I/O of the aligned block that
// holds the sector, where the card or the image's file system allows it.
// Where not, the card's now clean pages are dropped (all of them: the
// kernel keeps any page that the range covers only in part, and a large
// folio around the sector with it) and the read fetches them again.
bool LinuxCard::ReadBack(std::uint64_t offset, std::uint8_t* bytes) {
  if (fd_ < 0 || bytes == nullptr) {
    lastError_ = Failure::Own(FailureKind::InvalidHandle);
    return false;
  }
  const auto started = std::chrono::steady_clock::now();
  struct Timed {
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::duration& total;
    ~Timed() { total += std::chrono::steady_clock::now() - started; }
  } timed{started, readBackTime_};
  if (fsync(fd_) != 0) {
    lastError_ = Failure::Errno(FailureKind::Write, errno);
    if (diagnostic_) diagnostic_(target_.path + ": the card did not take what was written: " + std::strerror(errno));
    return false;
  }
  switch (ReadDirect(offset, bytes)) {
    case DirectRead::Done:
      return true;
    case DirectRead::Failed:
      return false;
    case DirectRead::Unsupported:
      break;
  }
  posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED);
  return Transfer(offset, bytes, false);
}

LinuxCard::DirectRead LinuxCard::ReadDirect(std::uint64_t offset, std::uint8_t* bytes) {
  // A block that every logical sector size of cards and file systems
  // divides, aligned as direct I/O wants its offset, length and buffer.
  constexpr std::uint64_t kBlock = 4096;
  const int flags = fcntl(fd_, F_GETFL);
  if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_DIRECT) != 0) return DirectRead::Unsupported;
  void* block = nullptr;
  if (posix_memalign(&block, kBlock, kBlock) != 0) {
    fcntl(fd_, F_SETFL, flags);
    return DirectRead::Unsupported;
  }
  const std::uint64_t start = offset & ~(kBlock - 1);
  const ssize_t moved = pread(fd_, block, kBlock, static_cast<off_t>(start));
  const int why = errno;
  fcntl(fd_, F_SETFL, flags);
  // A file system that takes the flag but not the transfer.
  if (moved < 0 && why == EINVAL) {
    std::free(block);
    return DirectRead::Unsupported;
  }
  const std::uint64_t within = offset - start;
  const bool whole = moved >= 0 && static_cast<std::uint64_t>(moved) >= within + kSectorSize;
  if (whole) std::memcpy(bytes, static_cast<const std::uint8_t*>(block) + within, kSectorSize);
  std::free(block);
  if (whole) return DirectRead::Done;
  lastError_ = moved < 0 ? Failure::Errno(FailureKind::Read, why) : Failure::Own(FailureKind::Read);
  if (diagnostic_) {
    diagnostic_(target_.path + ": reading the sector at byte " + std::to_string(offset) +
                " back failed: " + (moved < 0 ? std::string(std::strerror(why)) : "the card ends before it"));
  }
  return DirectRead::Failed;
}

bool LinuxCard::ReadBackMbrSector(const std::string&, SectorBuffer& buffer) { return ReadBack(0, buffer.data()); }

bool LinuxCard::ReadBackVolumeBootSector(const std::string&, SectorBuffer& buffer) {
  return ReadBack(target_.VolumeOffset(), buffer.data());
}

bool LinuxCard::ReadVolumeSector(const std::string&, std::uint64_t sector, SectorBuffer& buffer) {
  const std::uint64_t offset = target_.VolumeOffset() + sector * kSectorSize;
  if (fd_ >= 0) return Transfer(offset, buffer.data(), false);
  // Not held: the files went onto the card through the same device or
  // image file, so the page cache that a plain read meets holds what was
  // written.
  const int fd = open(target_.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    lastError_ = Failure::Errno(FailureKind::Open, errno);
    if (diagnostic_) diagnostic_(target_.path + ": " + std::strerror(errno));
    return false;
  }
  const bool ok = TransferOn(fd, offset, buffer.data(), false);
  close(fd);
  return ok;
}

SectorBuffer LinuxCard::AllocateSector() {
  // Aligned for direct I/O should it ever be used; zero-filled as the
  // portable steps expect.
  void* p = nullptr;
  if (posix_memalign(&p, 4096, kSectorSize) != 0) return {};
  std::memset(p, 0, kSectorSize);
  return SectorBuffer(static_cast<std::uint8_t*>(p), this);
}

void LinuxCard::FreeSector(std::uint8_t* bytes) { std::free(bytes); }

void FlushPartitionCaches(const CardTarget& target) {
  if (!target.blockDevice) return;
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path dir = fs::canonical(
      fs::path("/sys/dev/block") / (std::to_string(major(target.device)) + ":" + std::to_string(minor(target.device))),
      ec);
  if (ec) return;
  for (const auto& child : fs::directory_iterator(dir, ec)) {
    if (!fs::exists(child.path() / "partition", ec)) continue;
    const std::string node = "/dev/" + child.path().filename().string();
    const int fd = open(node.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    ioctl(fd, BLKFLSBUF, 0);
    close(fd);
  }
}

}  // namespace tessarin::linux_port
