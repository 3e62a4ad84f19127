// Time, pauses, the system's error texts and the drive table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessarin {

// Drive types with the window system's values.
enum class DriveType : unsigned {
  Unknown = 0,
  NoRootDir = 1,
  Removable = 2,
  Fixed = 3,
  Remote = 4,
  CdRom = 5,
  RamDisk = 6,
};

class SystemPort {
 public:
  virtual ~SystemPort() = default;

  // The local time in the locale's default time format (at most 63
  // characters); empty when the system gives nothing.
  virtual std::string MakeTimeStamp() = 0;

  // Blocks the calling thread.
  virtual void Sleep(unsigned milliseconds) = 0;

  // The system's own text for an error code, as the system gives it
  // (line break at its end included); none when it has no text.
  virtual std::optional<std::string> SystemErrorText(std::uint32_t code) = 0;

  // The type of the drive with the given upper-case letter.
  virtual DriveType DriveTypeOf(char letter) = 0;

  // The upper-case letter of the drive that holds the system directory.
  virtual char SystemDriveLetter() = 0;
};

}  // namespace tessarin
