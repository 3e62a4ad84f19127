// Formatting the card's first partition as FAT32 with mkfs.fat, in place
// on the whole card: the partition's start is kept as hidden sectors, as
// FORMAT does.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "card/format_port.h"
#include "lx/card/card_fat.h"
#include "lx/card/card_hold.h"
#include "lx/card/card_target.h"
#include "lx/support/step_progress.h"

namespace tessarin::linux_port {

// The geometry an image file "reports": what its current volume boot
// sector records, as a card reader reports the same geometry every time.
// A block device is asked by mkfs.fat itself.
struct Geometry {
  unsigned heads = 0;
  unsigned sectorsPerTrack = 0;
};
std::optional<Geometry> RecordedGeometry(const std::uint8_t* bootSector);

// Where mkfs.fat is looked for after PATH: the system's folders for
// administrators' tools, which a user's PATH often leaves out (Debian's
// does).
std::vector<std::string> FormatterFolders();

// The formatter to run: the first executable regular file named mkfs.fat
// in the absolute folders of pathVariable (PATH's value; empty and relative
// entries would depend on the working directory and are passed over), then
// in folders. None when there is none.
std::optional<std::string> FindFormatter(const std::string& pathVariable, const std::vector<std::string>& folders);
// The same for this process: its PATH, then FormatterFolders().
std::optional<std::string> FindFormatter();
// Why the card cannot be formatted here, for the checks before the question.
inline constexpr char kNoFormatter[] =
    "mkfs.fat (from dosfstools) was not found in PATH, /usr/sbin or /sbin; install dosfstools.";

// The mkfs.fat command line for the target: the formatter's path, a FAT32
// volume labelled QV with the given serial number, in the first
// partition's place on the whole card. The formatter never writes an MBR
// of its own: the card's MBR, its disk signature included, is the
// restore's to write.
std::vector<std::string> FormatCommand(const std::string& formatter, const CardTarget& target,
                                       const std::optional<Geometry>& geometry, std::uint32_t serial);

// The volume serial number of a FAT boot sector; none when the sector
// holds no FAT boot sector with an extended boot record.
std::optional<std::uint32_t> VolumeSerial(const std::uint8_t* bootSector);

// Why the volume of the session, the card's first partition from
// firstSector, is not the one the formatter was asked for a moment ago:
// FAT32, labelled QV (boot sector and the root folder's label entry), with
// this serial number, a root folder of one cluster that holds nothing but
// the label, a FAT that starts as a fresh one does (the media entry, the
// end mark, the root's cluster) and marks no other cluster used. Empty
// when it is that volume. A formatter that reports success without having
// formatted the card is found here.
std::string WhyNotTheNewVolume(CardSession& session, std::uint64_t firstSector, std::uint32_t serial);

class CardFormat final : public FormatPort {
 public:
  // mkfs.fat runs under the program's hold of the card.
  CardFormat(const CardTarget& target, CardHold& hold, StepProgress& progress,
             std::function<void(const std::string&)> diagnostic)
      : target_(target), hold_(hold), progress_(progress), diagnostic_(std::move(diagnostic)) {}

  // Runs the formatter found (FindFormatter) and then reads the card past
  // the kernel's cache: true only when it holds the new, empty volume.
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
