#include "win32/platform/win32_resources.h"

#include <vector>

namespace tessarin {

std::string Win32Resources::LoadResString(unsigned id) {
  // LoadStringA cuts a string to the buffer without saying so: grow the
  // buffer until the string ends inside it.
  for (int size = 512; size <= 65536; size *= 2) {
    std::vector<char> buffer(size);
    const int length = LoadStringA(module_, id, buffer.data(), size);
    if (length <= 0) return {};
    if (length < size - 1) return std::string(buffer.data(), length);
  }
  return {};
}

ImageLoad Win32Resources::LoadBootImage(unsigned id) {
  ImageLoad load;
  const HRSRC info = FindResourceA(module_, MAKEINTRESOURCEA(id), "Binary");
  if (info == nullptr) {
    if (const DWORD code = GetLastError(); code != 0) load.error = Failure::Win32(FailureKind::NotFound, code);
    return load;
  }
  const HGLOBAL data = LoadResource(module_, info);
  const void* bytes = data != nullptr ? LockResource(data) : nullptr;
  const DWORD size = SizeofResource(module_, info);
  if (bytes == nullptr || size == 0) {
    // An empty image is as good as a missing one, and must not pass for a
    // success with code 0.
    const DWORD code = GetLastError();
    load.error = Failure::Win32(FailureKind::NotFound, code != 0 ? code : ERROR_RESOURCE_DATA_NOT_FOUND);
    return load;
  }
  load.bytes = std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(bytes), size);
  return load;
}

}  // namespace tessarin
