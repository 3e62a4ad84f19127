// The card's master boot record: our boot code over the first 440 bytes of
// the physical disk's sector 0, the first partition marked active.
#pragma once

#include <string>

#include "card/card_port.h"
#include "card/operation_log.h"
#include "card/resource_port.h"

namespace tessarin {

// 0 when sector 0 was written; -1 after the operator has been told why not
// and the animation has been stopped.
int InstallMasterBootRecord(CardPort& card, ResourcePort& resources, OperationLog& log, std::string driveEntry);

}  // namespace tessarin
