// The device calls under HandleCard: the card's volume and physical disk
// opened as files, the volume control requests, and page-aligned sector
// memory.
#pragma once

#include <windows.h>

#include "card/handle_card.h"

namespace tessarin {

class Win32DeviceApi : public DeviceApi {
 public:
  // CreateFileA with GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ |
  // FILE_SHARE_WRITE, OPEN_EXISTING, no attributes; kInvalidHandle on
  // failure.
  DeviceHandle Open(const std::string& path) override;
  void Close(DeviceHandle handle) override;
  // IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS into one 32-byte record, which has
  // room for a single extent: a volume on two disks fails here.
  bool GetVolumeDiskExtents(DeviceHandle volume, DiskExtents& extents) override;
  bool LockVolume(DeviceHandle volume) override;
  bool DismountVolume(DeviceHandle volume) override;
  bool SeekToStart(DeviceHandle handle) override;
  bool SeekTo(DeviceHandle handle, std::uint64_t offset) override;
  bool Read(DeviceHandle handle, std::uint8_t* buffer, std::uint32_t length, std::uint32_t& moved) override;
  bool Write(DeviceHandle handle, const std::uint8_t* buffer, std::uint32_t length, std::uint32_t& moved) override;
  // FlushFileBuffers: on a locked volume the file system's dirty data, on a
  // physical disk the drive's write cache. A driver without a flush
  // (ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED) has nothing held back.
  bool Flush(DeviceHandle handle) override;
  std::uint32_t LastError() override;
  // VirtualAlloc of one committed sector: page-aligned, as raw transfers
  // need, and zero-filled.
  std::uint8_t* AllocateSector() override;
  void FreeSector(std::uint8_t* bytes) override;
  void Sleep(unsigned milliseconds) override;
  // CreateFileA with no access rights (enough for the question), shared,
  // then IOCTL_DISK_IS_WRITABLE: ERROR_WRITE_PROTECT is the answer "no".
  std::optional<bool> IsWritable(const std::string& path) override;

  static HANDLE ToHandle(DeviceHandle handle) { return reinterpret_cast<HANDLE>(handle); }
  static DeviceHandle FromHandle(HANDLE handle) { return reinterpret_cast<DeviceHandle>(handle); }
};

}  // namespace tessarin
