// Formatting the card as FAT32 with the volume label QV.
#pragma once

#include <string>

namespace tessarin {

class FormatPort {
 public:
  virtual ~FormatPort() = default;

  // True when the card was formatted (the formatter ended and reported
  // success), false otherwise. Shows no message of its own.
  virtual bool FormatCard(const std::string& driveEntry) = 0;

  // Waits until the freshly formatted card can be held again, as long as
  // the platform's formatter needs: Windows' FORMAT a fixed pause of 2
  // seconds; a formatter that has finished when it returns, only for the
  // system to take note of the new volume.
  virtual void SettleAfterFormatting(const std::string& driveEntry) = 0;
};

}  // namespace tessarin
