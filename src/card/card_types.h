// Types and constants shared by the restore's portable code and the platforms.
#pragma once

#include <cstdint>
#include <string>

namespace tessarin {

// The panel system this installation serves; decided at start-up by the
// installer archive found in the working directory.
enum class SystemKind : int { RomDos = 1, Dos = 2, WinCE = 3 };

// Copy of the dialog's kind, published once before any restore runs.
extern int g_nSystemKind;

// Message-box flags and answers, with the window system's values.
inline constexpr unsigned kMbOk = 0x00;
inline constexpr unsigned kMbOkCancel = 0x01;
inline constexpr unsigned kMbYesNoCancel = 0x03;
inline constexpr unsigned kMbYesNo = 0x04;
inline constexpr unsigned kMbIconQuestion = 0x20;
inline constexpr unsigned kMbIconExclamation = 0x30;
inline constexpr unsigned kMbTypeMask = 0x0F;
inline constexpr unsigned kMbIconMask = 0xF0;
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

// Error codes of the system that the portable code reports itself.
inline constexpr std::uint32_t kErrorInvalidHandle = 6;  // ERROR_INVALID_HANDLE
inline constexpr std::uint32_t kErrorInvalidData = 13;   // ERROR_INVALID_DATA
inline constexpr std::uint32_t kErrorWriteFault = 29;    // ERROR_WRITE_FAULT
inline constexpr std::uint32_t kErrorReadFault = 30;     // ERROR_READ_FAULT

// A drive as the drive list shows it: "[-", the letter, "-]".
inline constexpr std::size_t kMaxDriveEntryLength = 6;

// The letter of a drive entry (index 2), or 0 when the text is too short.
inline char DriveLetter(const std::string& driveEntry) {
  return driveEntry.size() > 2 ? driveEntry[2] : '\0';
}

inline std::string MakeDriveEntry(char letter) {
  std::string s = "[-";
  if (letter != '\0') s += letter;
  s += "-]";
  return s;
}

inline char ToUpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
inline char ToLowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace tessarin
