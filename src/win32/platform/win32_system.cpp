#include "win32/platform/win32_system.h"

#include <windows.h>
// After the base definitions it builds on.
#include <wincrypt.h>

#include "card/card_types.h"

namespace tessarin {
namespace {

// Fills the bytes from the system's source of randomness; false when
// neither way gives them.
bool SystemRandom(void* bytes, ULONG size) {
  using GenRandom = BOOLEAN(WINAPI*)(PVOID, ULONG);
  if (const HMODULE advapi = LoadLibraryA("advapi32.dll")) {
    const auto genRandom =
        reinterpret_cast<GenRandom>(reinterpret_cast<void (*)()>(GetProcAddress(advapi, "SystemFunction036")));
    const bool ok = genRandom != nullptr && genRandom(bytes, size) != FALSE;
    FreeLibrary(advapi);
    if (ok) return true;
  }
  HCRYPTPROV provider = 0;
  if (CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_SILENT) == 0) {
    return false;
  }
  const bool ok = CryptGenRandom(provider, size, static_cast<BYTE*>(bytes)) != 0;
  CryptReleaseContext(provider, 0);
  return ok;
}

}  // namespace

std::string Win32System::MakeTimeStamp() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char buffer[64] = {};
  // The locale's own format, so every panel's log reads the same whatever
  // the operator changed in the control panel.
  GetTimeFormatA(LOCALE_USER_DEFAULT, LOCALE_NOUSEROVERRIDE, &now, nullptr, buffer, sizeof buffer);
  buffer[sizeof buffer - 1] = '\0';
  return buffer;
}

std::string Win32System::LocalDateTime() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char buffer[32];
  wsprintfA(buffer, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
            now.wSecond);
  return buffer;
}

std::uint32_t Win32System::NewCardMark() {
  std::uint32_t mark = 0;
  for (int tries = 0; mark == 0 && tries < 64; ++tries) {
    if (!SystemRandom(&mark, sizeof mark)) break;
  }
  // Where neither source answers, the clocks and the process still tell one
  // restore from the next, though not as surely.
  for (std::uint32_t round = 0; mark == 0; ++round) {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    std::uint64_t x = static_cast<std::uint64_t>(counter.QuadPart) ^ (std::uint64_t{now.dwHighDateTime} << 32) ^
                      now.dwLowDateTime ^ (std::uint64_t{GetCurrentProcessId()} << 16) ^ round;
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    mark = static_cast<std::uint32_t>(x ^ (x >> 32));
  }
  return mark;
}

void Win32System::Sleep(unsigned milliseconds) { ::Sleep(milliseconds); }

FailureDescription Win32System::DescribeFailure(const Failure& failure) {
  // What the restore found itself goes by the Windows code that says the
  // same, as the program has always shown it.
  const std::uint32_t code = failure.origin == CodeOrigin::None ? WindowsCodeOf(failure.kind) : failure.code;
  if (failure.origin == CodeOrigin::Errno) return {code, std::nullopt};
  return {code, SystemErrorText(code)};
}

std::optional<std::string> Win32System::SystemErrorText(std::uint32_t code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
  std::optional<std::string> result;
  if (length != 0 && text != nullptr) result = std::string(text, length);
  if (text != nullptr) LocalFree(text);
  return result;
}

DriveType Win32System::DriveTypeOf(char letter) {
  const char root[] = {ToUpperAscii(letter), ':', '\\', '\0'};
  return static_cast<DriveType>(GetDriveTypeA(root));
}

char Win32System::SystemDriveLetter() {
  char buffer[MAX_PATH + 1] = {};
  const UINT length = GetSystemDirectoryA(buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer || buffer[1] != ':') return '\0';
  return ToUpperAscii(buffer[0]);
}

}  // namespace tessarin
