#include "card/drive_rules.h"

#include "card/card_types.h"

namespace tessarin {

bool IsCardDriveCandidate(char letter, SystemPort& system) {
  const char upper = ToUpperAscii(letter);
  if (upper < 'A' || upper > 'Z') return false;
  const DriveType type = system.DriveTypeOf(upper);
  if (type != DriveType::Removable && type != DriveType::Fixed) return false;
  if (upper == ToUpperAscii(system.SystemDriveLetter())) return false;
  return upper != 'C';
}

}  // namespace tessarin
