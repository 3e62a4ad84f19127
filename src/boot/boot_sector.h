// The card's volume boot sector: the template of the system kind with the
// card's own BPB (geometry repaired where needed) and, for Windows CE, the
// BLDR loader.
#pragma once

#include <string>

#include "boot/card_definitions.h"
#include "card/card_port.h"
#include "card/operation_log.h"
#include "card/resource_port.h"
#include "card/system_kinds.h"

namespace tessarin {

// 0 when the new boot sector was written; -1 after the operator was told
// why not. The size window follows sizeWindowKind (the dialog's kind), the
// template and the loader follow imageKind (the process-wide kind); see
// g_nSystemKind for why there are two.
int InstallBootSector(CardPort& card, ResourcePort& resources, const CardDefinitionSource& definitionSource,
                      OperationLog& log, SystemKind sizeWindowKind, SystemKind imageKind, std::string driveEntry);

}  // namespace tessarin
