// The card's acquisition and its single-sector transfers, through the hold
// the program keeps on the card for the whole restore. Sector 0 is the
// disk's first sector; the volume's first sector is the first partition's,
// at its offset on the whole card. For the DOS system the boot sector's
// write also puts the second boot stage into the volume's sector 12 when
// the formatter left it empty.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "card/card_port.h"
#include "card/operation_log.h"
#include "lx/card/card_hold.h"
#include "lx/card/card_target.h"

namespace tessarin::linux_port {

class LinuxCard final : public CardPort {
 public:
  // whyInUse tells why the card must not be touched now (mounted, the
  // system's disk), empty when it is free; diagnostic gets the system's
  // reason for a failure, for standard error.
  LinuxCard(const CardTarget& target, CardHold& hold, OperationLog& log, std::function<std::string()> whyInUse,
            std::function<void(const std::string&)> diagnostic);
  ~LinuxCard() override;

  // The block device's read-only flag; an image file's write permission.
  WriteProtection QueryWriteProtection(const std::string& driveEntry) override;
  // The card's device or image file.
  std::string Location(const std::string&) const override { return target_.path; }
  int SetVolumeLock(const std::string& driveEntry, bool lock) override;
  bool IsVolumeHandleInvalid() const override { return openFailed_; }
  bool ReadMbrSector(const std::string& driveEntry, SectorBuffer& buffer) override;
  bool WriteMbrSector(const std::string& driveEntry, const SectorBuffer& buffer) override;
  bool ReadVolumeBootSector(const std::string& driveEntry, SectorBuffer& buffer) override;
  bool WriteVolumeBootSector(const std::string& driveEntry, const SectorBuffer& buffer) override;
  bool ReadBackMbrSector(const std::string& driveEntry, SectorBuffer& buffer) override;
  bool ReadBackVolumeBootSector(const std::string& driveEntry, SectorBuffer& buffer) override;
  bool ReadVolumeSector(const std::string& driveEntry, std::uint64_t sector, SectorBuffer& buffer) override;
  Failure LastError() const override { return lastError_; }
  SectorBuffer AllocateSector() override;

  bool held() const { return fd_ >= 0; }
  // How long reading the boot records back took, the syncs before the
  // reads included: what proving them cost.
  std::chrono::steady_clock::duration ReadBackTime() const { return readBackTime_; }

 protected:
  void FreeSector(std::uint8_t* bytes) override;

 private:
  void Release();
  bool CompleteDosBootChain();
  bool Transfer(std::uint64_t offset, std::uint8_t* bytes, bool write);
  bool TransferOn(int fd, std::uint64_t offset, std::uint8_t* bytes, bool write);
  bool ReadBack(std::uint64_t offset, std::uint8_t* bytes);
  enum class DirectRead { Done, Failed, Unsupported };
  DirectRead ReadDirect(std::uint64_t offset, std::uint8_t* bytes);

  CardTarget target_;
  CardHold& hold_;
  OperationLog& log_;
  std::function<std::string()> whyInUse_;
  std::function<void(const std::string&)> diagnostic_;
  int fd_ = -1;  // the hold's, while acquired
  bool openFailed_ = false;
  Failure lastError_;
  std::chrono::steady_clock::duration readBackTime_{};
};

// Drops what the kernel caches for the card's partition devices, so that
// a later mount reads what the restore wrote through the whole disk.
void FlushPartitionCaches(const CardTarget& target);

}  // namespace tessarin::linux_port
