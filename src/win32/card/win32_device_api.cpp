#include "win32/card/win32_device_api.h"

#include <winioctl.h>

namespace tessarin {

static_assert(sizeof(VOLUME_DISK_EXTENTS) == 32, "the disk-extent answer has room for exactly one extent");

DeviceHandle Win32DeviceApi::Open(const std::string& path) {
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  return FromHandle(h);
}

void Win32DeviceApi::Close(DeviceHandle handle) { CloseHandle(ToHandle(handle)); }

bool Win32DeviceApi::GetVolumeDiskExtents(DeviceHandle volume, DiskExtents& extents) {
  VOLUME_DISK_EXTENTS answer{};
  DWORD returned = 0;
  if (!DeviceIoControl(ToHandle(volume), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, &answer, sizeof answer,
                       &returned, nullptr)) {
    return false;
  }
  extents.numberOfDiskExtents = answer.NumberOfDiskExtents;
  extents.diskNumber = answer.Extents[0].DiskNumber;
  return true;
}

bool Win32DeviceApi::LockVolume(DeviceHandle volume) {
  DWORD returned = 0;
  return DeviceIoControl(ToHandle(volume), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr) != 0;
}

bool Win32DeviceApi::DismountVolume(DeviceHandle volume) {
  DWORD returned = 0;
  return DeviceIoControl(ToHandle(volume), FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr) != 0;
}

bool Win32DeviceApi::SeekToStart(DeviceHandle handle) {
  return SetFilePointer(ToHandle(handle), 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER;
}

bool Win32DeviceApi::SeekTo(DeviceHandle handle, std::uint64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(ToHandle(handle), to, nullptr, FILE_BEGIN) != 0;
}

bool Win32DeviceApi::Read(DeviceHandle handle, std::uint8_t* buffer, std::uint32_t length, std::uint32_t& moved) {
  DWORD n = 0;
  const BOOL ok = ReadFile(ToHandle(handle), buffer, length, &n, nullptr);
  moved = n;
  return ok != 0;
}

bool Win32DeviceApi::Write(DeviceHandle handle, const std::uint8_t* buffer, std::uint32_t length,
                           std::uint32_t& moved) {
  DWORD n = 0;
  const BOOL ok = WriteFile(ToHandle(handle), buffer, length, &n, nullptr);
  moved = n;
  return ok != 0;
}

bool Win32DeviceApi::Flush(DeviceHandle handle) {
  if (FlushFileBuffers(ToHandle(handle))) return true;
  const DWORD code = GetLastError();
  return code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED;
}

std::uint32_t Win32DeviceApi::LastError() { return GetLastError(); }

std::uint8_t* Win32DeviceApi::AllocateSector() {
  return static_cast<std::uint8_t*>(VirtualAlloc(nullptr, kSectorSize, MEM_COMMIT, PAGE_READWRITE));
}

void Win32DeviceApi::FreeSector(std::uint8_t* bytes) {
  if (bytes != nullptr) VirtualFree(bytes, 0, MEM_RELEASE);
}

void Win32DeviceApi::Sleep(unsigned milliseconds) { ::Sleep(milliseconds); }

std::optional<bool> Win32DeviceApi::IsWritable(const std::string& path) {
  const HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  DWORD returned = 0;
  const BOOL writable = DeviceIoControl(h, IOCTL_DISK_IS_WRITABLE, nullptr, 0, nullptr, 0, &returned, nullptr);
  const DWORD error = writable ? ERROR_SUCCESS : GetLastError();
  CloseHandle(h);
  if (writable) return true;
  if (error == ERROR_WRITE_PROTECT) return false;
  return std::nullopt;
}

}  // namespace tessarin
