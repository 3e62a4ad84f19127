// The wait between formatting a card and holding it again. FORMAT on
// Windows needs a fixed pause; mkfs.fat has finished when it returns, so
// here the card gets only what it needs: nothing for an image file; for a
// block device, the kernel's partition table brought up to date when it
// differs from the card's, and udev given time to finish what the
// formatter's writes set off (probing, a desktop's automounter), so that
// the next hold does not race with them.
#pragma once

#include <functional>
#include <string>

#include "lx/card/card_target.h"

namespace tessarin::linux_port {

// How long udev may take before the restore goes on without it.
inline constexpr int kUdevSettleSeconds = 10;

struct SettleSteps {
  bool rereadPartitions = false;  // the kernel's first partition differed from the card's
  bool askedUdev = false;         // udevadm settle ran
};

// What a target needs after formatting, given the kernel's view of its
// first partition (start and length in sectors; 0, 0 when the kernel
// shows no partition devices) and whether udevadm is there.
SettleSteps SettleStepsFor(const CardTarget& target, std::uint64_t kernelStart, std::uint64_t kernelSectors,
                           bool haveUdevadm);

// Does it; diagnostic gets what did not work out (the restore goes on:
// the next hold checks the card again). heldFd is the card's exclusive
// descriptor, when there is one: the kernel re-reads the partition table
// of a disk held exclusively only for its holder.
void SettleAfterFormatting(const CardTarget& target, int heldFd,
                           const std::function<void(const std::string&)>& diagnostic);

}  // namespace tessarin::linux_port
