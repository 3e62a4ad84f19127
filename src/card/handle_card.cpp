#include "card/handle_card.h"

#include "card/card_types.h"

namespace tessarin {
namespace {

// "\\.\E:": the volume of the drive entry's letter, upper-cased.
std::string VolumePath(const std::string& driveEntry) {
  std::string path = "\\\\.\\";
  path += ToUpperAscii(DriveLetter(driveEntry));
  path += ':';
  return path;
}

}  // namespace

void HandleCard::CloseBoth() {
  if (handles_.volumeHandle != kNoHandle) api_.Close(handles_.volumeHandle);
  if (handles_.diskHandle != kNoHandle) api_.Close(handles_.diskHandle);
  handles_ = CardHandles{};
}

WriteProtection HandleCard::QueryWriteProtection(const std::string& driveEntry) {
  const std::optional<bool> writable = api_.IsWritable(VolumePath(driveEntry));
  if (!writable) return WriteProtection::Unknown;
  return *writable ? WriteProtection::Writable : WriteProtection::WriteProtected;
}

int HandleCard::SetVolumeLock(const std::string& driveEntry, bool lock) {
  CloseBoth();
  if (!lock) return 1;

  handles_.volumeHandle = api_.Open(VolumePath(driveEntry));
  if (handles_.volumeHandle == kInvalidHandle) {
    log_.StopProgressAnimation();
    log_.ShowMessageBoxString(IDS_CANNOT_OPEN_DRIVE, kMbOk | kMbIconExclamation);
    return 0;
  }

  DiskExtents extents;
  // An answer without an extent names no disk: opening a physical disk from
  // an unset number could reach the wrong one.
  if (!api_.GetVolumeDiskExtents(handles_.volumeHandle, extents) || extents.numberOfDiskExtents == 0) {
    log_.StopProgressAnimation();
    log_.ShowMessageBoxString(IDS_DISK_EXTENTS_FAILED, kMbOk | kMbIconExclamation);
    return 0;
  }

  api_.Sleep(kLockDelayMs);
  if (!api_.LockVolume(handles_.volumeHandle)) {
    // The volume is in use: take it from its users and try once more.
    api_.DismountVolume(handles_.volumeHandle);
    api_.LockVolume(handles_.volumeHandle);
  }

  handles_.diskHandle = api_.Open("\\\\.\\PhysicalDrive" + std::to_string(extents.diskNumber));
  return 1;
}

bool HandleCard::Transfer(DeviceHandle handle, bool reposition, bool write, std::uint8_t* bytes) {
  if (handle == kNoHandle || handle == kInvalidHandle) {
    lastError_ = Failure::Own(FailureKind::InvalidHandle);
    return false;
  }
  if (reposition) api_.SeekToStart(handle);
  std::uint32_t moved = 0;
  const bool ok = write ? api_.Write(handle, bytes, kSectorSize, moved) : api_.Read(handle, bytes, kSectorSize, moved);
  const FailureKind kind = write ? FailureKind::Write : FailureKind::Read;
  if (!ok) {
    lastError_ = Failure::Win32(kind, api_.LastError());
    return false;
  }
  // A part of a sector is no sector: a partly written boot record must not
  // pass for a written one.
  if (moved != kSectorSize) {
    lastError_ = Failure::Own(kind);
    return false;
  }
  return true;
}

bool HandleCard::ReadMbrSector(const std::string&, SectorBuffer& buffer) {
  return Transfer(handles_.diskHandle, true, false, buffer.data());
}

bool HandleCard::WriteMbrSector(const std::string&, const SectorBuffer& buffer) {
  return Transfer(handles_.diskHandle, true, true, const_cast<std::uint8_t*>(buffer.data()));
}

bool HandleCard::ReadVolumeBootSector(const std::string&, SectorBuffer& buffer) {
  // The volume handle stands at offset 0: it was opened by the acquisition
  // and this is the first transfer on it.
  return Transfer(handles_.volumeHandle, false, false, buffer.data());
}

bool HandleCard::WriteVolumeBootSector(const std::string&, const SectorBuffer& buffer) {
  return Transfer(handles_.volumeHandle, true, true, const_cast<std::uint8_t*>(buffer.data()));
}

// The handles are raw devices: a physical disk has no file system cache,
// and the volume of a locked FAT volume is opened uncached by its file
// system. What remains between a write and the medium is the device's own
// write cache, which the flush empties; the read through the same handle,
// from byte 0 again, then comes from the card.
bool HandleCard::ReadBack(DeviceHandle handle, std::uint8_t* bytes) {
  if (handle == kNoHandle || handle == kInvalidHandle) {
    lastError_ = Failure::Own(FailureKind::InvalidHandle);
    return false;
  }
  if (!api_.Flush(handle)) {
    // What the device could not commit counts as not written.
    lastError_ = Failure::Win32(FailureKind::Write, api_.LastError());
    return false;
  }
  return Transfer(handle, true, false, bytes);
}

bool HandleCard::ReadBackMbrSector(const std::string&, SectorBuffer& buffer) {
  return ReadBack(handles_.diskHandle, buffer.data());
}

bool HandleCard::ReadBackVolumeBootSector(const std::string&, SectorBuffer& buffer) {
  return ReadBack(handles_.volumeHandle, buffer.data());
}

bool HandleCard::ReadVolumeSector(const std::string& driveEntry, std::uint64_t sector, SectorBuffer& buffer) {
  auto readAt = [&](DeviceHandle handle) {
    if (!api_.SeekTo(handle, sector * kSectorSize)) {
      lastError_ = Failure::Win32(FailureKind::Read, api_.LastError());
      return false;
    }
    return Transfer(handle, false, false, buffer.data());
  };
  if (handles_.volumeHandle != kNoHandle && handles_.volumeHandle != kInvalidHandle)
    return readAt(handles_.volumeHandle);

  // The card is not held: a handle of this read's own, which CardHandles
  // never see. The file system has the volume mounted and may still hold
  // what the installer wrote; flushing the volume makes it write all of
  // that out, so that the raw read sees the files as they are.
  const DeviceHandle handle = api_.Open(VolumePath(driveEntry));
  if (handle == kInvalidHandle) {
    lastError_ = Failure::Win32(FailureKind::Open, api_.LastError());
    return false;
  }
  bool ok = api_.Flush(handle);
  if (!ok) lastError_ = Failure::Win32(FailureKind::Read, api_.LastError());
  if (ok) ok = readAt(handle);
  api_.Close(handle);
  return ok;
}

SectorBuffer HandleCard::AllocateSector() { return SectorBuffer(api_.AllocateSector(), this); }

}  // namespace tessarin
