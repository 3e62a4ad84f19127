#include "image_card.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace tessarin::test {

ImageCard::ImageCard(const std::string& path) {
  fd_ = ::open(path.c_str(), O_RDWR);
  if (fd_ < 0) lastError_ = Failure::Errno(FailureKind::Open, errno);
}

ImageCard::~ImageCard() {
  if (fd_ >= 0) ::close(fd_);
}

int ImageCard::SetVolumeLock(const std::string&, bool) { return Ok() ? 1 : 0; }

bool ImageCard::Transfer(std::uint64_t lba, std::uint8_t* bytes, bool write) {
  const off_t at = static_cast<off_t>(lba * kSectorSize);
  const ssize_t moved = write ? ::pwrite(fd_, bytes, kSectorSize, at) : ::pread(fd_, bytes, kSectorSize, at);
  if (moved == static_cast<ssize_t>(kSectorSize)) return true;
  // A short transfer (past the end of the image) is a failure too.
  const FailureKind kind = write ? FailureKind::Write : FailureKind::Read;
  lastError_ = moved < 0 ? Failure::Errno(kind, errno) : Failure::Own(kind);
  return false;
}

bool ImageCard::ReadSector(std::uint64_t lba, std::uint8_t* bytes) { return Transfer(lba, bytes, false); }

bool ImageCard::WriteSector(std::uint64_t lba, const std::uint8_t* bytes) {
  return Transfer(lba, const_cast<std::uint8_t*>(bytes), true);
}

bool ImageCard::VolumeStart(std::uint64_t& lba) {
  std::uint8_t mbr[kSectorSize];
  if (!ReadSector(0, mbr)) return false;
  const std::uint8_t* start = mbr + 446 + 8;
  lba = static_cast<std::uint64_t>(start[0]) | static_cast<std::uint64_t>(start[1]) << 8 |
        static_cast<std::uint64_t>(start[2]) << 16 | static_cast<std::uint64_t>(start[3]) << 24;
  return true;
}

bool ImageCard::ReadMbrSector(const std::string&, SectorBuffer& buffer) { return ReadSector(0, buffer.data()); }

bool ImageCard::WriteMbrSector(const std::string&, const SectorBuffer& buffer) { return WriteSector(0, buffer.data()); }

bool ImageCard::ReadVolumeBootSector(const std::string&, SectorBuffer& buffer) {
  std::uint64_t start = 0;
  return VolumeStart(start) && ReadSector(start, buffer.data());
}

bool ImageCard::WriteVolumeBootSector(const std::string&, const SectorBuffer& buffer) {
  std::uint64_t start = 0;
  return VolumeStart(start) && WriteSector(start, buffer.data());
}

SectorBuffer ImageCard::AllocateSector() {
  auto* bytes = new (std::nothrow) std::uint8_t[kSectorSize]();
  return SectorBuffer(bytes, bytes != nullptr ? this : nullptr);
}

void ImageCard::FreeSector(std::uint8_t* bytes) { delete[] bytes; }

}  // namespace tessarin::test
