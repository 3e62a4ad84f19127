// A whole-card image file as the card port: sector 0 is the physical disk's
// first sector, the volume starts where the first partition entry says.
// Lets the boot-record steps run on image files that the emulator boots.
#pragma once

#include <cstdint>
#include <string>

#include "card/card_port.h"

namespace tessarin::test {

class ImageCard final : public CardPort {
 public:
  // Opens the image for reading and writing; Ok() tells whether it worked.
  explicit ImageCard(const std::string& path);
  ~ImageCard() override;
  ImageCard(const ImageCard&) = delete;
  ImageCard& operator=(const ImageCard&) = delete;

  bool Ok() const { return fd_ >= 0; }

  int SetVolumeLock(const std::string& driveEntry, bool lock) override;
  bool IsVolumeHandleInvalid() const override { return fd_ < 0; }
  bool ReadMbrSector(const std::string& driveEntry, SectorBuffer& buffer) override;
  bool WriteMbrSector(const std::string& driveEntry, const SectorBuffer& buffer) override;
  bool ReadVolumeBootSector(const std::string& driveEntry, SectorBuffer& buffer) override;
  bool WriteVolumeBootSector(const std::string& driveEntry, const SectorBuffer& buffer) override;
  // The image is a plain file that only this process writes: reading it
  // again is reading it back.
  bool ReadBackMbrSector(const std::string& driveEntry, SectorBuffer& buffer) override {
    return ReadMbrSector(driveEntry, buffer);
  }
  bool ReadBackVolumeBootSector(const std::string& driveEntry, SectorBuffer& buffer) override {
    return ReadVolumeBootSector(driveEntry, buffer);
  }
  bool ReadVolumeSector(const std::string&, std::uint64_t sector, SectorBuffer& buffer) override {
    std::uint64_t start = 0;
    return VolumeStart(start) && ReadSector(start + sector, buffer.data());
  }
  Failure LastError() const override { return lastError_; }
  SectorBuffer AllocateSector() override;

  // Whole-sector access by absolute sector number, for the test's own
  // preparation of the image.
  bool ReadSector(std::uint64_t lba, std::uint8_t* bytes);
  bool WriteSector(std::uint64_t lba, const std::uint8_t* bytes);
  // The first partition's start sector from the MBR in sector 0.
  bool VolumeStart(std::uint64_t& lba);

 protected:
  void FreeSector(std::uint8_t* bytes) override;

 private:
  bool Transfer(std::uint64_t lba, std::uint8_t* bytes, bool write);
  int fd_ = -1;
  Failure lastError_;
};

}  // namespace tessarin::test
