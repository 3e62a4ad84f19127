// Time, pauses, the system's error texts and the drive table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "card/failure.h"

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

struct FailureDescription {
  std::optional<std::uint32_t> code;
  std::optional<std::string> text;
};

class SystemPort {
 public:
  virtual ~SystemPort() = default;

  // The local time in the locale's default time format (at most 63
  // characters); empty when the system gives nothing.
  virtual std::string MakeTimeStamp() = 0;

  // The local date and time as "YYYY-MM-DD HH:MM:SS", for notes that must
  // sort by time.
  virtual std::string LocalDateTime() = 0;

  // A number no earlier restore has used, from the system's source of
  // randomness: it marks a card as the one a saved project belongs to.
  // Never 0.
  virtual std::uint32_t NewCardMark() = 0;
  // Blocks the calling thread.
  virtual void Sleep(unsigned milliseconds) = 0;

  // How the error box names a failure: the code the platform knows it by
  // (none when there is no code to show) and the platform's own text for
  // it, as the platform gives it (line break at its end included; none when
  // it has no text).
  virtual FailureDescription DescribeFailure(const Failure& failure) = 0;

  // The type of the drive with the given upper-case letter.
  virtual DriveType DriveTypeOf(char letter) = 0;

  // The upper-case letter of the drive that holds the system directory.
  virtual char SystemDriveLetter() = 0;
};

}  // namespace tessarin
