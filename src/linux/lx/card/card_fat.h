// The card's FAT volume as the Linux program reaches it after, and before,
// formatting: the first partition of the card, read and written in place
// through the FAT layer. Card paths ("e:/Project") name its files.
#pragma once

#include <ctime>
#include <memory>
#include <string>

#include "card/file_port.h"
#include "fat/fat_volume.h"
#include "lx/card/card_device.h"
#include "lx/card/card_target.h"

namespace tessarin::linux_port {

// An open volume and the device under it; volume is null when the card
// could not be opened (why says so).
struct CardSession {
  std::unique_ptr<CardDevice> device;
  std::unique_ptr<fat::Volume> volume;
  fat::Status status;
  std::string why;
};

class CardHold;

class CardFat {
 public:
  // With a hold, every session reads and writes through the held card (the
  // card behind the path must still be the one held); without one, each
  // session opens the card itself.
  CardFat(const CardTarget& target, char letter, CardHold* hold = nullptr);

  char letter() const { return letter_; }
  const CardTarget& target() const { return target_; }

  // True for "e:/..." (either case of the card's letter, either separator).
  bool IsCardPath(const std::string& path) const;
  // The path inside the volume: "e:\Project\a" gives "Project/a".
  static std::string VolumePath(const std::string& cardPath);

  // Opens the card's volume; a card opened for writing is held as the card
  // steps hold it until the session ends. fromMedium reads the card itself,
  // not what the kernel keeps of it: for the proofs after writing.
  CardSession Open(bool writable, bool fromMedium = false) const;

  // Whether anything is at a card path ("e:/Project"): Unreadable, with
  // the reason in why, when the volume or a folder above the path cannot
  // be read; a card never formatted holds nothing.
  PathPresence Probe(const std::string& cardPath, std::string* why = nullptr) const;

 private:
  CardTarget target_;
  char letter_;
  CardHold* hold_;
};

// "<what FAT says>: <the system's words for the code>".
std::string Explain(const fat::Status& status);

// Local time in FAT's terms, and back.
fat::Stamp LocalStamp(std::time_t t);
std::time_t LocalTime(const fat::Stamp& s);

}  // namespace tessarin::linux_port
