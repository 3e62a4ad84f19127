// Which drives may hold a card: the rule of the drive list, which the
// unattended restore applies too.
#pragma once

#include "card/system_port.h"

namespace tessarin {

// True for a letter A to Z (either case) whose drive is removable or fixed
// and is neither C: nor the drive of the system directory.
bool IsCardDriveCandidate(char letter, SystemPort& system);

}  // namespace tessarin
