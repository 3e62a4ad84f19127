// Types and constants shared by the restore's portable code and the platforms.
#pragma once

#include <cstddef>
#include <string>

namespace tessarin {

// Message-box flags and answers, with the window system's values.
inline constexpr unsigned kMbOk = 0x00;
inline constexpr unsigned kMbOkCancel = 0x01;
inline constexpr unsigned kMbYesNoCancel = 0x03;
inline constexpr unsigned kMbYesNo = 0x04;
inline constexpr unsigned kMbIconQuestion = 0x20;
inline constexpr unsigned kMbIconExclamation = 0x30;
inline constexpr unsigned kMbDefButton2 = 0x100;  // the second button (No) is the default
inline constexpr unsigned kMbTypeMask = 0x0F;
inline constexpr unsigned kMbIconMask = 0xF0;
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

// A drive as the drive list shows it: "[-", the letter, "-]".
inline constexpr std::size_t kMaxDriveEntryLength = 6;

// The letter of a drive entry (index 2), or 0 when the text is too short.
inline char DriveLetter(const std::string& driveEntry) { return driveEntry.size() > 2 ? driveEntry[2] : '\0'; }

inline std::string MakeDriveEntry(char letter) {
  std::string s = "[-";
  if (letter != '\0') s += letter;
  s += "-]";
  return s;
}

inline char ToUpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
inline char ToLowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace tessarin
