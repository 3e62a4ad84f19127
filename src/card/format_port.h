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
};

}  // namespace tessarin
