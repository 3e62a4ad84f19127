// The card's sectors for the FAT volume layer: a card image or a block
// device, read and written with pread and pwrite.
#pragma once

#include <memory>
#include <string>

#include "fat/sector_device.h"

namespace tessarin::linux_port {

class CardDevice final : public fat::SectorDevice {
 public:
  // Opens the card. For writing it takes the hold the card steps take
  // (O_EXCL on a block device, an exclusive flock on an image), so that no
  // other restore writes the card meanwhile. None, with errno in error,
  // when it cannot.
  static std::unique_ptr<CardDevice> Open(const std::string& path, bool blockDevice, bool writable, int& error);
  // The card through a descriptor of its own (a duplicate of the program's
  // hold, which keeps the card exclusive meanwhile); closed with the
  // device. None, with errno in error, when its size cannot be read.
  static std::unique_ptr<CardDevice> Adopt(int fd, bool blockDevice, int& error);
  ~CardDevice() override;
  CardDevice(const CardDevice&) = delete;
  CardDevice& operator=(const CardDevice&) = delete;

  std::uint64_t SectorCount() const override { return sectors_; }
  Failure ReadSectors(std::uint64_t lba, std::uint32_t count, std::uint8_t* bytes) override;
  Failure WriteSectors(std::uint64_t lba, std::uint32_t count, const std::uint8_t* bytes) override;
  // A block device's writes reach the card; an image's stay with the
  // kernel, as any file's.
  Failure Flush() override;
  // What was written put on the card (or into the image's file system),
  // and the kernel's copy of the card's sectors dropped, so that the reads
  // that follow come from the card itself.
  Failure ReadFromMedium();

 private:
  CardDevice(int fd, bool blockDevice, std::uint64_t sectors) : fd_(fd), blockDevice_(blockDevice), sectors_(sectors) {}

  int fd_;
  bool blockDevice_;
  std::uint64_t sectors_;
};

}  // namespace tessarin::linux_port
