// Time, pauses, error texts and the drive table from the system.
#pragma once

#include "card/system_port.h"

namespace tessarin {

class Win32System : public SystemPort {
 public:
  // GetLocalTime, then GetTimeFormatA in the user's default locale without
  // the user's overrides, into 64 characters.
  std::string MakeTimeStamp() override;
  void Sleep(unsigned milliseconds) override;
  // FormatMessageA from the system, neutral language, inserts ignored.
  std::optional<std::string> SystemErrorText(std::uint32_t code) override;
  // GetDriveTypeA on "X:\".
  DriveType DriveTypeOf(char letter) override;
  // The drive of GetSystemDirectoryA, upper-cased; 0 when unknown.
  char SystemDriveLetter() override;
};

}  // namespace tessarin
