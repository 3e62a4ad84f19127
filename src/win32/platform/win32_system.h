// Time, pauses, error texts and the drive table from the system.
#pragma once

#include "card/system_port.h"

namespace tessarin {

class Win32System : public SystemPort {
 public:
  // GetLocalTime, then GetTimeFormatA in the user's default locale without
  // the user's overrides, into 64 characters.
  std::string MakeTimeStamp() override;
  std::string LocalDateTime() override;
  // RtlGenRandom (advapi32's SystemFunction036, found at run time: it has
  // no name of its own in the import libraries), else CryptGenRandom from
  // the base provider; drawn again while it gives 0.
  std::uint32_t NewCardMark() override;
  void Sleep(unsigned milliseconds) override;
  // A Windows code with its FormatMessageA text; a failure the restore
  // found itself as the Windows code that says the same.
  FailureDescription DescribeFailure(const Failure& failure) override;
  // FormatMessageA from the system, neutral language, inserts ignored.
  static std::optional<std::string> SystemErrorText(std::uint32_t code);
  // GetDriveTypeA on "X:\".
  DriveType DriveTypeOf(char letter) override;
  // The drive of GetSystemDirectoryA, upper-cased; 0 when unknown.
  char SystemDriveLetter() override;
};

}  // namespace tessarin
