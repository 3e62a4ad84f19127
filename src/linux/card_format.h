// Formatting the card's first partition as FAT32 with mkfs.fat, in place
// on the whole card: the partition's start is kept as hidden sectors, as
// FORMAT does.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "card/format_port.h"
#include "linux/card_hold.h"
#include "linux/card_target.h"
#include "linux/step_progress.h"

namespace tessarin::linux_port {

// The geometry an image file "reports": what its current volume boot
// sector records, as a card reader reports the same geometry every time.
// A block device is asked by mkfs.fat itself.
struct Geometry {
  unsigned heads = 0;
  unsigned sectorsPerTrack = 0;
};
std::optional<Geometry> RecordedGeometry(const std::uint8_t* bootSector);

// The mkfs.fat command line for the target.
std::vector<std::string> FormatCommand(const CardTarget& target, const std::optional<Geometry>& geometry);

class CardFormat final : public FormatPort {
 public:
  // mkfs.fat runs under the program's hold of the card.
  CardFormat(const CardTarget& target, CardHold& hold, StepProgress& progress,
             std::function<void(const std::string&)> diagnostic)
      : target_(target), hold_(hold), progress_(progress), diagnostic_(std::move(diagnostic)) {}

  bool FormatCard(const std::string& driveEntry) override;
  // Nothing for an image; for a block device the kernel's partition table
  // and udev (see card_settle.h).
  void SettleAfterFormatting(const std::string& driveEntry) override;

  // How long the card took to settle, for --timings.
  double SettleSeconds() const { return settleSeconds_; }

 private:
  CardTarget target_;
  CardHold& hold_;
  StepProgress& progress_;
  std::function<void(const std::string&)> diagnostic_;
  double settleSeconds_ = 0;
};

}  // namespace tessarin::linux_port
