// Several cards named on one command line: each restored by a process of
// its own, the operator asked once for all.
#pragma once

#include "lx/app/options.h"

namespace tessarin::linux_port {

// Returns the worst card's exit status.
int RestoreSeveralCommand(const Options& options);

}  // namespace tessarin::linux_port
