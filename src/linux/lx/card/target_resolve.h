// The card target named on the command line, resolved: a whole-card block
// device or image file with a usable first partition, on no disk the running
// system stands on.
#pragma once

#include <optional>
#include <string>

#include "lx/card/block_devices.h"
#include "lx/card/card_target.h"

namespace tessarin::linux_port {

// Opens the target read-only and reads its partition table. None, with the
// reason in error, when it is not a block device or regular file, is a
// disk the running system stands on, cannot be read, or has no usable
// first partition.
std::optional<CardTarget> ResolveCardTarget(const std::string& path, std::string& error);

// Why the card must not be touched on the running system, or empty: every
// disk the system stands on, and the card's holders named (see
// WhyCardIsHeld).
std::string WhyCardIsInUse(const CardTarget& target);

}  // namespace tessarin::linux_port
