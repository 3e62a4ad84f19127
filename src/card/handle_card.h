// The card held through two device handles, the volume and the physical
// disk that holds it, as the Windows program keeps them in CardHandles.
// The calls to the system go through DeviceApi, whose error codes are
// Windows' own; the order of the steps, the waits and the messages are
// decided here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "card/card_port.h"
#include "card/operation_log.h"

namespace tessarin {

using DeviceHandle = std::intptr_t;
inline constexpr DeviceHandle kNoHandle = 0;
inline constexpr DeviceHandle kInvalidHandle = -1;  // INVALID_HANDLE_VALUE

// The two fields of the disk-extent answer the acquisition uses.
struct DiskExtents {
  std::uint32_t numberOfDiskExtents = 0;
  std::uint32_t diskNumber = 0;  // of the first extent
};

class DeviceApi {
 public:
  virtual ~DeviceApi() = default;
  // Opens a device path for reading and writing, shared, existing only;
  // kInvalidHandle on failure.
  virtual DeviceHandle Open(const std::string& path) = 0;
  virtual void Close(DeviceHandle handle) = 0;
  virtual bool GetVolumeDiskExtents(DeviceHandle volume, DiskExtents& extents) = 0;
  virtual bool LockVolume(DeviceHandle volume) = 0;
  virtual bool DismountVolume(DeviceHandle volume) = 0;
  // Moves the handle's position to byte 0.
  virtual bool SeekToStart(DeviceHandle handle) = 0;
  // Moves the handle's position to a byte offset.
  virtual bool SeekTo(DeviceHandle handle, std::uint64_t offset) = 0;
  virtual bool Read(DeviceHandle handle, std::uint8_t* buffer, std::uint32_t length, std::uint32_t& moved) = 0;
  virtual bool Write(DeviceHandle handle, const std::uint8_t* buffer, std::uint32_t length, std::uint32_t& moved) = 0;
  // Everything written through the handle onto the device, the device's
  // own write cache included; true also for a device that keeps none.
  virtual bool Flush(DeviceHandle handle) = 0;
  // GetLastError's code after a failed call.
  virtual std::uint32_t LastError() = 0;
  // One page-aligned, zero-filled sector; nullptr when memory is short.
  virtual std::uint8_t* AllocateSector() = 0;
  virtual void FreeSector(std::uint8_t* bytes) = 0;
  virtual void Sleep(unsigned milliseconds) = 0;
  // Asks the device at path, opened for no more than the question, whether
  // its medium can be written (IOCTL_DISK_IS_WRITABLE): true or false, none
  // when the device cannot be opened or does not answer.
  virtual std::optional<bool> IsWritable(const std::string& path) = 0;
};

struct CardHandles {
  DeviceHandle volumeHandle = kNoHandle;
  DeviceHandle diskHandle = kNoHandle;
};

class HandleCard final : public CardPort {
 public:
  // The pause before the first lock request of an acquisition.
  static constexpr unsigned kLockDelayMs = 5000;

  HandleCard(DeviceApi& api, OperationLog& log) : api_(api), log_(log) {}

  WriteProtection QueryWriteProtection(const std::string& driveEntry) override;
  int SetVolumeLock(const std::string& driveEntry, bool lock) override;
  bool IsVolumeHandleInvalid() const override { return handles_.volumeHandle == kInvalidHandle; }
  bool ReadMbrSector(const std::string& driveEntry, SectorBuffer& buffer) override;
  bool WriteMbrSector(const std::string& driveEntry, const SectorBuffer& buffer) override;
  bool ReadVolumeBootSector(const std::string& driveEntry, SectorBuffer& buffer) override;
  bool WriteVolumeBootSector(const std::string& driveEntry, const SectorBuffer& buffer) override;
  bool ReadBackMbrSector(const std::string& driveEntry, SectorBuffer& buffer) override;
  bool ReadBackVolumeBootSector(const std::string& driveEntry, SectorBuffer& buffer) override;
  bool ReadVolumeSector(const std::string& driveEntry, std::uint64_t sector, SectorBuffer& buffer) override;
  Failure LastError() const override { return lastError_; }
  SectorBuffer AllocateSector() override;

  const CardHandles& handles() const { return handles_; }

 protected:
  void FreeSector(std::uint8_t* bytes) override { api_.FreeSector(bytes); }

 private:
  void CloseBoth();
  bool Transfer(DeviceHandle handle, bool reposition, bool write, std::uint8_t* bytes);
  bool ReadBack(DeviceHandle handle, std::uint8_t* bytes);

  DeviceApi& api_;
  OperationLog& log_;
  CardHandles handles_;
  Failure lastError_;
};

}  // namespace tessarin
